#include "net/ByteBudget.h"

#include <utility>

namespace kr {

ByteBudget::Reservation::Reservation(std::shared_ptr<ByteBudget> budget, std::uint64_t bytes)
    : budget_(std::move(budget)), bytes_(bytes) {}

ByteBudget::Reservation::Reservation(Reservation&& other) noexcept
    : budget_(std::move(other.budget_)), bytes_(std::exchange(other.bytes_, 0)) {}

ByteBudget::Reservation& ByteBudget::Reservation::operator=(Reservation&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::move(other.budget_);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

ByteBudget::Reservation::~Reservation() { release(); }

void ByteBudget::Reservation::release() {
    if (budget_ != nullptr) {
        budget_->giveBack(bytes_);
        budget_.reset();
    }
    bytes_ = 0;
}

bool ByteBudget::Reservation::growTo(std::uint64_t bytes) {
    if (budget_ == nullptr) {
        return false;
    }
    if (bytes <= bytes_) {
        return true;
    }
    Reservation more = budget_->reserve(bytes - bytes_);
    if (!more) {
        return false;
    }
    // The bytes of the new reservation become this one's, held once.
    more.budget_.reset();
    more.bytes_ = 0;
    bytes_ = bytes;
    return true;
}

std::shared_ptr<ByteBudget> ByteBudget::make(std::uint64_t total) {
    return std::shared_ptr<ByteBudget>(new ByteBudget(total));
}

ByteBudget::Reservation ByteBudget::reserve(std::uint64_t bytes) {
    std::uint64_t held = held_.load();
    do {
        if (bytes > total_ || held > total_ - bytes) {
            return {};
        }
    } while (!held_.compare_exchange_weak(held, held + bytes));
    return Reservation(shared_from_this(), bytes);
}

}  // namespace kr
