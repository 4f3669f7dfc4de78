#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "jobs/KrJobWithTimeout.h"
#include "jobs/KrRarediScheduler2.h"
#include "net/KrServerCallback_t.h"
#include "net/KrServerLayer.h"

class KrServerDescription;
class KrTransceiver;
class KrTransceiverMessage;

// The base of every server: it queues the notices that its connections have received bytes
// and works them off, in order, on a scheduler job of its own (the buffer job), and reports
// its life to the application's status callback. A server that allows it
// (servesWhereReceived) has a notice served by the receive job itself instead, while its
// buffer job sleeps with nothing queued (kr::ServeHere); notices are then still served one at
// a time and in order. Out of notices while they follow each other
// closely, the buffer job looks for a new one for a short while before it sleeps
// (kr::HandOverSpin); its queued notices, and what each cost it, are counted for the stages
// that feed it, which need not hurry while it is behind (kr::HandOverBacklog).
//
// Owners (the hub, a URL hook service) call shutdown() before they let a server go: the
// buffer job calls the protocol layer's receive, so it must end while the layer still
// exists. The destructor ends the jobs too, for a server that never had a layer, and reports
// state 2. A server must not be let go from its own buffer job, nor from a notice it serves
// where it was received.
class KrTransceiverServer : public KrJobWithTimeout {
public:
    ~KrTransceiverServer() override;

    // Accepts every message; none changes the server base.
    bool onMessage(const KrJobMessage& message) override;

    // A server in the server role never times out; a client-role server as any job with a
    // timeout.
    bool checkTimeout() override;

    // Called on the buffer job for each queued notice: the connection with new bytes, and
    // the server's own name (the request handler's id). The base does nothing.
    virtual void receive(const std::string& connectionName, const std::string& serverName);

    // Called by the hub with an answer for the named connection. The base leaves the
    // subscription that the message names and answers false.
    virtual bool handle(const std::string& connectionName,
                        const std::shared_ptr<KrTransceiverMessage>& message);

    // The base prints "KrTransceiverServer::stop()".
    virtual void stop();

    // Sets the owning hub when none is set (true), under the delivery lock.
    virtual bool attachHub(KrTransceiver* hub);
    // Clears the owning hub when it is the given one.
    virtual void detachHub(KrTransceiver* hub);

    // A connection has received bytes for this server. The base only wakes the buffer job;
    // the protocol layers queue the notice with pushBuffer.
    virtual void bufferIn(const std::string& connectionName);

    // Queues a notice for the buffer job, starting the job with the first one; or, when the
    // thread offers to serve it (kr::ServeHere::open) and this server allows it, while the
    // buffer job sleeps with nothing queued and no other notice is being served, leaves it
    // there.
    void pushBuffer(const std::string& connectionName, const std::string& serverName);

    // Serves a notice that pushBuffer left with kr::ServeHere, on the calling thread; the
    // buffer job then takes what was queued meanwhile.
    void serveLeftHere(const std::string& connectionName, const std::string& serverName);

    // Whether the calling thread is serving a notice of this server where it was received.
    bool servingWhereReceived() const;

    // Ends the server's jobs and waits for them: the transport's (endTransport) first, then
    // the buffer job. Idempotent.
    virtual void shutdown();
    // Ends and waits for the transport's job (a listener); the base has none.
    virtual void endTransport() {}

    const std::string& name() const { return name_; }
    const std::string& secondText() const { return secondText_; }
    const std::string& linkName() const { return linkName_; }
    const std::string& typeName() const { return typeName_; }
    bool serverRole() const { return serverRole_; }
    KrTransceiver* hub() const { return hub_.load(); }
    KrRarediScheduler2& scheduler() const { return scheduler_; }
    const std::shared_ptr<KrServerDescription>& description() const { return description_; }
    // The buffer job's id; 0 until the first notice.
    KrRarediScheduler2::JobId bufferJobId() const;
    bool busy() const { return busy_.load(); }

protected:
    // Registers with the job registry under registrationPrefix + the name. The role comes
    // from the description (server role without one).
    explicit KrTransceiverServer(const KrServerSetup& setup,
                                 std::string_view registrationPrefix = "server_");

    // Whether a notice may be served on the thread that received it, while the buffer job
    // sleeps (see kr::ServeHere). Such a layer must not make that thread wait long: the
    // receive job reads every connection of the hub. The base does not allow it.
    virtual bool servesWhereReceived() const { return false; }

    // Hands the event to the status callback; an empty callback reports to nobody.
    void report(KrServerCallback_t& event) const;
    const KrServerStatusCallback& statusCallback() const { return callback_; }

private:
    void bufferLoop();
    // One notice through the layer, on whichever thread serves it.
    void serveNotice(const std::string& connectionName, const std::string& serverName);
    // After a notice: a connection whose peer has ended its stream, and whose every byte the
    // layer has taken and handled, closes once its answers are out.
    void closeIfPeerFinished(const std::string& connectionName) const;
    void endBufferJob();

    const std::string name_;
    const std::string secondText_;
    const std::string linkName_;
    const std::string typeName_;
    const std::shared_ptr<KrServerDescription> description_;
    const KrServerStatusCallback callback_;
    KrRarediScheduler2& scheduler_;
    const bool serverRole_;
    std::atomic<KrTransceiver*> hub_;  // written under the delivery lock

    // Guards the buffer queue, the buffer job's run flag, id and sleep, and the notice served
    // where it was received. The scheduler's lock is taken under it (to submit the job);
    // nothing else.
    mutable std::mutex bufferMutex_;
    // A notice was queued, a notice served where it was received is done, or the job must end.
    std::condition_variable bufferWake_;
    std::deque<std::pair<std::string, std::string>> bufferQueue_;
    bool bufferRun_ = false;
    bool bufferEnded_ = false;  // shut down: no job starts any more
    // The buffer job sleeps until a notice comes: serving a notice where it was received
    // costs nobody a wake-up then. False while it runs, from its start on.
    bool bufferAsleep_ = false;
    // A notice is left with, or being served by, a kr::ServeHere; the buffer job waits for it.
    bool servingHere_ = false;
    KrRarediScheduler2::JobId bufferJob_ = 0;
    std::atomic<bool> busy_{false};
};
