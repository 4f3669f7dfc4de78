#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/KrRarediScheduler2.h"
#include "net/ConnectionTable.h"
#include "platform/EventPoll.h"
#include "platform/Poll.h"

namespace kr {

// The hub's receive job and send job: two scheduler jobs that serve every connection of its
// table, each blocked in an event set (epoll) of its own, to which connections are added and
// from which they are removed one at a time, so that a wake costs what is ready, whatever
// the number of connections. The receive set holds every connection that may read
// (level-triggered); the send set holds every connection, reported once each time it asks
// for the send job (a connection writes what it can itself, see KrTransceiverConnection).
// Each set also holds its job's wake event.
//
// A connection that breaks, or that is to close once drained and has drained, is handed to
// the removal the jobs were given (the hub's removeConnection).
class TcpJobs {
public:
    using JobId = KrRarediScheduler2::JobId;
    using Token = ConnectionTable::Token;
    using Removal = std::function<void(const std::string& connectionId)>;

    // Throws KrException when the wake events or the event sets cannot be made.
    TcpJobs(KrRarediScheduler2& scheduler, const ConnectionTable& connections, Removal remove);
    // Ends the jobs (see end).
    ~TcpJobs();
    TcpJobs(const TcpJobs&) = delete;
    TcpJobs& operator=(const TcpJobs&) = delete;

    // Starts both jobs, named after the hub's id, unless they run or have been stopped.
    void start(const std::string& hubId);

    // The socket joins the send set, waiting for nothing yet; false when it cannot.
    bool addToSendSet(int socket, Token token) const;
    // The socket joins the receive set, read while it is readable; false when it cannot.
    bool addToReceiveSet(int socket, Token token) const;
    // The socket leaves both sets.
    void forget(int socket) const;

    // The send job writes the connection of this socket and token when the socket has room
    // (once; it asks again while output remains).
    void writeWhenReady(int socket, Token token) const;
    // The send job writes the connection of this token as soon as it can, without waiting
    // for its socket to report room: for output that was not tried yet. It costs the caller
    // no change of the send set, and a wake-up only when the send job sleeps.
    void writeSoon(Token token);
    // The connection of this token, whose reading paused at its limits, may be read again.
    void resumeReading(Token token);

    // Ends both loops and their waits; no job starts any more.
    void stop();
    // Stops and waits until both jobs have ended. Idempotent.
    void end();

    JobId receiveJobId() const;
    JobId sendJobId() const;

private:
    void receiveLoop();
    void sendLoop();
    // Reads a connection the receive set reported; false when it is broken. With serveHere,
    // the notice of its new bytes is served on this job when its server allows that (see
    // kr::ServeHere), and served is set.
    bool serveInput(const ConnectionTable::Entry& entry, short ready, bool serveHere,
                    bool& served);
    // Puts the connections whose reading may resume back into the receive set.
    void resumePausedReading();

    KrRarediScheduler2& scheduler_;
    const ConnectionTable& connections_;
    const Removal remove_;

    // Guards writeSoon_, resumed_, stopped_ and the job ids. The scheduler's lock is taken
    // under it (to submit the jobs), nothing else. A connection takes it under its output
    // lock (writeSoon).
    mutable std::mutex mutex_;
    std::vector<Token> writeSoon_;  // connections the send job writes without waiting
    std::vector<Token> resumed_;    // paused connections that may read again
    bool stopped_ = false;          // no job starts any more
    JobId receiveJob_ = 0;
    JobId sendJob_ = 0;

    // Read by the loops without the lock.
    std::atomic<bool> receiveRun_{false};
    std::atomic<bool> sendRun_{false};
    std::atomic<bool> writeSoonQueued_{false};  // writeSoon_ holds a token; written under the lock
    std::atomic<bool> sendJobSleeps_{false};    // the send job sleeps, or is about to

    platform::WakeEvent receiveWake_;
    platform::WakeEvent sendWake_;
    platform::EventPoll receiveSet_;
    platform::EventPoll sendSet_;
};

}  // namespace kr
