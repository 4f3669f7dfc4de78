#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/ByteBudget.h"

class KrSocketIPvx;
class KrTransceiverConnection;

namespace kr {

// The hub's table of the connections it serves: each by its id, and by the token that stands
// for it in the TCP jobs' event sets, with the socket the hub lends it; and each filed under
// the deadline it had when it was filed, for housekeeping and for the choice of a connection
// that makes room at the limit. Everything in it changes under one lock, so that a
// connection is in all of its parts or in none.
//
// The limit counts descriptors: each connection's socket, and each file a connection holds
// while it sends it (reserveDescriptor), so that what peers ask for can never bring the
// process to its descriptor limit. At the limit a connection that waits for nothing makes
// room, for a new connection as for a file.
//
// The receive and send jobs look a token up for every event, and the protocol layers a
// connection by its id several times for every request: they share the lock and never wait
// for each other; only a change takes it alone.
class ConnectionTable {
public:
    // The key of a served connection in the event sets. kNoToken stands for no connection
    // (the wake events of the TCP jobs use it).
    using Token = std::uint64_t;
    static constexpr Token kNoToken = 0;

    // A served connection with the socket the hub lends it.
    struct Entry {
        std::shared_ptr<KrSocketIPvx> socket;
        std::shared_ptr<KrTransceiverConnection> connection;
    };
    // What a claim of a descriptor of the limit did there: whether the limit was reached,
    // and the connection taken out to make room (empty when none was), whose removal the
    // caller finishes. At the limit either a connection made room or the claim was refused.
    struct AtLimit {
        Entry madeRoom;
        bool atLimit = false;
    };
    // What add did: the new connection's token, kNoToken when it was refused.
    struct Admission : AtLimit {
        Token token = kNoToken;
    };
    // What reserveDescriptor did: the descriptor held for the caller, empty when there was no
    // room.
    struct Claim : AtLimit {
        ByteBudget::Reservation descriptor;
    };
    using Connections = std::unordered_map<std::string, std::shared_ptr<KrTransceiverConnection>>;

    // limit: the descriptors that served connections and the files they send may hold
    // together; at least 1.
    explicit ConnectionTable(std::size_t limit);
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    // Serves the connection over the socket under a new token, filed under its deadline
    // (KrTransceiverConnection::dueTime). Refused after close and for an id that is served
    // already. At the limit, the connection without a request in progress
    // (KrTransceiverConnection::servingRequest) whose deadline comes first is taken out to
    // make room: of those between requests the one idle longest, but a head still coming
    // counts by its shorter time limit. An outgoing connection is never taken. Refused when
    // none may go.
    Admission add(std::shared_ptr<KrSocketIPvx> socket,
                  std::shared_ptr<KrTransceiverConnection> connection);

    // Holds one descriptor of the limit for a file that a served connection is about to open
    // and send; the reservation gives it back when it goes (with the file). At the limit a
    // connection makes room as for add.
    Claim reserveDescriptor();

    // The descriptors held now: one for each served connection and each file held.
    std::size_t descriptorsHeld() const { return static_cast<std::size_t>(descriptors_->held()); }

    // Takes the connection out of every part of the table: its entry, empty for an id that
    // is not served (or no longer, after close).
    Entry take(const std::string& connectionId);

    // Serves no new connection, and takes every socket out: a token finds nothing any more.
    // The connections stay, found by their ids, until dropAll.
    std::vector<Entry> close();

    // Forgets every connection; they are the caller's to let go, without the lock.
    Connections dropAll();

    // The served connection of a token; empty once it was taken out.
    Entry entry(Token token) const;

    // The connection with this id; null when there is none. Each thread keeps the last one it
    // found, valid while the table has not changed since, so that the several look-ups of a
    // request cost one look at a version number.
    std::shared_ptr<KrTransceiverConnection> find(const std::string& connectionId) const;

    // Connections found by their ids.
    std::size_t size() const;

