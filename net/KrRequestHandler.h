#pragma once

#include <memory>
#include <string>

#include "jobs/KrJob.h"

class KrTransceiver;
class KrTransceiverMessage;

// The request handler of a server, as the hub and the server layers see it. The hub keeps
// one record per handler (KrTransceiver::addClient) and builds servers for it; the layers
// find it by name through the hub and hand it every complete message they read. The
// dispatch of the protocol layers implements it (KrTransceiverClient).
class KrRequestHandler : public KrJob {
public:
    // Attaches the hub through which answers go out; only when none is attached (true when
    // it was attached).
    virtual bool attachSender(KrTransceiver* hub) = 0;
    // Detaches the hub when it is the attached one.
    virtual void detachSender(KrTransceiver* hub) = 0;

    // A complete message that a server layer read. serverName is the id of the server's
    // description, the name the handler was given by createServer. True when it took the
    // message.
    virtual bool handleMessage(const std::string& serverName,
                               const std::shared_ptr<KrTransceiverMessage>& message) = 0;

    // Whether handleMessage would answer this complete message at once: from memory or a
    // file, never waiting on a program, the application or another party. A layer may then
    // hand it over on the thread that reads every connection; any other message it hands
    // over on its server's own job. The base promises nothing.
    virtual bool answersAtOnce(const KrTransceiverMessage& /*message*/) const { return false; }

    // Asked when a message's head is complete; false refuses the message, and the layer
    // closes the connection without an answer.
    virtual bool acceptHead(KrTransceiverMessage& /*message*/) { return true; }

protected:
    KrRequestHandler() = default;
};
