#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/ByteBudget.h"

namespace kr {

// The bodies of requests that have not come whole, across all connections of a hub, and
// what each holds of the hub's budget of incomplete bytes: who holds what since when.
//
// A body holds what has arrived of it, never what it only declares, so a peer that declares
// 16 MiB and sends a few bytes holds a few bytes; the memory the bodies take is bounded by
// the total all the same, since that is what they hold. When a body's new bytes would take
// the budget past its total, room is made by cutting the slowest of the other bodies (the
// lowest average rate since its body began), then the next slowest, as long as each is
// slower than the body that asks and until the bytes fit; when even all of those would not
// make room, nobody is cut and the asking body is refused. So a crowd that trickles big
// bodies gives way to a form post, which comes at once; a body that trickles itself never
// cuts a faster one, it goes instead; and whoever is cut had the lowest rate of all at that
// moment. A body that may not be cut (the answer to a request of this process's own) is
// never chosen.
//
// Those cut are named by their connections for the caller to close
// (KrTransceiver::holdIncompleteBody). A cut body holds nothing from that moment (the bytes
// of its request are freed with its connection, a notice later): its request learns it
// from finish() (or from hold()) and must not be served, so that a request is never both
// cut and answered.
class IncompleteBodies : public std::enable_shared_from_this<IncompleteBodies> {
public:
    using BodyId = std::uint64_t;  // 0 is none

    enum class Cut {
        kAllowed,  // may make room for another body
        kNever,    // an answer this process waits for
    };

    // A body's place in the table, kept by the request it belongs to. Its bytes go back
    // when it goes, however it goes (finished, destroyed, replaced), so that no path that
    // drops a request can leak budget; it may outlive whoever made the table.
    class Body {
    public:
        Body() = default;
        Body(Body&& other) noexcept;
        Body& operator=(Body&& other) noexcept;
        Body(const Body&) = delete;
        Body& operator=(const Body&) = delete;
        ~Body();

        explicit operator bool() const { return table_ != nullptr; }
        BodyId id() const { return id_; }
        // The body has come whole: its place and its bytes go back. False when it had been
        // cut to make room (or was never begun): its request must not be served.
        bool finish();

    private:
        friend class IncompleteBodies;
        Body(std::shared_ptr<IncompleteBodies> table, BodyId id);

        std::shared_ptr<IncompleteBodies> table_;
        BodyId id_ = 0;
    };

    // What hold did: whether the body holds its bytes now, and the connections whose bodies
    // were cut to make room for them.
    struct Holding {
        bool held = false;
        std::vector<std::string> cut;
    };

    static std::shared_ptr<IncompleteBodies> make(std::uint64_t total);

    IncompleteBodies(const IncompleteBodies&) = delete;
    IncompleteBodies& operator=(const IncompleteBodies&) = delete;

    // A body begins on the connection at start (platform::steadyNanoseconds), holding
    // nothing yet.
    Body begin(std::string connectionId, std::int64_t start, Cut cut = Cut::kAllowed);

    // The body has received bytes in all by now (the caller passes at most its declared
    // length); what it holds grows to that, never shrinks. Where the budget has no room,
    // room is made as the class says. Not held when the body asks for more than there can
    // be room for, or when it is no longer in the table (finished, gone or cut).
    Holding hold(BodyId body, std::uint64_t bytes, std::int64_t now);

    std::uint64_t total() const { return budget_->total(); }
    std::uint64_t held() const { return budget_->held(); }
    // Bodies in the table.
    std::size_t size() const;

private:
    struct Entry {
        std::string connection;
        std::int64_t start = 0;
        Cut cut = Cut::kAllowed;
        ByteBudget::Reservation bytes;
    };

    explicit IncompleteBodies(std::uint64_t total) : budget_(ByteBudget::make(total)) {}

    // Takes the body out, giving its bytes back; false when it was not there.
    bool leave(BodyId body);
    // Under the lock: cuts the slowest bodies slower than the asking one (which would hold
    // bytes) until needed bytes are free; cuts nobody and returns false when they would not
    // free enough.
    bool makeRoom(BodyId asking, const Entry& asker, std::uint64_t bytes, std::uint64_t needed,
                  std::int64_t now, std::vector<std::string>& cut);

    const std::shared_ptr<ByteBudget> budget_;

    // Guards bodies_ and lastId_, so that choosing whom to cut, cutting them and growing the
    // body that asked are one step, and a body that finishes is either out of the table
    // before the choice or learns that it was cut. Taken by the protocol layers' threads (a
    // server's buffer job, the receive job serving a notice where it was received), and by
    // whichever thread drops a request (the delivery thread when a removed connection's
    // partial request is freed, a server's shutdown); taken under a layer's partial lock (a
    // request's body goes with it). Nothing is taken under it: the budget takes no lock, and
    // the connections that are cut are closed by the caller after it is released.
    mutable std::mutex mutex_;
    std::unordered_map<BodyId, Entry> bodies_;
    BodyId lastId_ = 0;
};

}  // namespace kr