    // Files the connection anew when its deadline has moved earlier than the one it is filed
    // under. A deadline that moves later needs no filing: housekeeping files it anew when
    // the earlier one comes.
    void fileEarlierDeadline(const KrTransceiverConnection& connection);

    // The same, later: the connection's deadline moved earlier on a thread that reads for
    // every request (the receive job, for a head that may wait unread), where the table's
    // lock would cost more than filing is worth, since most such deadlines move later again
    // soon. The connection is filed when the table next looks at deadlines: at the limit,
    // and at housekeeping's pass (fileAskedDeadlines). The connection asks once until it is
    // filed (KrTransceiverConnection::filed).
    void fileEarlierDeadlineSoon(const KrTransceiverConnection& connection);
    // Files every connection that asked to be filed soon and whose deadline is still earlier
    // than the one it is filed under.
    void fileAskedDeadlines();

    // The connections filed under a deadline that is not after now (steady nanoseconds):
    // the only ones that can have expired.
    std::vector<std::shared_ptr<KrTransceiverConnection>> due(std::int64_t now) const;

    // Files the connection under its deadline now, when it is still filed: one that was
    // active since it was filed.
    void refile(const KrTransceiverConnection& connection);

    // The connection has expired: no look-up by its id finds it and housekeeping asks it no
    // more, while its socket stays served until it is taken out.
    void unlist(const std::string& connectionId);

private:
    // Steady nanoseconds to connection id: a deadline only moves later (one that moves
    // earlier is filed anew), so that housekeeping asks only the connections filed under a
    // deadline that has passed, instead of all. The earliest filed are also the first asked
    // to make room at the limit.
    using Deadlines = std::multimap<std::int64_t, std::string>;

    // A served connection's entry with the descriptor of the limit it holds.
    struct Served {
        Entry entry;
        ByteBudget::Reservation descriptor;
    };

    // Takes the connection out; its descriptor of the limit goes to descriptor when given,
    // and back to the limit otherwise.
    Entry takeLocked(const std::string& connectionId, ByteBudget::Reservation* descriptor = nullptr);
    // A descriptor of the limit: a free one, or, at the limit, that of the connection taken
    // out to make room (told in limit). Empty when there is no room.
    ByteBudget::Reservation claimLocked(AtLimit& limit);
    // The id of the connection to take out for a new one at the limit, "" when none may go.
    std::string connectionToMakeRoomLocked();
    // Files the connection under its deadline, replacing an earlier filing. The new filing.
    Deadlines::iterator fileLocked(const KrTransceiverConnection& connection);
    void forgetDeadlineLocked(const std::string& connectionId);
    void fileAskedDeadlinesLocked();
    // After every change of connections_.
    void changedLocked();

    // Guards everything below but the list of deadlines to file soon; shared by look-ups,
    // held alone by changes. Under it only a connection's deadline timer (KrDeadlineTimer, a
    // lock that nothing follows) is taken, to read when the connection is due, and
    // askedMutex_; never a lock of a job, a server or the TCP jobs.
    mutable std::shared_mutex mutex_;
    // Reserved from and given back without the lock; a descriptor passes from a connection
    // taken out to make room to the newcomer under it, so that no other claim takes it first.
    const std::shared_ptr<ByteBudget> descriptors_;
    std::unordered_map<Token, Served> sockets_;
    std::unordered_map<std::string, Token> tokens_;  // by connection id
    // Hashed: the layers look a connection up several times for every request.
    Connections connections_;
    Deadlines deadlines_;
    std::unordered_map<std::string, Deadlines::iterator> deadlineOf_;
    Token lastToken_ = kNoToken;
    bool closed_ = false;
    // Guards askedToFile_; taken alone, or under mutex_ (never the other way round).
    std::mutex askedMutex_;
    std::vector<std::string> askedToFile_;  // ids of connections that asked to be filed soon
    // Raised (to a number no table had before) with every change of connections_, so that a
    // connection found before is known to be the one a look-up would find now. Written
    // under the lock, read by find without it.
    std::atomic<std::uint64_t> version_{0};
};

}  // namespace kr
