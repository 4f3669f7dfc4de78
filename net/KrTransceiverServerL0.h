#pragma once

#include <string>
#include <string_view>

#include "net/KrTransceiverServer.h"

// A server with a transport: it reacts to the registry's notices about its connections and
// can be started. The protocol layers derive from its TCP form, KrTransceiverServerL0Socket.
class KrTransceiverServerL0 : public KrTransceiverServer {
public:
    // Type 8 (data arrived): the connection's id goes to bufferIn. Type 2 (a connection was
    // removed): a client-role server disarms its timeout. Always true.
    bool onMessage(const KrJobMessage& message) override;

    // Starts the transport: listens (server role) or connects (client role).
    virtual bool start() = 0;

    // The connection that a client-role server made; "" before or without one.
    virtual std::string connectionName() const { return ""; }

protected:
    using KrTransceiverServer::KrTransceiverServer;
};
