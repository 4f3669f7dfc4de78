#include "net/KrTransceiver.h"

#include <exception>
#include <utility>

#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "foundation/KrLogStreams.h"
#include "jobs/HandOverSpin.h"
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

platform::WakeEvent openWakeEvent() {
    auto event = platform::WakeEvent::open();
    if (!event.ok()) {
        throw KrException("could not make a wake event: " + platform::errorText(event.error), 3105,
                          "src");
    }
    return std::move(event.value);
}

// An event set that already holds the wake event of its job.
platform::EventPoll openEventSet(const platform::WakeEvent& wake) {
    auto set = platform::EventPoll::open();
    if (!set.ok()) {
        throw KrException("could not make an event set: " + platform::errorText(set.error), 3105,
                          "src");
    }
    const auto added = set.value.add(wake.fd(), platform::kPollReadable, 0,
                                     platform::EventPoll::Report::WhileReady);
    if (!added.ok()) {
        throw KrException("could not wait for a wake event: " + platform::errorText(added.error),
                          3105, "src");
    }
    return std::move(set.value);
}

// What the receive job reads a connection for.
constexpr short kReadable = platform::kPollReadable | platform::kPollUrgent;

// Events one wait of a TCP job takes at most; more are taken by the next wait.
constexpr std::size_t kEventsPerWait = 256;

// What a TCP job's set reports: while requests or answers follow each other closely, looked
// for without sleeping for a short while first, so that the next one soon after the last
// costs no wake-up (kr::HandOverSpin); then the job sleeps until something is ready. Work
// that comes another way (other()) ends the wait as well: before the job sleeps, it
// announces that in sleeping, looks at other() once more, and sleeps only when there is
// still none; whoever gives it such work looks at sleeping afterwards and signals the job's
// wake event when it is set. The number of reports (0 after a failed wait, and when other
// work ended it).
template <class Other>
std::size_t waitForEvents(const platform::EventPoll& set, std::vector<platform::PollEvent>& ready,
                          const char* job, kr::HandOverSpin& handOver, const Other& other,
                          std::atomic<bool>& sleeping) {
    std::size_t count = 0;
    const auto look = [&](std::chrono::milliseconds timeout) {
        const auto waited = set.wait(ready, timeout);
        if (!waited.ok()) {
            KrLogStreams::stream(1) << job << " wait failed: " << waited.error << '\n';
        }
        count = waited.ok() ? waited.value : 0;
        return count > 0;
    };
    if (handOver.spin([&] { return other() || look(std::chrono::milliseconds(0)); })) {
        return count;
    }
    sleeping.store(true);
    if (!other()) {
        (void)look(platform::kWaitForever);
    }
    sleeping.store(false);
    handOver.woke();
    return count;
}

std::size_t waitForEvents(const platform::EventPoll& set, std::vector<platform::PollEvent>& ready,
                          const char* job, kr::HandOverSpin& handOver) {
    std::atomic<bool> sleeping{false};
    return waitForEvents(
        set, ready, job, handOver, [] { return false; }, sleeping);
}

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

// Whether the connection is to close once drained and has nothing left to write. The mark is
// read first: whatever was queued before it was set is then seen as pending output. Read the
// other way round, a last answer queued between the two reads would go with the connection.
bool closingAndDrained(const KrTransceiverConnection& connection) {
    const bool closing = connection.closingWhenDrained();
    const bool pending = connection.pendingOutput();
    return closing && !pending;
}

// The values of a registry, to work on after its lock is released.
template <class Map>
std::vector<typename Map::mapped_type> valuesOf(const Map& map) {
    std::vector<typename Map::mapped_type> values;
    values.reserve(map.size());
    for (const auto& [key, value] : map) {
        values.push_back(value);
    }
    return values;
}

}  // namespace

KrTransceiver::KrTransceiver(KrRarediScheduler2& scheduler, Timing timing)
    : scheduler_(scheduler),
      timing_(timing),
      receiveWake_(openWakeEvent()),
      sendWake_(openWakeEvent()),
      receiveSet_(openEventSet(receiveWake_)),
      sendSet_(openEventSet(sendWake_)),
      housekeeping_([this] { housekeepingLoop(); }) {
    registrationName_ = registerJob("housekeeping");
}

