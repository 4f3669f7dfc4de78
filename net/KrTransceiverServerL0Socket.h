#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/KrTransceiverConnection.h"
#include "net/KrTransceiverServerL0.h"
#include "platform/Poll.h"

class KrSocketIPvx;

// The TCP transport of a server. In the server role it runs the listener loop on a
// scheduler job ("KrTransceiverServerL0" + the type name): bind the configured address and
// port, retrying after a pause while that fails (state 3), report the bound port (state 4),
// then accept connections and hand each to the hub (state 5). In the client role it connects
// out. The protocol layers derive from it and fill in receive, handle and bufferIn.
//
// The listener waits for peers without a time limit; stop() ends the wait at once through a
// wake event. It listens with the system's largest backlog, so that a burst of connects
// waits for the accept instead of having its SYNs dropped.
class KrTransceiverServerL0Socket : public KrTransceiverServerL0 {
public:
    static constexpr const char* kDefaultPort = "2098";
    static constexpr const char* kDefaultAddress = "127.0.0.1";

    ~KrTransceiverServerL0Socket() override;

    // Server role: submits the listener job (true). Client role: connects to the
    // description's "hoststring" and "port" and hands the connection to the hub; false when
    // that fails, or the hub has no room for it.
    bool start() override;

    // Clears the run flag and wakes the listener, which then ends.
    void stop() override;

    // Stops the listener and waits until its job has ended.
    void endTransport() override;

    // A connection for a socket of this server: its target is serverId, its second name
    // this server's link name, its peer map peerData; it expires by being removed from the
    // hub.
    std::shared_ptr<KrTransceiverConnection> makeConnection(
        KrTransceiver* hub, const std::string& serverId,
        KrTransceiverConnection::PeerMap peerData) const;

    std::string connectionName() const override;
    // The listener job's id; 0 until started.
    KrRarediScheduler2::JobId listenerJobId() const;

protected:
    explicit KrTransceiverServerL0Socket(const KrServerSetup& setup,
                                         std::string_view registrationPrefix = "server_");

private:
    void listenerLoop();
    // Waits up to pause, or until stopped; false when stopped.
    bool pauseUnlessStopped(std::chrono::milliseconds pause) const;
    bool connectOut();
    std::string setting(const std::string& key, const std::string& fallback) const;

    std::atomic<bool> run_{true};
    platform::WakeEvent wake_;  // signalled by stop()

    // Guards the listener job's id and the client connection's name; nothing is locked
    // under it but the scheduler's lock.
    mutable std::mutex transportMutex_;
    KrRarediScheduler2::JobId listenerJob_ = 0;
    std::string connectionName_;
};
