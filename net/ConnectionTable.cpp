#include "net/ConnectionTable.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>

#include "net/KrTransceiverConnection.h"

namespace kr {

namespace {

// Every change of a table's connections takes a new number from here, so that a number seen
// once stands for one state of one table.
std::atomic<std::uint64_t> tableVersions{0};

}  // namespace

ConnectionTable::ConnectionTable(std::size_t limit)
    : descriptors_(ByteBudget::make(std::max<std::size_t>(limit, 1))) {}

ConnectionTable::Admission ConnectionTable::add(std::shared_ptr<KrSocketIPvx> socket,
                                                std::shared_ptr<KrTransceiverConnection> connection) {
    Admission admission;
    std::lock_guard lock(mutex_);
    if (closed_ || tokens_.contains(connection->id())) {
        return admission;
    }
    ByteBudget::Reservation descriptor = claimLocked(admission);
    if (!descriptor) {
        return admission;
    }
    admission.token = ++lastToken_;
    tokens_[connection->id()] = admission.token;
    fileLocked(*connection);
    connections_[connection->id()] = connection;
    sockets_[admission.token] =
        Served{Entry{std::move(socket), std::move(connection)}, std::move(descriptor)};
    changedLocked();
    return admission;
}

ConnectionTable::Claim ConnectionTable::reserveDescriptor() {
    Claim claim;
    // Below the limit a file costs no lock of the table.
    claim.descriptor = descriptors_->reserve(1);
    if (claim.descriptor) {
        return claim;
    }
    std::lock_guard lock(mutex_);
    if (!closed_) {
        claim.descriptor = claimLocked(claim);
    }
    return claim;
}

ByteBudget::Reservation ConnectionTable::claimLocked(AtLimit& limit) {
    ByteBudget::Reservation descriptor = descriptors_->reserve(1);
    if (descriptor) {
        return descriptor;
    }
    limit.atLimit = true;
    limit.madeRoom = takeLocked(connectionToMakeRoomLocked(), &descriptor);
    return descriptor;
}

std::string ConnectionTable::connectionToMakeRoomLocked() {
    // A head that waits unread for a busy layer may be due long before the deadline it is
    // filed under.
    fileAskedDeadlinesLocked();
    // The earliest filed is the one idle longest, unless it has been active since it was
    // filed: then it is filed anew under its deadline now, further on, and the walk goes on
    // (one that is active again each time it is asked is taken all the same once every
    // connection could have been filed anew, so that the walk ends). A connection with a
    // request in progress stays, and so does an outgoing one.
    std::size_t refiled = 0;
    auto filed = deadlines_.begin();
    while (filed != deadlines_.end()) {
        const auto found = connections_.find(filed->second);
        if (found == connections_.end()) {
            ++filed;
            continue;
        }
        const KrTransceiverConnection& connection = *found->second;
        if (connection.outgoing() || connection.servingRequest()) {
            ++filed;
            continue;
        }
        if (connection.dueTime() <= filed->first || refiled > connections_.size()) {
            return connection.id();
        }
        // The new filing lies after this one; the walk takes it up where it lies.
        ++refiled;
        const auto next = std::next(filed);
        const auto anew = fileLocked(connection);
        filed = next == deadlines_.end() || anew->first < next->first ? anew : next;
    }
    return {};
}

ConnectionTable::Entry ConnectionTable::take(const std::string& connectionId) {
    std::lock_guard lock(mutex_);
    return takeLocked(connectionId);
}

ConnectionTable::Entry ConnectionTable::takeLocked(const std::string& connectionId,
                                                   ByteBudget::Reservation* descriptor) {
    Entry entry;
    const auto token = tokens_.find(connectionId);
    if (token == tokens_.end()) {
        return entry;
    }
    const auto found = sockets_.find(token->second);
    entry = std::move(found->second.entry);
    if (descriptor != nullptr) {
        *descriptor = std::move(found->second.descriptor);
    }
    sockets_.erase(found);
    tokens_.erase(token);
    connections_.erase(connectionId);
    changedLocked();
    forgetDeadlineLocked(connectionId);
    return entry;
}

std::vector<ConnectionTable::Entry> ConnectionTable::close() {
    std::vector<Entry> entries;
    std::lock_guard lock(mutex_);
    closed_ = true;
    entries.reserve(sockets_.size());
    for (auto& [token, served] : sockets_) {
        entries.push_back(std::move(served.entry));
    }
    sockets_.clear();
    tokens_.clear();
    return entries;
}

ConnectionTable::Connections ConnectionTable::dropAll() {
    Connections connections;
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
    changedLocked();
    deadlineOf_.clear();
    deadlines_.clear();
    return connections;
}

ConnectionTable::Entry ConnectionTable::entry(Token token) const {
    std::shared_lock lock(mutex_);
    const auto found = sockets_.find(token);
    return found != sockets_.end() ? found->second.entry : Entry{};
}

std::shared_ptr<KrTransceiverConnection> ConnectionTable::find(
    const std::string& connectionId) const {
    struct LastFound {
        const ConnectionTable* table = nullptr;
        std::uint64_t version = 0;
        std::string id;
        std::weak_ptr<KrTransceiverConnection> connection;
    };
    thread_local LastFound last;
    if (last.table == this && last.version == version_.load(std::memory_order_acquire) &&
        last.id == connectionId) {
        if (auto connection = last.connection.lock()) {
            return connection;
        }
    }
    std::shared_lock lock(mutex_);
    const auto found = connections_.find(connectionId);
    auto connection = found != connections_.end() ? found->second : nullptr;
    last.table = this;
    last.version = version_.load(std::memory_order_relaxed);
    last.id = connectionId;
    last.connection = connection;
    return connection;
}

std::size_t ConnectionTable::size() const {
    std::shared_lock lock(mutex_);
    return connections_.size();
}

void ConnectionTable::changedLocked() {
    version_.store(tableVersions.fetch_add(1) + 1, std::memory_order_release);
}

// ---- deadlines ------------------------------------------------------------------------

ConnectionTable::Deadlines::iterator ConnectionTable::fileLocked(
    const KrTransceiverConnection& connection) {
    forgetDeadlineLocked(connection.id());
    const auto filed = deadlines_.emplace(connection.dueTime(), connection.id());
    deadlineOf_[connection.id()] = filed;
    return filed;
}

void ConnectionTable::forgetDeadlineLocked(const std::string& connectionId) {
    if (const auto filed = deadlineOf_.find(connectionId); filed != deadlineOf_.end()) {
        deadlines_.erase(filed->second);
        deadlineOf_.erase(filed);
    }
}

void ConnectionTable::fileEarlierDeadlineSoon(const KrTransceiverConnection& connection) {
    std::lock_guard lock(askedMutex_);
    askedToFile_.push_back(connection.id());
}

void ConnectionTable::fileAskedDeadlines() {
    {
        std::lock_guard asked(askedMutex_);
        if (askedToFile_.empty()) {
            return;
        }
    }
    std::lock_guard lock(mutex_);
    fileAskedDeadlinesLocked();
}

void ConnectionTable::fileAskedDeadlinesLocked() {
    std::vector<std::string> asked;
    {
        std::lock_guard lock(askedMutex_);
        asked.swap(askedToFile_);
    }
    for (const std::string& id : asked) {
        const auto found = connections_.find(id);
        if (found == connections_.end()) {
            continue;
        }
        KrTransceiverConnection& connection = *found->second;
        // Marked first: a deadline that moves earlier from here on asks anew.
        connection.filed();
        const auto filed = deadlineOf_.find(id);
        if (filed != deadlineOf_.end() && connection.dueTime() < filed->second->first) {
            fileLocked(connection);
        }
    }
}

void ConnectionTable::fileEarlierDeadline(const KrTransceiverConnection& connection) {
    std::lock_guard lock(mutex_);
    const auto filed = deadlineOf_.find(connection.id());
    if (filed != deadlineOf_.end() && connection.dueTime() < filed->second->first) {
        fileLocked(connection);
    }
}

std::vector<std::shared_ptr<KrTransceiverConnection>> ConnectionTable::due(std::int64_t now) const {
    std::vector<std::shared_ptr<KrTransceiverConnection>> due;
    std::shared_lock lock(mutex_);
    for (auto filed = deadlines_.begin(); filed != deadlines_.end() && filed->first <= now;
         ++filed) {
        if (const auto found = connections_.find(filed->second); found != connections_.end()) {
            due.push_back(found->second);
        }
    }
    return due;
}

void ConnectionTable::refile(const KrTransceiverConnection& connection) {
    std::lock_guard lock(mutex_);
    if (deadlineOf_.contains(connection.id())) {
        fileLocked(connection);
    }
}

void ConnectionTable::unlist(const std::string& connectionId) {
    std::lock_guard lock(mutex_);
    connections_.erase(connectionId);
    changedLocked();
    forgetDeadlineLocked(connectionId);
}

}  // namespace kr