KrTransceiver::~KrTransceiver() {
    std::vector<std::shared_ptr<KrTransceiverServer>> listeners;
    {
        std::lock_guard lock(registryMutex_);
        listeners = valuesOf(servers_);
    }
    // Stop accepting first, so that no connection arrives while the rest goes.
    for (const auto& server : listeners) {
        server->endTransport();
    }
    listeners.clear();
    {
        std::lock_guard lock(housekeepingMutex_);
        housekeepingRun_ = false;
    }
    housekeepingWake_.notify_all();
    housekeeping_.join();
    endTcpJobs();

    // Until its buffer job has ended, a server may still send, and so make a URL hook
    // service or a worker: take the servers out and end their jobs until no new one appears.
    std::vector<std::shared_ptr<KrTransceiverServer>> ended;
    for (;;) {
        std::vector<std::shared_ptr<KrTransceiverServer>> servers;
        {
            std::lock_guard lock(registryMutex_);
            servers = valuesOf(servers_);
            for (const auto& service : valuesOf(servicesById_)) {
                servers.push_back(service);
            }
            servers_.clear();
            servicesById_.clear();
            servicesByTarget_.clear();
        }
        if (servers.empty()) {
            break;
        }
        for (const auto& server : servers) {
            server->shutdown();
            ended.push_back(server);
        }
    }

    // Every job is over: what is left can go.
    std::map<std::string, KrTransceiverClientRecord> clients;
    std::unordered_map<std::string, std::shared_ptr<KrTransceiverConnection>> connections;
    {
        std::lock_guard lock(registryMutex_);
        clients.swap(clients_);
        connections.swap(connections_);
        connectionsChangedLocked();
        deadlineOf_.clear();
        deadlines_.clear();
    }
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
    if (!handler) {
        return handler;
    }
    bool added;
    {
        std::lock_guard lock(registryMutex_);
        const auto [record, isNew] = clients_.try_emplace(handler->id());
        added = isNew;
        if (added) {
            record->second.handler = handler;
        }
    }
    // Outside the registry lock: a handler sends under a lock of its own, and sending takes
    // the registry lock.
    if (added) {
        handler->attachSender(this);
    }
    return handler;
}

void KrTransceiver::removeClient(KrRequestHandler& handler) {
    KrTransceiverClientRecord record;
    {
        std::lock_guard lock(registryMutex_);
        const auto found = clients_.find(handler.id());
        if (found == clients_.end()) {
            return;
        }
        record = std::move(found->second);
        clients_.erase(found);
    }
    handler.detachSender(this);
}

namespace {

// Every change of a hub's connection registry takes a new number from here, so that a
// number seen once stands for one state of one registry.
std::atomic<std::uint64_t> connectionRegistryVersions{0};

}  // namespace

void KrTransceiver::connectionsChangedLocked() {
    connectionsVersion_.store(connectionRegistryVersions.fetch_add(1) + 1,
                              std::memory_order_release);
}

std::shared_ptr<KrTransceiverConnection> KrTransceiver::findConnection(
    const std::string& id) const {
    // A request's connection is looked up several times by the thread that serves it: each
    // thread keeps the last one it found, valid while the registry has not changed since.
    struct LastFound {
        const KrTransceiver* hub = nullptr;
        std::uint64_t version = 0;
        std::string id;
        std::weak_ptr<KrTransceiverConnection> connection;
    };
    thread_local LastFound last;
    if (last.hub == this && last.version == connectionsVersion_.load(std::memory_order_acquire) &&
        last.id == id) {
        if (auto connection = last.connection.lock()) {
            return connection;
        }
    }
    std::lock_guard lock(registryMutex_);
    const auto found = connections_.find(id);
    auto connection = found != connections_.end() ? found->second : nullptr;
    last.hub = this;
    last.version = connectionsVersion_.load(std::memory_order_relaxed);
    last.id = id;
    last.connection = connection;
    return connection;
}

