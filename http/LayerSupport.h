#pragma once

#include <memory>
#include <string>

class KrRequestHandler;
class KrTransceiver;
class KrTransceiverConnection;
class KrTransceiverServer;
class KrXHeader;

// Steps that the server layers of this folder take alike.
namespace kr::layers {

// The hub, connection and request handler that a buffer notice names.
struct NoticeParties {
    KrTransceiver* hub = nullptr;
    std::shared_ptr<KrTransceiverConnection> connection;
    std::shared_ptr<KrRequestHandler> handler;

    // False when the server has no hub, or the connection or the handler is gone.
    explicit operator bool() const { return connection && handler; }
};
NoticeParties noticeParties(const KrTransceiverServer& server, const std::string& connectionName,
                            const std::string& serverName);

// Hands a message to the request handler; true when it took it. An exception from the
// handler is caught and printed, and the message counts as taken: nobody answers it.
bool handOver(KrRequestHandler& handler, const std::string& serverName,
              const std::shared_ptr<KrXHeader>& message);

// Where an answer goes: the server's timeout is restarted first. A server whose timeout is
// then disarmed writes nothing (armed is false) and has left the reply name already. The
// connection, when it still exists, has subscribed to the reply name.
struct AnswerTarget {
    bool armed = false;
    std::shared_ptr<KrTransceiverConnection> connection;
};
AnswerTarget answerTarget(KrTransceiverServer& server, const std::string& connectionName,
                          const std::string& replyName);

}  // namespace kr::layers
