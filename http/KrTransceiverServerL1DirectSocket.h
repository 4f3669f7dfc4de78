#pragma once

#include <memory>
#include <string>

#include "net/KrTransceiverServerL0Socket.h"

// The raw socket layer: every buffer a connection receives is one message for the request
// handler, without any parsing; an answer's body goes back to the peer as it stands, without
// a head. Each answer sent is reported as event 6.
class KrTransceiverServerL1DirectSocket : public KrTransceiverServerL0Socket {
public:
    explicit KrTransceiverServerL1DirectSocket(const KrServerSetup& setup);
    ~KrTransceiverServerL1DirectSocket() override;

    void receive(const std::string& connectionName, const std::string& serverName) override;
    bool handle(const std::string& connectionName,
                const std::shared_ptr<KrTransceiverMessage>& message) override;
    // Queues the notice while holding the delivery lock.
    void bufferIn(const std::string& connectionName) override;
};
