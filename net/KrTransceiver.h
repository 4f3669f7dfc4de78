#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "jobs/KrJob.h"
#include "jobs/KrJobWithTimeout.h"
#include "jobs/KrRarediScheduler2.h"
#include "net/ByteBudget.h"
#include "net/ConnectionLimit.h"
#include "net/KrServerCallback_t.h"
#include "net/KrServerLayer.h"
#include "platform/EventPoll.h"
#include "platform/Poll.h"

class KrRequestHandler;
class KrServerDescription;
class KrSocketIPvx;
class KrTransceiverConnection;
class KrTransceiverMessage;
class KrTransceiverServer;
class KrURLHookService;

// The hub's record of one request handler: the handler and the server descriptions already
// built for it, by description id.
struct KrTransceiverClientRecord {
    std::shared_ptr<KrRequestHandler> handler;
    std::map<std::string, std::shared_ptr<KrServerDescription>> descriptions;
};

// The time limits of what a hub builds. Only tests change them.
struct KrTransceiverTiming {
    // A request's head must be complete this long after its first byte came.
    static constexpr std::chrono::milliseconds kHeadTimeLimit{30'000};
    // A request's body, once its head is complete, must come at the minimum rate, averaged
    // from the start of the body; during the grace it may be slower.
    static constexpr std::uint64_t kBodyMinimumRate = 1024;  // bytes a second
    static constexpr std::chrono::milliseconds kBodyGrace{10'000};

    std::uint64_t connectionTimeout = KrJobWithTimeout::kConnectionTimeout;  // µs
    std::uint64_t serverTimeout = KrJobWithTimeout::kServerTimeout;          // µs
    // A listener that cannot bind tries again after this pause.
    std::chrono::milliseconds listenRetryPause{30'000};
    // The protocol layers read the request limits here (see
    // KrTransceiverConnection::setRequestDeadline); the rate must not be 0.
    std::chrono::milliseconds headTimeLimit = kHeadTimeLimit;
    std::uint64_t bodyMinimumRate = kBodyMinimumRate;
    std::chrono::milliseconds bodyGrace = kBodyGrace;
};

// What a hub holds at most. Only tests change them.
struct KrTransceiverLimits {
    // The bytes that incomplete requests may hold across all connections: a protocol layer
    // reserves a request's declared body from incompleteBytes() before it reads it, and a
    // request that would cross the total is refused.
    static constexpr std::uint64_t kIncompleteBytes = std::uint64_t{256} << 20;

    std::uint64_t incompleteBytes = kIncompleteBytes;
    // Connections served at once; by default what the descriptor limit leaves after a reserve
    // (see net/ConnectionLimit.h). At the limit a new connection takes the place of one
    // without a request in progress, or is closed when there is none (see addConnection).
    std::size_t connections = kr::defaultConnectionLimit();
};

// The hub between the network and the server layers. It keeps the registries of request
// handlers, servers and connections; one receive job and one send job serve all its
// connections, each blocked in an event set (epoll) of its own, to which connections are
// added and from which they are removed one at a time: a wake costs what is ready, whatever
// the number of connections. The receive job waits for every connection that may read; the
// send job only for those whose output the socket did not take at once (a connection writes
// what it can itself, see KrTransceiverConnection). A housekeeping thread removes idle
// connections, connections past the deadline of the request they are reading, and expired
// servers once a second. It serves at most Limits::connections connections (see
// addConnection) and keeps the budget of bytes that incomplete requests may hold across all
// of them (incompleteBytes), which its protocol layers reserve from. It builds the server
// layer of a server description through its table of layers, and routes answers back to the
// server and connection they belong to.
//
// Shutdown (the destructor) runs in one order: stop the listeners, housekeeping, the receive
// and send jobs and the servers' buffer jobs, waiting for each; then drop connections (which
// closes their sockets), servers and handlers.
class KrTransceiver : public KrJob {
public:
    using JobId = KrRarediScheduler2::JobId;

    using Timing = KrTransceiverTiming;
    using Limits = KrTransceiverLimits;

    static constexpr std::chrono::milliseconds kHousekeepingPeriod{1000};

    // Throws KrException when the wake events cannot be made.
    explicit KrTransceiver(KrRarediScheduler2& scheduler, Timing timing = {}, Limits limits = {});
    ~KrTransceiver() override;

    // Hands the message to the registry for the job with that id.
    bool postTo(const std::string& targetId, const KrJobMessage& message) override;

    // The operations below are entered from the hub's own jobs and from the servers' jobs,
    // which the destructor ends only after it has begun; none of them is virtual, so that
    // none reads the object's virtual table while it changes.

    // Registers the handler under its id; a new one gets this hub as its sender.
    std::shared_ptr<KrRequestHandler> addClient(std::shared_ptr<KrRequestHandler> handler);
    // Detaches this hub from the handler and forgets its record.
    void removeClient(KrRequestHandler& handler);

    // Hands a finished message to where it belongs: an answer to the server and connection
    // of its route list, a request to the URL hook service of its target address (http,
    // nuxel and socket only; any other prints "unknown protocol!! (2)"). The reply
    // name becomes the message's connection name. The message's id when the message was
    // taken in hand, else kr::commonErrorName().
    std::string sendMessage(KrRequestHandler* handler,
                            std::shared_ptr<KrTransceiverMessage> message,
                            KrServerStatusCallback callback, const std::string& replyName);

    // Builds and starts the server layer of the description's protocol for the handler, once
    // per handler and description, and reports state 1. The description's id ("" without a
    // description).
    std::string createServer(KrRequestHandler* handler,
                             std::shared_ptr<KrServerDescription> description,
                             KrServerStatusCallback callback);

    // Installs the server layer built for a protocol number.
    void setServerLayer(std::uint32_t protocol, KrServerLayer layer);

    // Serves the connection over the socket; the first connection starts the receive and
    // send jobs. Throws KrException "socket and connection must be defined" when either is
    // missing. At the connection limit the served connection without a request in progress
    // (see KrTransceiverConnection::servingRequest) whose deadline comes first is removed to
    // make room: of those between requests the one idle longest, but a head still coming
    // counts by its shorter time limit, so that a crowd of heads that never complete goes
    // before the keep-alive connections of real users. An outgoing connection is never
    // removed. False when the pair is dropped, which closes the socket: after shutdown has
    // begun, or at the limit when no connection can make room.
    bool addConnection(std::shared_ptr<KrSocketIPvx> socket,
                       std::shared_ptr<KrTransceiverConnection> connection);

    // Forgets the connection and tells its link name, its server and itself (type 2); its
    // socket closes with the last reference. Nothing happens for an unknown id.
    void removeConnection(const std::string& connectionId);

    // A served connection whose deadline (KrTransceiverConnection::dueTime) has moved
    // earlier than the one it is filed under for housekeeping is filed anew. A deadline that
    // moves later needs no call: housekeeping files it anew when the earlier one comes.
    void fileDeadline(const KrTransceiverConnection& connection);

    // Keeps the server under its id; the server subscribes to the hub's registration name.
    void addServer(std::shared_ptr<KrTransceiverServer> server);

    // Wakes the send job. Output needs no wake: a connection asks for the send job with
    // writeWhenReady when its socket does not take everything.
    void wakeSender();

    // The send job writes the connection of this socket and token when the socket has room
    // (once; it asks again while output remains). Called by a served connection under its
    // output lock, so never for a socket that the hub has taken back.
    void writeWhenReady(int socket, std::uint64_t token);
    // The send job writes the connection of this token as soon as it can, without waiting
    // for its socket to report room: for output that was not tried yet. It costs the caller
    // no change of the send job's set, and a wake-up only when the send job sleeps.
    void writeSoon(std::uint64_t token);
    // A connection whose reading had paused at its limits may be read again.
    void resumeReading(std::uint64_t token);

    // Ends the receive and send jobs' loops and forgets every socket.
    void stopTcpJobs();

    // A server has taken an answer from a peer: its link name gets a type-5 message naming
    // the server's subscription ("ctask"), which the server leaves.
    void reportTaskDone(const std::string& serverId);

    // Prints the "logging" line of an access-log event (state 7) on standard output.
    void printLog(const KrServerCallback_t& event);

    std::shared_ptr<KrTransceiverConnection> findConnection(const std::string& id) const;
    std::shared_ptr<KrTransceiverServer> findServer(const std::string& id) const;
    std::shared_ptr<KrRequestHandler> findClient(const std::string& id) const;
    std::size_t connectionCount() const;

    const std::string& registrationName() const { return registrationName_; }
    KrRarediScheduler2& scheduler() const { return scheduler_; }
    const Timing& timing() const { return timing_; }
    const Limits& limits() const { return limits_; }
    // The budget of Limits::incompleteBytes.
    kr::ByteBudget& incompleteBytes() const { return *incompleteBytes_; }
    JobId receiveJobId() const;
    JobId sendJobId() const;

private:
    // postTo without the virtual call (see above).
    static bool post(const std::string& targetId, const KrJobMessage& message);

    struct SocketEntry {
        std::shared_ptr<KrSocketIPvx> socket;
        std::shared_ptr<KrTransceiverConnection> connection;
    };
    // The key of a served connection in the event sets; the wake events use kWakeToken.
    using Token = std::uint64_t;
    static constexpr Token kWakeToken = 0;
    // The URL hook service of a handler for one target address.
    using ServiceKey = std::pair<std::string, std::string>;

    void receiveLoop();
    void sendLoop();
    void housekeepingLoop();
    void housekeepingPass();
    void expireIdleConnections();
    // Files the connection under its deadline, replacing an earlier filing; with
    // registryMutex_ held. The new filing.
    std::multimap<std::int64_t, std::string>::iterator fileDeadlineLocked(
        const KrTransceiverConnection& connection);
    void forgetDeadlineLocked(const std::string& connectionId);
    // With socketMutex_ and registryMutex_ held: the id of the connection to remove for a new
    // one at the limit, "" when none may go.
    std::string connectionToMakeRoomLocked();
    // With socketMutex_ and registryMutex_ held: takes the connection out of the registries
    // (nothing for an unknown id); finishRemoval does the rest without the locks.
    SocketEntry takeConnectionLocked(const std::string& connectionId);
    void finishRemoval(const SocketEntry& entry);
    // The served connection of a token; empty once it was removed.
    SocketEntry entryFor(Token token) const;
    // Reads a connection the receive set reported; false when it is broken.
    bool serveInput(const SocketEntry& entry, short ready);
    // Puts the connections whose reading may resume back into the receive set.
    void resumePausedReading();
    void startTcpJobsLocked();
    void endTcpJobs();
    KrServerSetup setupFor(const KrRequestHandler& handler, std::string secondText,
                           KrServerStatusCallback callback, std::string typeName,
                           std::shared_ptr<KrServerDescription> description);
    std::shared_ptr<KrURLHookService> serviceFor(KrRequestHandler& handler,
                                                 const KrTransceiverMessage& message,
                                                 const KrServerStatusCallback& callback);

    KrRarediScheduler2& scheduler_;
    const Timing timing_;
    const Limits limits_;
    const std::shared_ptr<kr::ByteBudget> incompleteBytes_;
    std::string registrationName_;

    // Held for the whole of one sendMessage, so answers go out one at a time. The registry
    // lock may be taken under it, and the locks of the servers, services and connections
    // that the message reaches.
    std::recursive_mutex sendMutex_;

    // Guards the registries below and the table of layers. Taken together with socketMutex_
    // (std::scoped_lock) when connections are added or removed, and then the scheduler's
    // lock may follow (the first connection starts the TCP jobs). Of a connection's or a
    // server's locks only a connection's deadline timer (a lock that nothing follows) is
    // taken under it, to file the connection under its deadline.
    mutable std::recursive_mutex registryMutex_;
    std::map<std::uint32_t, KrServerLayer> layers_;
    std::map<std::string, std::shared_ptr<KrTransceiverServer>> servers_;
    std::map<std::string, KrTransceiverClientRecord> clients_;
    // Hashed: the layers look a connection up several times for every request.
    std::unordered_map<std::string, std::shared_ptr<KrTransceiverConnection>> connections_;
    // Raised (to a number no registry had before) with every change of connections_, so
    // that a connection found before is known to be the one a look-up would find now.
    std::atomic<std::uint64_t> connectionsVersion_{0};
    void connectionsChangedLocked();
    // Every connection of connections_ by the deadline it had when it was filed: a deadline
    // only moves later (one that moves earlier is filed anew, see fileDeadline), so a
    // housekeeping pass asks only the connections filed under a deadline that has passed (and
    // files those that are not idle anew), instead of all. The earliest filed are also the
    // first asked to make room at the connection limit.
    using Deadlines = std::multimap<std::int64_t, std::string>;  // steady ns, connection id
    Deadlines deadlines_;
    std::unordered_map<std::string, Deadlines::iterator> deadlineOf_;
    std::map<ServiceKey, std::shared_ptr<KrURLHookService>> servicesByTarget_;
    std::map<std::string, std::shared_ptr<KrURLHookService>> servicesById_;

    // Guards the socket set, the paused connections and the TCP jobs' run flags and ids;
    // registryMutex_ may be taken with it as above, and the scheduler's lock under it to
    // start the TCP jobs; nothing else. A connection's output lock is never held with it.
    mutable std::recursive_mutex socketMutex_;
    // Guards sockets_ and tokens_ besides socketMutex_: they change only with both held
    // (this one exclusively, taken last, nothing under it), so that the receive and send
    // jobs, which look a token up for every event, only share this one and never wait for
    // each other.
    mutable std::shared_mutex socketTableMutex_;
    std::unordered_map<Token, SocketEntry> sockets_;
    std::unordered_map<std::string, Token> tokens_;  // by connection id
    Token lastToken_ = kWakeToken;
    std::vector<Token> resumed_;           // paused connections that may read again
    bool tcpStopped_ = false;              // no new socket is served, no job started
    std::atomic<bool> receiveRun_{false};  // read by the loop without the lock
    std::atomic<bool> sendRun_{false};
    JobId receiveJob_ = 0;
    JobId sendJob_ = 0;
    // The receive and send jobs block in these sets. The receive set holds every connection
    // that may read (level-triggered); the send set holds every connection, reported once
    // each time it asks for the send job. Each set also holds its job's wake event.
    platform::WakeEvent receiveWake_;
    platform::WakeEvent sendWake_;
    platform::EventPoll receiveSet_;
    platform::EventPoll sendSet_;

    // Guards writeSoon_, the tokens of connections the send job is to write without waiting
    // for their sockets; nothing is locked under it.
    std::mutex writeSoonMutex_;
    std::vector<Token> writeSoon_;
    std::atomic<bool> writeSoonQueued_{false};  // writeSoon_ holds a token; written under the lock
    std::atomic<bool> sendJobSleeps_{false};    // the send job sleeps, or is about to

    // Guards housekeepingRun_; nothing is locked under it.
    std::mutex housekeepingMutex_;
    std::condition_variable housekeepingWake_;
    bool housekeepingRun_ = true;
    std::thread housekeeping_;  // last: it starts once everything it uses exists
};
