#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "jobs/KrJob.h"
#include "jobs/KrJobWithTimeout.h"
#include "jobs/KrRarediScheduler2.h"
#include "net/ConnectionLimit.h"
#include "net/ConnectionTable.h"
#include "net/Housekeeping.h"
#include "net/IncompleteBodies.h"
#include "net/KrServerCallback_t.h"
#include "net/KrServerLayer.h"
#include "net/LimitReport.h"
#include "net/ServerRegistry.h"
#include "net/TcpJobs.h"

class KrRequestHandler;
class KrServerDescription;
class KrSocketIPvx;
class KrTransceiverConnection;
class KrTransceiverMessage;
class KrTransceiverServer;
class KrURLHookService;

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
    // While the connection limit is reached, a line says so at most this often.
    std::chrono::milliseconds limitReportPeriod = kr::LimitReport::kDefaultPeriod;
};

// What a hub holds at most. Only tests change them.
struct KrTransceiverLimits {
    // The bytes that incomplete request bodies may hold across all connections: a protocol
    // layer holds what has arrived of a body that is not whole yet (holdIncompleteBody), and
    // where that would cross the total the slowest bodies make room, or the request is
    // refused (see kr::IncompleteBodies).
    static constexpr std::uint64_t kIncompleteBytes = std::uint64_t{256} << 20;

    std::uint64_t incompleteBytes = kIncompleteBytes;
    // Descriptors that the served connections and the files they send may hold together;
    // by default what the descriptor limit leaves after a reserve (see net/ConnectionLimit.h).
    // At the limit a new connection, or a file, takes the place of a connection without a
    // request in progress, or is refused when there is none (see addConnection and
    // reserveDescriptor).
    std::size_t connections = kr::defaultConnectionLimit();
};

