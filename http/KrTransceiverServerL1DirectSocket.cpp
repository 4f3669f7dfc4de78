#include "http/KrTransceiverServerL1DirectSocket.h"

#include <chrono>
#include <mutex>

#include "foundation/KrStringBuf.h"
#include "http/KrXHeader.h"
#include "http/LayerSupport.h"
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
    const auto parties = kr::layers::noticeParties(*this, connectionName, serverName);
    if (!parties) {
        return;
    }
    auto message = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, kr::kProtocolSocket);
    message->setMessageKind(serverRole() ? KrXHeader::kRequest : KrXHeader::kAnswer);
    parties.connection->takeInput(message->body());
    message->appendRoute(connectionName);
    message->appendRoute(id());
    kr::layers::handOver(*parties.handler, secondText(), message);
}

bool KrTransceiverServerL1DirectSocket::handle(
    const std::string& connectionName, const std::shared_ptr<KrTransceiverMessage>& message) {
    const auto raw = std::dynamic_pointer_cast<KrXHeader>(message);
    if (!raw) {
        return KrTransceiverServerL0Socket::handle(connectionName, message);
    }
    const std::string replyName = raw->connectionName();
    const auto target = kr::layers::answerTarget(*this, connectionName, replyName);
    if (!target.armed) {
        return false;
    }
    std::uint64_t bytes = 0;
    if (auto body = target.connection ? raw->takeBody() : nullptr) {
        bytes = static_cast<std::uint64_t>(body->unreadSize());
        target.connection->queueOutput(body);
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
