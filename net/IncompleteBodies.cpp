#include "net/IncompleteBodies.h"

#include <algorithm>
#include <utility>

namespace kr {

namespace {

// Nanoseconds since start, never negative.
std::uint64_t ageAt(std::int64_t start, std::int64_t now) {
    return now > start ? static_cast<std::uint64_t>(now - start) : 0;
}

// Whether a body of aBytes begun at aStart came slower than one of bBytes begun at bStart:
// aBytes / aAge < bBytes / bAge, multiplied out so that a body of no age counts as the
// fastest rather than dividing by nothing, and no product overflows.
bool slower(std::uint64_t aBytes, std::int64_t aStart, std::uint64_t bBytes, std::int64_t bStart,
            std::int64_t now) {
    using Wide = unsigned __int128;
    return Wide{aBytes} * ageAt(bStart, now) < Wide{bBytes} * ageAt(aStart, now);
}

}  // namespace

IncompleteBodies::Body::Body(std::shared_ptr<IncompleteBodies> table, BodyId id)
    : table_(std::move(table)), id_(id) {}

IncompleteBodies::Body::Body(Body&& other) noexcept
    : table_(std::move(other.table_)), id_(std::exchange(other.id_, 0)) {}

IncompleteBodies::Body& IncompleteBodies::Body::operator=(Body&& other) noexcept {
    if (this != &other) {
        (void)finish();
        table_ = std::move(other.table_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

IncompleteBodies::Body::~Body() { (void)finish(); }

bool IncompleteBodies::Body::finish() {
    if (table_ == nullptr) {
        return false;
    }
    const bool kept = table_->leave(id_);
    table_.reset();
    id_ = 0;
    return kept;
}

std::shared_ptr<IncompleteBodies> IncompleteBodies::make(std::uint64_t total) {
    return std::shared_ptr<IncompleteBodies>(new IncompleteBodies(total));
}

IncompleteBodies::Body IncompleteBodies::begin(std::string connectionId, std::int64_t start,
                                               Cut cut) {
    std::lock_guard lock(mutex_);
    const BodyId id = ++lastId_;
    // Nothing always fits: the reservation is there to grow.
    bodies_.emplace(id, Entry{std::move(connectionId), start, cut, budget_->reserve(0)});
    return Body(shared_from_this(), id);
}

IncompleteBodies::Holding IncompleteBodies::hold(BodyId body, std::uint64_t bytes,
                                                 std::int64_t now) {
    Holding holding;
    std::lock_guard lock(mutex_);
    const auto found = bodies_.find(body);
    if (found == bodies_.end()) {
        return holding;
    }
    Entry& asker = found->second;
    if (asker.bytes.growTo(bytes)) {
        holding.held = true;
        return holding;
    }
    if (bytes > total()) {
        return holding;  // no room could ever be made for it
    }
    // Only this table reserves from the budget, and only under this lock: what is free now
    // stays free until the bytes are taken.
    const std::uint64_t needed = bytes - asker.bytes.bytes() - (total() - held());
    if (makeRoom(body, asker, bytes, needed, now, holding.cut)) {
        holding.held = asker.bytes.growTo(bytes);
    }
    return holding;
}

bool IncompleteBodies::makeRoom(BodyId asking, const Entry& asker, std::uint64_t bytes,
                                std::uint64_t needed, std::int64_t now,
                                std::vector<std::string>& cut) {
    struct Candidate {
        BodyId id;
        const Entry* entry;
    };
    std::vector<Candidate> slowerOnes;
    std::uint64_t freed = 0;
    for (const auto& [id, entry] : bodies_) {
        const std::uint64_t held = entry.bytes.bytes();
        if (id == asking || entry.cut == Cut::kNever || held == 0 ||
            !slower(held, entry.start, bytes, asker.start, now)) {
            continue;
        }
        slowerOnes.push_back({id, &entry});
        freed += held;
    }
    if (freed < needed) {
        return false;
    }
    std::sort(slowerOnes.begin(), slowerOnes.end(), [now](const Candidate& a, const Candidate& b) {
        return slower(a.entry->bytes.bytes(), a.entry->start, b.entry->bytes.bytes(),
                      b.entry->start, now);
    });
    freed = 0;
    for (const Candidate& candidate : slowerOnes) {
        if (freed >= needed) {
            break;
        }
        freed += candidate.entry->bytes.bytes();
        cut.push_back(candidate.entry->connection);
        bodies_.erase(candidate.id);  // its reservation gives the bytes back
    }
    return true;
}

bool IncompleteBodies::leave(BodyId body) {
    std::lock_guard lock(mutex_);
    return bodies_.erase(body) != 0;
}

std::size_t IncompleteBodies::size() const {
    std::lock_guard lock(mutex_);
    return bodies_.size();
}

}  // namespace kr
