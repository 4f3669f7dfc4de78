#include "net/KrTransceiver.h"

#include <utility>

#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "jobs/KrCombinedTask.h"
#include "jobs/KrIdGenerator.h"
#include "net/KrProtocol.h"
#include "net/KrRequestHandler.h"
#include "net/KrServerDescription.h"
#include "net/KrSocketIPvx.h"
#include "net/KrTransceiverConnection.h"
#include "net/KrTransceiverMessage.h"
#include "net/KrTransceiverServerL0.h"
#include "net/KrURLHookService.h"
#include "platform/Clock.h"

namespace {

KrJobMessage noticeAbout(const std::string& id, std::uint32_t type) {
    KrJobMessage message;
    message.type = type;
    message.text = id;
    return message;
}

// The protocols whose answers the hub routes back through a server and a connection.
bool routesAnswers(std::uint32_t protocol) {
    return protocol == kr::kProtocolHTTP || protocol == kr::kProtocolHTTPS ||
           protocol == kr::kProtocolNUXEL || protocol == kr::kProtocolSocket;
}

// The protocols whose requests to another host get a URL hook service. The layer table has
// more entries (nuxels shares the NUXEL layer for listeners), but a request goes out only
// in one of these.
bool sendsRequests(std::uint32_t protocol) {
    return protocol == kr::kProtocolHTTP || protocol == kr::kProtocolNUXEL ||
           protocol == kr::kProtocolSocket;
}

}  // namespace

KrTransceiver::KrTransceiver(KrRarediScheduler2& scheduler, Timing timing, Limits limits)
    : scheduler_(scheduler),
      timing_(timing),
      limits_(limits),
      incompleteBodies_(kr::IncompleteBodies::make(limits.incompleteBytes)),
      connections_(limits.connections),
      limitReport_(limits.connections, timing.limitReportPeriod),
      tcpJobs_(scheduler, connections_, [this](const std::string& id) { removeConnection(id); }),
      housekeeping_(kHousekeepingPeriod, registry_, connections_,
                    [this](const std::string& id) { removeConnection(id); }) {
    registrationName_ = registerJob("housekeeping");
}

KrTransceiver::~KrTransceiver() {
    // Stop accepting first, so that no connection arrives while the rest goes.
    for (const auto& server : registry_.servers()) {
        server->endTransport();
    }
    housekeeping_.stop();
    endTcpJobs();

    // Until its buffer job has ended, a server may still send, and so make a URL hook
    // service or a worker: take the servers out and end their jobs until no new one appears.
    kr::ServerRegistry::Servers ended;
    for (;;) {
        const kr::ServerRegistry::Servers servers = registry_.takeServers();
        if (servers.empty()) {
            break;
        }
        for (const auto& server : servers) {
            server->shutdown();
            ended.push_back(server);
        }
    }

    // Every job is over: what is left can go.
    const auto clients = registry_.takeClients();
    const auto connections = connections_.dropAll();
    for (const auto& [id, record] : clients) {
        record.handler->detachSender(this);
    }
    for (const auto& server : ended) {
        server->detachHub(this);
    }
    kr::flushOutLines();
}

bool KrTransceiver::postTo(const std::string& targetId, const KrJobMessage& message) {
    return post(targetId, message);
}

bool KrTransceiver::post(const std::string& targetId, const KrJobMessage& message) {
    return KrCombinedTask::instance().enqueue(targetId, message);
}

std::shared_ptr<KrRequestHandler> KrTransceiver::addClient(
    std::shared_ptr<KrRequestHandler> handler) {
    // Attached outside the registry's lock: a handler sends under a lock of its own, and
    // sending takes the registry's lock.
    if (handler && registry_.addClient(handler)) {
        handler->attachSender(this);
    }
    return handler;
}

void KrTransceiver::removeClient(KrRequestHandler& handler) {
    // The record goes after the handler is detached.
    const auto record = registry_.takeClient(handler.id());
    if (record) {
        handler.detachSender(this);
    }
}

void KrTransceiver::setServerLayer(std::uint32_t protocol, KrServerLayer layer) {
    registry_.setLayer(protocol, std::move(layer));
}

// ---- sending and building servers -----------------------------------------------------

