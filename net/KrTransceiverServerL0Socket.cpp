#include "net/KrTransceiverServerL0Socket.h"

#include <chrono>
#include <exception>
#include <string>
#include <utility>

#include "foundation/KrLogStreams.h"
#include "net/KrProtocol.h"
#include "net/KrServerDescription.h"
#include "net/KrSocketIPvx.h"
#include "net/KrTransceiver.h"
#include "platform/Socket.h"

namespace {

// After an accept that found a peer waiting but could not take it (out of descriptors,
// say), the listener pauses this long instead of spinning on the ready socket.
constexpr std::chrono::milliseconds kAcceptFailurePause{100};

// Without a wake event the listener looks at its run flag this often.
constexpr int kAcceptTimeoutWithoutWakeEvent = 500;  // ms

}  // namespace

KrTransceiverServerL0Socket::KrTransceiverServerL0Socket(const KrServerSetup& setup,
                                                         std::string_view registrationPrefix)
    : KrTransceiverServerL0(setup, registrationPrefix) {
    auto wake = platform::WakeEvent::open();
    if (wake.ok()) {
        wake_ = std::move(wake.value);
    }
}

KrTransceiverServerL0Socket::~KrTransceiverServerL0Socket() { endTransport(); }

std::string KrTransceiverServerL0Socket::setting(const std::string& key,
                                                 const std::string& fallback) const {
    return description() ? description()->setting(key, fallback) : fallback;
}

bool KrTransceiverServerL0Socket::start() {
    if (!serverRole()) {
        return connectOut();
    }
    std::lock_guard lock(transportMutex_);
    if (listenerJob_ != 0) {
        return true;
    }
    // The stop callback may run on the thread that destroys the scheduler while this server
    // is being destroyed on another, so it calls stop without reading the virtual table.
    listenerJob_ = kr::submitLoopJob(
        scheduler(), "KrTransceiverServerL0" + typeName(), [this] { listenerLoop(); },
        [this] { KrTransceiverServerL0Socket::stop(); });
    return true;
}

void KrTransceiverServerL0Socket::stop() {
    run_ = false;
    wake_.signal();
}

void KrTransceiverServerL0Socket::endTransport() {
    stop();
    KrRarediScheduler2::JobId job;
    {
        std::lock_guard lock(transportMutex_);
        job = listenerJob_;
    }
    kr::waitForJob(scheduler(), job);
}

KrRarediScheduler2::JobId KrTransceiverServerL0Socket::listenerJobId() const {
    std::lock_guard lock(transportMutex_);
    return listenerJob_;
}

std::string KrTransceiverServerL0Socket::connectionName() const {
    std::lock_guard lock(transportMutex_);
    return connectionName_;
}

bool KrTransceiverServerL0Socket::pauseUnlessStopped(std::chrono::milliseconds pause) const {
    if (!run_) {
        return false;
    }
    if (wake_.valid()) {
        (void)platform::pollOne(wake_.fd(), platform::kPollReadable, pause);
    } else {
        std::this_thread::sleep_for(pause);
    }
    return run_;
}

void KrTransceiverServerL0Socket::listenerLoop() {
    // A text that does not convert, or a number beyond 65535, ends the job here.
    const std::uint16_t port = kr::tcpPortFromText(setting("tcp_port", kDefaultPort));
    const std::string address = setting("tcp_address", kDefaultAddress);

    KrServerCallback_t listening;
    listening.values["address"] = address;
    listening.values["ID"] = id();
    listening.values["protocolstring"] =
        kr::protocolSchemeName(description() ? description()->serverProtocol() : 0);

    auto listener = std::make_unique<KrSocketIPvx>();
    std::uint16_t boundPort = port;
    const int backlog = platform::maxListenBacklog();
    while (run_ && listener->listen(address, boundPort, backlog) != KrSocketIPvx::kSuccess) {
        KrServerCallback_t failed = listening;
        failed.state = KrServerCallback_t::kListenFailed;
        report(failed);
        const KrTransceiver* owner = hub();
        if (!pauseUnlessStopped(owner != nullptr ? owner->timing().listenRetryPause
                                                 : KrTransceiver::Timing{}.listenRetryPause)) {
            break;
        }
        listener = std::make_unique<KrSocketIPvx>();
        boundPort = port;
    }
    if (!run_ || !listener->listening()) {
        return;
    }
    listening.state = KrServerCallback_t::kListening;
    listening.values["port"] = std::to_string(boundPort);
    report(listening);

    const int timeout = wake_.valid() ? -1 : kAcceptTimeoutWithoutWakeEvent;
    while (run_) {
        auto accepted = std::make_shared<KrSocketIPvx>();
        bool taken = false;
        const auto noteTaken = [&taken](const KrHostInfo_t&) { return taken = true; };
        if (listener->accept(*accepted, timeout, noteTaken, wake_.fd()) < 0) {
            if (listener->lastWait() && !taken) {
                (void)pauseUnlessStopped(kAcceptFailurePause);
            }
            continue;
        }
        KrServerDescription::Attributes attributes{
            {"type", typeName()},
            {"hoststring", accepted->peerHost()},
            {"port", accepted->peerPort()},
        };
        if (description() && !description()->acceptsConnection(attributes)) {
            continue;  // the socket closes with accepted
        }
        KrServerCallback_t connected;
        connected.state = KrServerCallback_t::kConnectionAccepted;
        connected.values = {
            {"remoteaddress", accepted->peerHost()},
            {"remoteport", accepted->peerPort()},
            {"ID", id()},
            {"localaddress", listening.values["address"]},
            {"localport", listening.values["port"]},
            {"localprotocolstring", listening.values["protocolstring"]},
        };
        KrTransceiver* owner = hub();
        if (owner == nullptr) {
            continue;
        }
        owner->addConnection(accepted, makeConnection(owner, id(), connected.values));
        report(connected);
    }
}

bool KrTransceiverServerL0Socket::connectOut() {
    KrTransceiver* owner = hub();
    if (owner == nullptr) {
        return false;
    }
    const std::string host = setting("hoststring", "");
    const std::string portText = setting("port", "");
    std::uint16_t port;
    try {
        port = kr::tcpPortFromText(portText);
    } catch (const std::exception&) {
        return false;
    }
    auto socket = std::make_shared<KrSocketIPvx>();
    if (socket->connect(host, port) != KrSocketIPvx::kSuccess) {
        return false;
    }
    auto connection = makeConnection(
        owner, id(), {{"type", typeName()}, {"hoststring", host}, {"port", portText}});
    {
        std::lock_guard lock(transportMutex_);
        connectionName_ = connection->id();
    }
    connection->markOutgoing();
    return owner->addConnection(std::move(socket), std::move(connection));
}

std::shared_ptr<KrTransceiverConnection> KrTransceiverServerL0Socket::makeConnection(
    KrTransceiver* hub, const std::string& serverId,
    KrTransceiverConnection::PeerMap peerData) const {
    const auto removeFromHub = [](KrTransceiver* owner, KrTransceiverConnection& connection) {
        if (owner != nullptr) {
            owner->removeConnection(connection.id());
        }
    };
    return kr::makeJob<KrTransceiverConnection>(
        hub, serverId, linkName(), std::move(peerData), removeFromHub,
        hub != nullptr ? hub->timing().connectionTimeout : KrJobWithTimeout::kConnectionTimeout);
}