// The hub between the network and the server layers, and the face of the network layer
// that the rest of the system calls. Its jobs each have a room of their own, with one lock:
// - the connection table (kr::ConnectionTable): the served connections by id and by token,
//   with their sockets and the deadlines they are filed under;
// - the TCP jobs (kr::TcpJobs): one receive job and one send job for all connections, each
//   blocked in an event set (epoll) of its own; the receive job waits for every connection
//   that may read, the send job only for those whose output the socket did not take at once
//   (a connection writes what it can itself, see KrTransceiverConnection);
// - the registry of request handlers, servers, URL hook services and server layers
//   (kr::ServerRegistry);
// - housekeeping (kr::Housekeeping): a thread that removes idle connections, connections
//   past the deadline of the request they are reading, and expired servers once a second.
// The hub itself serves at most Limits::connections connections (see addConnection), keeps
// the budget of bytes that incomplete request bodies may hold across all of them with the
// table of who holds what (incompleteBodies, holdIncompleteBody), builds the server layer of a
// server description through its table of layers, and routes answers back to the server and
// connection they belong to. docs/request-road.md follows a request through all of them.
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
    // begun, or at the limit when no connection can make room. While the limit is reached, a
    // line on standard error says so (see kr::LimitReport).
    bool addConnection(std::shared_ptr<KrSocketIPvx> socket,
                       std::shared_ptr<KrTransceiverConnection> connection);

    // A place in the connection limit for a file that a served connection is about to open
    // and send, held until the reservation goes (with the file, once it is sent or dropped):
    // the files the connections hold count toward the descriptors the limit guards. At the
    // limit a connection makes room as for addConnection; an empty reservation when none can.
    kr::ByteBudget::Reservation reserveDescriptor();

    // Forgets the connection and tells its link name, its server and itself (type 2); its
    // socket closes with the last reference. Nothing happens for an unknown id.
    void removeConnection(const std::string& connectionId);

    // A served connection whose deadline (KrTransceiverConnection::dueTime) has moved
    // earlier than the one it is filed under for housekeeping is filed anew. A deadline that
    // moves later needs no call: housekeeping files it anew when the earlier one comes.
    void fileDeadline(const KrTransceiverConnection& connection) {
        connections_.fileEarlierDeadline(connection);
    }
    // The same, once the hub next looks at deadlines (at the limit, or at housekeeping's
    // pass), for a deadline that moved earlier on the receive job: see
    // kr::ConnectionTable::fileEarlierDeadlineSoon.
    void fileDeadlineSoon(const KrTransceiverConnection& connection) {
        connections_.fileEarlierDeadlineSoon(connection);
    }

    // Keeps the server under its id; the server subscribes to the hub's registration name.
    void addServer(std::shared_ptr<KrTransceiverServer> server);

    // The send job writes the connection of this socket and token when the socket has room
    // (once; it asks again while output remains). Called by a served connection under its
    // output lock, so never for a socket that the hub has taken back.
    void writeWhenReady(int socket, std::uint64_t token) { tcpJobs_.writeWhenReady(socket, token); }
    // The send job writes the connection of this token as soon as it can, without waiting
    // for its socket to report room: for output that was not tried yet. It costs the caller
    // no change of the send job's set, and a wake-up only when the send job sleeps.
    void writeSoon(std::uint64_t token) { tcpJobs_.writeSoon(token); }
    // A connection whose reading had paused at its limits may be read again.
    void resumeReading(std::uint64_t token) { tcpJobs_.resumeReading(token); }

    // A server has taken an answer from a peer: its link name gets a type-5 message naming
    // the server's subscription ("ctask"), which the server leaves.
    void reportTaskDone(const std::string& serverId);

    // Prints the "logging" line of an access-log event (state 7) on standard output.
    void printLog(const KrServerCallback_t& event);

    std::shared_ptr<KrTransceiverConnection> findConnection(const std::string& id) const {
        return connections_.find(id);
    }
    std::shared_ptr<KrTransceiverServer> findServer(const std::string& id) const {
        return registry_.findServer(id);
    }
    std::shared_ptr<KrRequestHandler> findClient(const std::string& id) const {
        return registry_.findClient(id);
    }
    std::size_t connectionCount() const { return connections_.size(); }

    const Timing& timing() const { return timing_; }
    // The budget of Limits::incompleteBytes and the bodies that hold it; a protocol layer
    // begins a body there once the head of a request that did not come whole is read.
    kr::IncompleteBodies& incompleteBodies() const { return *incompleteBodies_; }
    // The incomplete body has received bytes in all by now (kr::IncompleteBodies::hold).
    // The connections whose bodies were cut to make room for them are expired here, on the
    // calling thread, which must hold none of the locks of docs/request-road.md: their
    // removal takes their delivery locks, the connection table's and the TCP jobs'. False
    // when the body may not hold them: its request is to be refused.
    bool holdIncompleteBody(kr::IncompleteBodies::BodyId body, std::uint64_t bytes,
                            std::int64_t now);
    JobId receiveJobId() const { return tcpJobs_.receiveJobId(); }
    JobId sendJobId() const { return tcpJobs_.sendJobId(); }

private:
    // postTo without the virtual call (see above).
    static bool post(const std::string& targetId, const KrJobMessage& message);

    // Takes the connection's socket out of the TCP jobs' sets and tells whom it concerns;
    // for a connection already taken out of the table.
    void finishRemoval(const kr::ConnectionTable::Entry& entry);
    // Finishes what the connection table did at the limit: the connection it took out to make
    // room is removed, and the limit is reported (kr::LimitReport), with a connection closed
    // for it when one made room or when refusalCloses and the claim was refused.
    void settleLimit(const kr::ConnectionTable::AtLimit& limit, bool refusalCloses);
    // Ends the receive and send jobs and forgets every socket.
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
    const std::shared_ptr<kr::IncompleteBodies> incompleteBodies_;
    std::string registrationName_;

    // Held for the whole of one sendMessage, so that answers go out one at a time and no
    // second URL hook service is built for a target while one is. Plain: nothing that a
    // message reaches under it sends again on this thread. A server's handle writes to its
    // connection and reports the answer to its status callback, which must not send (the
    // application's prints the access-log line); a URL hook service hands the message to a
    // worker or queues it. Under it are taken the registry's and the connection
    // table's locks, and the locks of the servers, services and connections that the message
    // reaches (with a connection's output lock, the TCP jobs' lock).
    std::mutex sendMutex_;

    kr::ServerRegistry registry_;
    kr::ConnectionTable connections_;
    kr::LimitReport limitReport_;
    kr::TcpJobs tcpJobs_;
    kr::Housekeeping housekeeping_;  // last: its thread starts once everything it uses exists
};