std::string KrTransceiver::sendMessage(KrRequestHandler* handler,
                                       std::shared_ptr<KrTransceiverMessage> message,
                                       KrServerStatusCallback callback,
                                       const std::string& replyName) {
    std::lock_guard sending(sendMutex_);
    if (!message || handler == nullptr || !findClient(handler->id())) {
        return kr::commonErrorName();
    }
    std::string result = message->id();
    switch (message->messageKind()) {
        case KrTransceiverMessage::kAnswer: {
            message->setConnectionName(replyName);
            if (!routesAnswers(message->protocol())) {
                kr::outLine("unknown protocol!! (1)");
                return result;
            }
            const std::string connectionId = message->route(1);
            const auto server = findServer(message->route(0));
            const auto connection = findConnection(connectionId);
            if (server && connection) {
                server->subscribe(replyName);
                server->handle(connectionId, message);
            }
            return result;
        }
        case KrTransceiverMessage::kRequest: {
            const auto service = serviceFor(*handler, *message, callback);
            if (!service) {
                return result;
            }
            service->subscribe(replyName);
            message->setConnectionName(replyName);
            bool failed = false;
            (void)service->dispatch(message, failed);
            return failed ? kr::commonErrorName() : result;
        }
        default: return result;
    }
}

std::shared_ptr<KrURLHookService> KrTransceiver::serviceFor(
    KrRequestHandler& handler, const KrTransceiverMessage& message,
    const KrServerStatusCallback& callback) {
    const kr::ServerRegistry::ServiceKey key{handler.id(), message.addressText()};
    if (auto service = registry_.findService(key)) {
        return service;
    }
    const auto layer = registry_.layer(message.protocol());
    if (!sendsRequests(message.protocol()) || !layer) {
        kr::outLine("unknown protocol!! (2)");
        return nullptr;
    }
    // Built outside the registry's lock, as every job: a new job holds its own delivery lock
    // while it is constructed, and a job may take the registry's lock under that one. Sends
    // are serialised, so no other service for the key can appear meanwhile.
    auto service = kr::makeJob<KrURLHookService>(
        setupFor(handler, key.second, callback, layer->typeName, nullptr), layer->make);
    registry_.addService(key, service);
    return service;
}

KrServerSetup KrTransceiver::setupFor(const KrRequestHandler& handler, std::string secondText,
                                      KrServerStatusCallback callback, std::string typeName,
                                      std::shared_ptr<KrServerDescription> description) {
    KrServerSetup setup;
    setup.scheduler = &scheduler_;
    setup.hub = this;
    setup.name = handler.id();
    setup.secondText = std::move(secondText);
    setup.linkName = id();
    setup.callback = std::move(callback);
    setup.typeName = std::move(typeName);
    setup.description = std::move(description);
    setup.timeoutMicroseconds = timing_.serverTimeout;
    return setup;
}

std::string KrTransceiver::createServer(KrRequestHandler* handler,
                                        std::shared_ptr<KrServerDescription> description,
                                        KrServerStatusCallback callback) {
    if (!description) {
        return "";
    }
    const std::string descriptionId = description->descriptionId();
    if (handler == nullptr) {
        return descriptionId;
    }
    // Claimed now, so that a second call for the description builds nothing.
    KrServerLayer layer;
    switch (registry_.claimDescription(handler->id(), description, layer)) {
        case kr::ServerRegistry::Claim::Granted: break;
        case kr::ServerRegistry::Claim::Refused: return descriptionId;
        case kr::ServerRegistry::Claim::NoLayer:
            kr::outLine("unknown protocol!! (3)");
            return descriptionId;
    }
    // Built and started outside the registry's lock: a new job holds its own delivery lock
    // while it is constructed, and a client connects at once, which takes the connection
    // table's lock.
    const std::shared_ptr<KrTransceiverServerL0> server =
        layer.make(setupFor(*handler, descriptionId, callback, layer.typeName, description));
    if (!server) {
        registry_.releaseDescription(handler->id(), descriptionId);
        return descriptionId;
    }
    description->setServer(server);
    server->start();
    addServer(server);
    KrServerCallback_t created;
    created.state = KrServerCallback_t::kServerCreated;
    created.values = {{"protocol", layer.protocolText}, {"ID", server->id()}, {"roll", "server"}};
    if (callback) {
        (void)callback(created);
    }
    return descriptionId;
}

void KrTransceiver::addServer(std::shared_ptr<KrTransceiverServer> server) {
    if (!server) {
        return;
    }
    server->subscribe(registrationName_);
    registry_.addServer(std::move(server));
}

