#include "http/LayerSupport.h"

#include <exception>

#include "foundation/Diagnostics.h"
#include "foundation/Strings.h"
#include "http/KrXHeader.h"
#include "net/KrRequestHandler.h"
#include "net/KrTransceiver.h"
#include "net/KrTransceiverConnection.h"
#include "net/KrTransceiverServer.h"

namespace kr::layers {

NoticeParties noticeParties(const KrTransceiverServer& server, const std::string& connectionName,
                            const std::string& serverName) {
    NoticeParties parties;
    parties.hub = server.hub();
    if (parties.hub != nullptr) {
        parties.connection = parties.hub->findConnection(connectionName);
        parties.handler = parties.hub->findClient(serverName);
    }
    return parties;
}

bool handOver(KrRequestHandler& handler, const std::string& serverName,
              const std::shared_ptr<KrXHeader>& message) {
    try {
        return handler.handleMessage(serverName, message);
    } catch (const std::exception& failure) {
        // The failure may quote what the request held.
        errLine("request not answered: ", escapedText(failure.what()));
    } catch (...) {
        errLine("request not answered: the handler failed");
    }
    return true;
}

AnswerTarget answerTarget(KrTransceiverServer& server, const std::string& connectionName,
                          const std::string& replyName) {
    AnswerTarget target;
    server.restartTimeout();
    if (!server.timeoutArmed()) {
        server.unsubscribe(replyName);
        return target;
    }
    target.armed = true;
    if (KrTransceiver* hub = server.hub()) {
        target.connection = hub->findConnection(connectionName);
    }
    if (target.connection) {
        target.connection->subscribe(replyName);
    }
    return target;
}

}  // namespace kr::layers
