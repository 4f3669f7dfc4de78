#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kr {

class ConnectionTable;
class ServerRegistry;

// The hub's housekeeping: a thread that, once a period, expires the servers past their
// timeout and the connections past their deadline (idle, or past the deadline of the request
// they are reading), and sends on access-log lines held back. It is the only thread of an
// idle process that wakes up.
class Housekeeping {
public:
    // What housekeeping does with an expired connection that has no expiry callback: the
    // hub's removeConnection.
    using Removal = std::function<void(const std::string& connectionId)>;

    // Starts the thread; its first pass comes one period later.
    Housekeeping(std::chrono::milliseconds period, ServerRegistry& servers,
                 ConnectionTable& connections, Removal remove);
    // Stops.
    ~Housekeeping();
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

    // Ends the thread, after a pass under way, and waits for it. Idempotent.
    void stop();

private:
    void loop();
    void pass();
    void expireServers();
    void expireIdleConnections();

    const std::chrono::milliseconds period_;
    ServerRegistry& servers_;
    ConnectionTable& connections_;
    const Removal remove_;

    // Guards run_; nothing is locked under it (a pass runs without it).
    std::mutex mutex_;
    std::condition_variable wake_;
    bool run_ = true;
    std::thread thread_;  // last: it starts once everything it uses exists
};

}  // namespace kr