void KrTransceiver::reportTaskDone(const std::string& serverId) {
    const auto server = findServer(serverId);
    if (!server) {
        return;
    }
    KrJobMessage message = noticeAbout(server->id(), KrJobMessage::kTaskDone);
    message.parameters[std::string(KrJobMessage::kTaskParameter)] = server->subscription();
    server->unsubscribeLast("");
    post(server->linkName(), message);
}

void KrTransceiver::printLog(const KrServerCallback_t& event) {
    if (event.state != KrServerCallback_t::kAccessLog) {
        return;
    }
    const auto line = event.values.find("logging");
    if (line != event.values.end()) {
        // A line for every request: held back briefly, so that many go out in one write.
        kr::outLineSoon(line->second);
    }
}

// ---- connections ----------------------------------------------------------------------

bool KrTransceiver::addConnection(std::shared_ptr<KrSocketIPvx> socket,
                                  std::shared_ptr<KrTransceiverConnection> connection) {
    if (!socket || !connection) {
        throw KrException("socket and connection must be defined", 3106, "src");
    }
    // The limit is checked here (and for files in reserveDescriptor) only: every
    // connection, accepted or outgoing, comes in through this call.
    const kr::ConnectionTable::Admission admission = connections_.add(socket, connection);
    // A newcomer without room is closed as well.
    settleLimit(admission, true);
    if (admission.token == kr::ConnectionTable::kNoToken) {
        return false;
    }
    tcpJobs_.start(id());
    // In the send set (waiting for nothing yet) before the connection gets its socket, so
    // that output queued before is written or left to the send job; in the receive set last,
    // once the connection can answer.
    const int fd = socket->handle();
    const bool sendable = tcpJobs_.addToSendSet(fd, admission.token);
    if (sendable) {
        connection->attachSocket(socket, admission.token);
    }
    if (!sendable || !tcpJobs_.addToReceiveSet(fd, admission.token)) {
        removeConnection(connection->id());
        return false;
    }
    return true;
}

kr::ByteBudget::Reservation KrTransceiver::reserveDescriptor() {
    kr::ConnectionTable::Claim claim = connections_.reserveDescriptor();
    // A file without room is answered, not closed.
    settleLimit(claim, false);
    return std::move(claim.descriptor);
}

void KrTransceiver::settleLimit(const kr::ConnectionTable::AtLimit& limit, bool refusalCloses) {
    if (limit.madeRoom.connection) {
        finishRemoval(limit.madeRoom);
    }
    if (!limit.atLimit) {
        return;
    }
    const bool closed = limit.madeRoom.connection != nullptr || refusalCloses;
    if (const std::string line = limitReport_.reached(closed, platform::steadyNanoseconds());
        !line.empty()) {
        kr::errLine(line);
    }
}

bool KrTransceiver::holdIncompleteBody(kr::IncompleteBodies::BodyId body, std::uint64_t bytes,
                                       std::int64_t now) {
    const kr::IncompleteBodies::Holding holding = incompleteBodies_->hold(body, bytes, now);
    // Their bodies hold nothing any more, and their requests will not be served (see
    // kr::IncompleteBodies::Body::finish): the connections go as a slow one does at its
    // deadline.
    for (const std::string& id : holding.cut) {
        if (const auto connection = findConnection(id)) {
            connection->expire();
        }
    }
    return holding.held;
}

void KrTransceiver::removeConnection(const std::string& connectionId) {
    const kr::ConnectionTable::Entry entry = connections_.take(connectionId);
    if (entry.connection) {
        finishRemoval(entry);
    }
}

void KrTransceiver::finishRemoval(const kr::ConnectionTable::Entry& entry) {
    // Out of the sets while the socket is still open, so that its descriptor cannot be
    // taken by a new socket first; the connection then writes nothing more to it.
    tcpJobs_.forget(entry.socket->handle());
    entry.connection->detachSocket();
    const KrTransceiverConnection& connection = *entry.connection;
    const KrJobMessage removed = noticeAbout(connection.id(), KrJobMessage::kConnectionRemoved);
    post(connection.secondName(), removed);
    post(connection.target(), removed);
    post(connection.id(), removed);
    // The socket closes with its last reference: here, or when a job that is serving it
    // lets it go.
}

void KrTransceiver::endTcpJobs() {
    // No new connection is served from here on; the jobs see their run flags cleared.
    const std::vector<kr::ConnectionTable::Entry> entries = connections_.close();
    tcpJobs_.stop();
    for (const auto& entry : entries) {
        tcpJobs_.forget(entry.socket->handle());
        entry.connection->detachSocket();
    }
    tcpJobs_.end();
}