std::shared_ptr<KrTransceiverServer> KrTransceiver::findServer(const std::string& id) const {
    std::lock_guard lock(registryMutex_);
    const auto found = servers_.find(id);
    return found != servers_.end() ? found->second : nullptr;
}

std::shared_ptr<KrRequestHandler> KrTransceiver::findClient(const std::string& id) const {
    std::lock_guard lock(registryMutex_);
    const auto found = clients_.find(id);
    return found != clients_.end() ? found->second.handler : nullptr;
}

std::size_t KrTransceiver::connectionCount() const {
    std::lock_guard lock(registryMutex_);
    return connections_.size();
}

KrTransceiver::JobId KrTransceiver::receiveJobId() const {
    std::lock_guard lock(socketMutex_);
    return receiveJob_;
}

KrTransceiver::JobId KrTransceiver::sendJobId() const {
    std::lock_guard lock(socketMutex_);
    return sendJob_;
}

void KrTransceiver::setServerLayer(std::uint32_t protocol, KrServerLayer layer) {
    std::lock_guard lock(registryMutex_);
    layers_[protocol] = std::move(layer);
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
    const ServiceKey key{handler.id(), message.addressText()};
    KrServerLayer layer;
    {
        std::lock_guard lock(registryMutex_);
        if (const auto found = servicesByTarget_.find(key); found != servicesByTarget_.end()) {
            return found->second;
        }
        const auto entry = layers_.find(message.protocol());
        if (!sendsRequests(message.protocol()) || entry == layers_.end()) {
            kr::outLine("unknown protocol!! (2)");
            return nullptr;
        }
        layer = entry->second;
    }
    // Built outside the registry lock, as every job: a new job holds its own delivery lock
    // while it is constructed, and a job may take the registry lock under that one. Sends
    // are serialised, so no other service for the key can appear meanwhile.
    auto service = kr::makeJob<KrURLHookService>(
        setupFor(handler, key.second, callback, layer.typeName, nullptr), layer.make);
    std::lock_guard lock(registryMutex_);
    servicesByTarget_[key] = service;
    servicesById_[service->id()] = service;
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
    KrServerLayer layer;
    {
        std::lock_guard lock(registryMutex_);
        const auto record = clients_.find(handler->id());
        if (record == clients_.end() || record->second.descriptions.contains(descriptionId)) {
            return descriptionId;
        }
        const auto entry = layers_.find(description->serverProtocol());
        if (entry == layers_.end() || !entry->second.make) {
            kr::outLine("unknown protocol!! (3)");
            return descriptionId;
        }
        layer = entry->second;
        // Taken now, so that a second call for the description builds nothing.
        record->second.descriptions[descriptionId] = description;
    }
    // Built and started outside the registry lock: a new job holds its own delivery lock
    // while it is constructed, and a client connects at once, which takes the socket lock.
    const std::shared_ptr<KrTransceiverServerL0> server =
        layer.make(setupFor(*handler, descriptionId, callback, layer.typeName, description));
    if (!server) {
        std::lock_guard lock(registryMutex_);
        if (const auto record = clients_.find(handler->id()); record != clients_.end()) {
            record->second.descriptions.erase(descriptionId);
        }
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
    std::lock_guard lock(registryMutex_);
    servers_[server->id()] = std::move(server);
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

// ---- connections and the TCP jobs -----------------------------------------------------

void KrTransceiver::addConnection(std::shared_ptr<KrSocketIPvx> socket,
                                  std::shared_ptr<KrTransceiverConnection> connection) {
    if (!socket || !connection) {
        throw KrException("socket and connection must be defined", 3106, "src");
    }
    Token token;
    {
        std::scoped_lock lock(socketMutex_, registryMutex_);
        if (tcpStopped_ || tokens_.contains(connection->id())) {
            return;
        }
        token = ++lastToken_;
        {
            std::lock_guard table(socketTableMutex_);
            tokens_[connection->id()] = token;
            sockets_[token] = SocketEntry{socket, connection};
        }
        connections_[connection->id()] = connection;
        connectionsChangedLocked();
        fileDeadlineLocked(*connection);
        startTcpJobsLocked();
    }
    // In the send set (waiting for nothing yet) before the connection gets its socket, so
    // that output queued before is written or left to the send job; in the receive set last,
    // once the connection can answer.
    const int fd = socket->handle();
    const bool sendable =
        fd >= 0 && sendSet_.add(fd, 0, token, platform::EventPoll::Report::Once).ok();
    if (sendable) {
        connection->attachSocket(socket, token);
    }
    if (!sendable ||
        !receiveSet_.add(fd, kReadable, token, platform::EventPoll::Report::WhileReady).ok()) {
        removeConnection(connection->id());
    }
}

void KrTransceiver::startTcpJobsLocked() {
    const auto submit = [this](std::string name, std::atomic<bool>& run,
                               const platform::WakeEvent& wake, void (KrTransceiver::*loop)()) {
        run = true;
        return kr::submitLoopJob(
            scheduler_, std::move(name), [this, loop] { (this->*loop)(); },
            [&run, &wake] {
                run = false;
                wake.signal();
            });
    };
    if (receiveJob_ == 0) {
        receiveJob_ = submit("KrTransceiver_tcp_rcv" + id(), receiveRun_, receiveWake_,
                             &KrTransceiver::receiveLoop);
    }
    if (sendJob_ == 0) {
        sendJob_ =
            submit("KrTransceiver_tcp_snd" + id(), sendRun_, sendWake_, &KrTransceiver::sendLoop);
    }
}

void KrTransceiver::removeConnection(const std::string& connectionId) {
    SocketEntry entry;
    {
        std::scoped_lock lock(socketMutex_, registryMutex_);
        const auto token = tokens_.find(connectionId);
        if (token == tokens_.end()) {
            return;
        }
        {
            std::lock_guard table(socketTableMutex_);
            const auto found = sockets_.find(token->second);
            entry = std::move(found->second);
            sockets_.erase(found);
            tokens_.erase(token);
        }
        connections_.erase(connectionId);
        connectionsChangedLocked();
        forgetDeadlineLocked(connectionId);
    }
    // Out of the sets while the socket is still open, so that its descriptor cannot be
    // taken by a new socket first; the connection then writes nothing more to it.
    const int fd = entry.socket->handle();
    if (fd >= 0) {
        (void)receiveSet_.remove(fd);
        (void)sendSet_.remove(fd);
    }
    entry.connection->detachSocket();
    const KrTransceiverConnection& connection = *entry.connection;
    const KrJobMessage removed = noticeAbout(connection.id(), KrJobMessage::kConnectionRemoved);
    post(connection.secondName(), removed);
    post(connection.target(), removed);
    post(connection.id(), removed);
    // The socket closes with its last reference: here, or when a job that is serving it
    // lets it go.
}

void KrTransceiver::wakeSender() { sendWake_.signal(); }

void KrTransceiver::writeWhenReady(int socket, Token token) {
    (void)sendSet_.change(socket, platform::kPollWritable, token,
                          platform::EventPoll::Report::Once);
}

void KrTransceiver::writeSoon(Token token) {
    {
        std::lock_guard lock(writeSoonMutex_);
        writeSoon_.push_back(token);
        writeSoonQueued_.store(true);
    }
    // Read after the store above: the send job either sees the token before it sleeps, or
    // has announced its sleep by now (see waitForEvents).
    if (sendJobSleeps_.load()) {
        sendWake_.signal();
    }
}

void KrTransceiver::resumeReading(Token token) {
    {
        std::lock_guard lock(socketMutex_);
        resumed_.push_back(token);
    }
    receiveWake_.signal();
}

void KrTransceiver::stopTcpJobs() {
    std::unordered_map<Token, SocketEntry> sockets;
    {
        std::lock_guard lock(socketMutex_);
        tcpStopped_ = true;
        receiveRun_ = false;
        sendRun_ = false;
        std::lock_guard table(socketTableMutex_);
        sockets.swap(sockets_);
        tokens_.clear();
    }
    for (const auto& [token, entry] : sockets) {
        if (const int fd = entry.socket->handle(); fd >= 0) {
            (void)receiveSet_.remove(fd);
            (void)sendSet_.remove(fd);
        }
        entry.connection->detachSocket();
    }
    receiveWake_.signal();
    sendWake_.signal();
}

void KrTransceiver::endTcpJobs() {
    stopTcpJobs();
    JobId receiveJob;
    JobId sendJob;
    {
        std::lock_guard lock(socketMutex_);
        receiveJob = std::exchange(receiveJob_, 0);
        sendJob = std::exchange(sendJob_, 0);
    }
    kr::waitForJob(scheduler_, receiveJob);
    kr::waitForJob(scheduler_, sendJob);
}

KrTransceiver::SocketEntry KrTransceiver::entryFor(Token token) const {
    std::shared_lock lock(socketTableMutex_);
    const auto found = sockets_.find(token);
    return found != sockets_.end() ? found->second : SocketEntry{};
}

void KrTransceiver::receiveLoop() {
    std::vector<platform::PollEvent> ready(kEventsPerWait);
    std::vector<std::string> dead;
    kr::HandOverSpin handOver(&kr::HandOverBacklog::process());
    while (receiveRun_) {
        const std::size_t count = waitForEvents(receiveSet_, ready, "receive", handOver);
        dead.clear();
        for (std::size_t i = 0; i < count; ++i) {
            if (ready[i].token == kWakeToken) {
                // Drained first: a resume filed meanwhile signals it again.
                receiveWake_.drain();
                resumePausedReading();
                continue;
            }
            const SocketEntry entry = entryFor(ready[i].token);
            if (entry.connection && !serveInput(entry, ready[i].ready)) {
                dead.push_back(entry.connection->id());
            }
        }
        for (const std::string& id : dead) {
            removeConnection(id);
        }
    }
}

bool KrTransceiver::serveInput(const SocketEntry& entry, short ready) {
    KrSocketIPvx& socket = *entry.socket;
    KrTransceiverConnection& connection = *entry.connection;
    if (connection.wantsInput()) {
        if ((ready & platform::kPollUrgent) != 0) {
            char urgent;
            std::size_t received = 0;
            (void)socket.receiveUrgent(&urgent, 1, received);
            if (received != 1) {
                return false;
            }
        }
        if ((ready & (platform::kPollReadable | platform::kPollError | platform::kPollHangUp)) !=
                0 &&
            connection.readFromSocket(socket) < 0) {
            return false;
        }
        if (connection.wantsInput()) {
            return true;
        }
    }
    // Over its limits, or at the end of the peer's stream: out of the set until the
    // connection resumes, so that a socket that stays readable does not keep the job awake.
    (void)receiveSet_.remove(socket.handle());
    return true;
}

void KrTransceiver::resumePausedReading() {
    std::vector<Token> resumed;
    {
        std::lock_guard lock(socketMutex_);
        resumed.swap(resumed_);
    }
    for (const Token token : resumed) {
        const SocketEntry entry = entryFor(token);
        // A connection that paused again stays out; it asks once more when it resumes.
        if (entry.connection && entry.connection->wantsInput()) {
            (void)receiveSet_.add(entry.socket->handle(), kReadable, token,
                                  platform::EventPoll::Report::WhileReady);
        }
    }
}

void KrTransceiver::sendLoop() {
    std::vector<platform::PollEvent> ready(kEventsPerWait);
    std::vector<Token> soon;
    std::vector<std::string> done;
    const auto write = [&](Token token) {
        const SocketEntry entry = entryFor(token);
        if (!entry.connection) {
            return;
        }
        // Writes what the socket takes, and asks for this job again while output remains.
        const int code = entry.connection->writeToSocket(*entry.socket);
        if (code == KrSocketIPvx::kSendFailed || closingAndDrained(*entry.connection)) {
            done.push_back(entry.connection->id());
        }
    };
    // Not held back by a backlog at the buffer jobs: the wake-up of a sleeping send job falls on
    // the buffer job that hands it an answer, the busy stage.
    kr::HandOverSpin handOver;
    while (sendRun_) {
        const std::size_t count = waitForEvents(
            sendSet_, ready, "send", handOver, [this] { return writeSoonQueued_.load(); },
            sendJobSleeps_);
        done.clear();
        {
            std::lock_guard lock(writeSoonMutex_);
            soon.swap(writeSoon_);
            writeSoonQueued_.store(false);
        }
        for (const Token token : soon) {
            write(token);
        }
        soon.clear();
        for (std::size_t i = 0; i < count; ++i) {
            if (ready[i].token == kWakeToken) {
                sendWake_.drain();
                continue;
            }
            write(ready[i].token);
        }
        for (const std::string& id : done) {
            removeConnection(id);
        }
    }
}

// ---- housekeeping ---------------------------------------------------------------------

void KrTransceiver::fileDeadlineLocked(const KrTransceiverConnection& connection) {
    forgetDeadlineLocked(connection.id());
    deadlineOf_[connection.id()] = deadlines_.emplace(connection.deadline(), connection.id());
}

void KrTransceiver::forgetDeadlineLocked(const std::string& connectionId) {
    if (const auto filed = deadlineOf_.find(connectionId); filed != deadlineOf_.end()) {
        deadlines_.erase(filed->second);
        deadlineOf_.erase(filed);
    }
}

void KrTransceiver::housekeepingLoop() {
    std::unique_lock lock(housekeepingMutex_);
    while (housekeepingRun_) {
        if (housekeepingWake_.wait_for(lock, kHousekeepingPeriod,
                                       [this] { return !housekeepingRun_; })) {
            return;
        }
        lock.unlock();
        try {
            housekeepingPass();
        } catch (const std::exception& e) {
            KrLogStreams::stream(1) << "housekeeping pass failed: " << e.what() << '\n';
        }
        lock.lock();
    }
}

void KrTransceiver::housekeepingPass() {
    std::vector<std::shared_ptr<KrTransceiverServer>> servers;
    {
        std::lock_guard lock(registryMutex_);
        servers = valuesOf(servers_);
    }
    for (const auto& server : servers) {
        if (!server->checkTimeout()) {
            continue;
        }
        post(server->linkName(), noticeAbout(server->id(), KrJobMessage::kExpired));
        post(server->id(), noticeAbout(server->id(), KrJobMessage::kServerExpired));
        server->shutdown();
        std::lock_guard lock(registryMutex_);
        servers_.erase(server->id());
    }
    servers.clear();
    expireIdleConnections();
    // Access-log lines of a server whose buffer job never ran out of work wait no longer.
    kr::flushOutLines();
}

void KrTransceiver::expireIdleConnections() {
    // Only connections filed under a deadline that has passed can have expired; the others
    // cost the pass nothing, however many they are.
    const std::int64_t now = platform::steadyNanoseconds();
    std::vector<std::shared_ptr<KrTransceiverConnection>> due;
    {
        std::lock_guard lock(registryMutex_);
        for (auto filed = deadlines_.begin(); filed != deadlines_.end() && filed->first <= now;
             ++filed) {
            if (const auto found = connections_.find(filed->second); found != connections_.end()) {
                due.push_back(found->second);
            }
        }
    }
    for (const auto& connection : due) {
        if (!connection->checkTimeout()) {
            std::lock_guard lock(registryMutex_);
            if (deadlineOf_.contains(connection->id())) {
                fileDeadlineLocked(*connection);  // active since: filed under its new deadline
            }
            continue;
        }
        post(connection->target(), noticeAbout(connection->id(), KrJobMessage::kExpired));
        {
            std::lock_guard lock(registryMutex_);
            connections_.erase(connection->id());
            connectionsChangedLocked();
            forgetDeadlineLocked(connection->id());
        }
        try {
            connection->expire();
        } catch (const std::exception&) {
            // Without an expiry callback the connection would stay served for ever.
            removeConnection(connection->id());
        }
    }
}
