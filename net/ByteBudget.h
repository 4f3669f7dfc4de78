#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kr {

// A number of bytes that holders reserve from and give back, never more than its total at
// once. A holder keeps what it reserved in a Reservation, which gives it back when it goes,
// so that no path that drops the holder can leak budget. Reserving and giving back take no
// lock; a reservation may outlive whoever made the budget.
class ByteBudget : public std::enable_shared_from_this<ByteBudget> {
public:
    // Bytes held from a budget until the reservation is released or destroyed. An empty
    // one (false) holds nothing: the default, one released, or one the budget refused.
    class Reservation {
    public:
        Reservation() = default;
        Reservation(Reservation&& other) noexcept;
        Reservation& operator=(Reservation&& other) noexcept;
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        ~Reservation();

        explicit operator bool() const { return budget_ != nullptr; }
        std::uint64_t bytes() const { return bytes_; }
        // Gives the bytes back now.
        void release();
        // Holds bytes in all from now on, reserving what it lacks from its budget: false,
        // holding what it held, when that would take the budget past its total or the
        // reservation is empty. Fewer bytes than it holds change nothing.
        bool growTo(std::uint64_t bytes);

    private:
        friend class ByteBudget;
        Reservation(std::shared_ptr<ByteBudget> budget, std::uint64_t bytes);

        std::shared_ptr<ByteBudget> budget_;
        std::uint64_t bytes_ = 0;
    };

    static std::shared_ptr<ByteBudget> make(std::uint64_t total);

    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    // The bytes, held until the reservation goes; an empty reservation when they would take
    // what is held past the total.
    Reservation reserve(std::uint64_t bytes);

    std::uint64_t total() const { return total_; }
    std::uint64_t held() const { return held_.load(); }

private:
    explicit ByteBudget(std::uint64_t total) : total_(total) {}
    void giveBack(std::uint64_t bytes) { held_.fetch_sub(bytes); }

    const std::uint64_t total_;
    std::atomic<std::uint64_t> held_{0};
};

}  // namespace kr
