#include "http/KrTransceiverServerL1DirectSocket.h"

#include <chrono>
#include <exception>
#include <mutex>

#include "foundation/Diagnostics.h"
#include "foundation/KrStringBuf.h"
#include "http/KrXHeader.h"
#include "net/KrProtocol.h"
#include "net/KrRequestHandler.h"
#include "net/KrTransceiver.h"
#include "net/KrTransceiverConnection.h"

KrTransceiverServerL1DirectSocket::KrTransceiverServerL1DirectSocket(const KrServerSetup& setup)
    : KrTransceiverServerL0Socket(setup) {}

KrTransceiverServerL1DirectSocket::~KrTransceiverServerL1DirectSocket() {
    // The buffer job calls receive: it must end before this layer goes.
    shutdown();
}

void KrTransceiverServerL1DirectSocket::bufferIn(const std::string& connectionName) {
    std::lock_guard lock(deliveryLock());
    pushBuffer(connectionName, name());
}

void KrTransceiverServerL1DirectSocket::receive(const std::string& connectionName,
                                                const std::string& serverName) {
    KrTransceiver* owner = hub();
    if (owner == nullptr) {
        return;
    }
    const auto connection = owner->findConnection(connectionName);
    const auto handler = owner->findClient(serverName);
    if (!connection || !handler) {
        return;
    }
    auto message = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, kr::kProtocolSocket);
    message->setMessageKind(serverRole() ? KrXHeader::kRequest : KrXHeader::kAnswer);
    connection->takeInput(message->body());
    message->appendRoute(connectionName);
    message->appendRoute(id());
    try {
        handler->handleMessage(secondText(), message);
    } catch (const std::exception& failure) {
        kr::errLine("raw data not handled: ", failure.what());
    } catch (...) {
        kr::errLine("raw data not handled: the handler failed");
    }
}

bool KrTransceiverServerL1DirectSocket::handle(
    const std::string& connectionName, const std::shared_ptr<KrTransceiverMessage>& message) {
    const auto raw = std::dynamic_pointer_cast<KrXHeader>(message);
    if (!raw) {
        return KrTransceiverServerL0Socket::handle(connectionName, message);
    }
    const std::string replyName = raw->connectionName();
    restartTimeout();
    if (!timeoutArmed()) {
        unsubscribe(replyName);
        return false;
    }
    KrTransceiver* owner = hub();
    const auto connection = owner != nullptr ? owner->findConnection(connectionName) : nullptr;
    std::uint64_t bytes = 0;
    if (connection) {
        connection->subscribe(replyName);
        auto body = raw->takeBody();
        if (body) {
            bytes = static_cast<std::uint64_t>(body->unreadSize());
            connection->queueOutput(body);
        }
    }
    const auto used = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now() - raw->timeStamp());
    KrServerCallback_t event;
    event.state = KrServerCallback_t::kRawDataSent;
    event.values["ID"] = name();
    event.values["time_used"] = std::to_string(static_cast<double>(used.count()));
    event.values["status_code"] = std::to_string(raw->status());
    event.values["bytes"] = std::to_string(bytes);
    report(event);
    unsubscribe(replyName);
    return true;
}
