#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "jobs/KrRarediScheduler2.h"
#include "net/KrServerLayer.h"
#include "net/KrTransceiverServer.h"

class KrTransceiverMessage;
class KrTransceiverServerL0;

// The hub's dispatcher for requests that go out to another host: one per request handler
// and target address (KrTransceiver::sendMessage). It keeps a pool of at most kWorkerLimit
// client-role servers (workers), each made on demand by the factory of the message's
// protocol and connected to the target; a message that finds no idle worker and no room
// for a new one waits in a list, first in first out. The registry tells it when a worker's
// task is done (type 5: the worker is idle again and takes the next waiting message) and
// when a worker has expired (type 1: the worker is dropped).
//
// Pool state is guarded by the service's delivery lock, which the registry also holds while
// it delivers a message to the service. Under it the service only keeps its books; it may
// take the registry's and the scheduler's locks there, and a new worker's own. What may
// block, starting a worker (a client connects out) and shutting one down (its jobs are
// waited for), runs on the service's own pool job, so that neither the registry's delivery
// thread nor a sender ever waits for the network or for another job.
class KrURLHookService : public KrTransceiverServer {
public:
    static constexpr std::size_t kWorkerLimit = 10;

    // setup: the service's own (its name is the request handler's id, its link name the
    // hub's id, its typeName the workers'); workerFactory builds each worker.
    KrURLHookService(const KrServerSetup& setup, KrServerLayerFactory workerFactory);
    // Ends the pool job, for a service that was never shut down.
    ~KrURLHookService() override;

    // Hands the message to the first idle worker, or to a new one while there is room, or
    // queues it. A new worker counts in the pool at once; it is started on the pool job and
    // takes the message once it has connected. When it cannot start, it leaves the pool and
    // the request handler is told that the task is over (type 6), as for a finished one.
    // failed is set, and nothing happens, without a message or a hub, when no worker can be
    // built, and after shutdown. Returns the message.
    virtual std::shared_ptr<KrTransceiverMessage> dispatch(
        std::shared_ptr<KrTransceiverMessage> message, bool& failed);

    // Messages waiting for a worker.
    virtual std::size_t waitingCount();

    // Waiting messages - idle workers + workers.
    virtual std::int64_t load();

    // Type 5: the worker whose task "ctask" names is idle again; the request handler is told
    // (type 6) and the next waiting message goes out. Type 1: the worker of that name leaves
    // the pool and is shut down on the pool job. Always true.
    bool onMessage(const KrJobMessage& message) override;

    // Ends the pool job (a start under way completes first) and the workers' jobs, then the
    // service's own. Must not be called on the pool job or the registry's delivery thread.
    void shutdown() override;

    // Workers in the pool, those still starting included.
    std::size_t workerCount();

private:
    using Worker = std::shared_ptr<KrTransceiverServerL0>;
    using Message = std::shared_ptr<KrTransceiverMessage>;
    // A worker built for a message, waiting on the pool job for its start.
    struct Start {
        Worker worker;
        Message message;
    };

    Worker takeIdleWorkerLocked();
    bool addWorkerLocked(const Message& message);
    Worker makeWorkerLocked(const KrTransceiverMessage& message);
    void handOverLocked(const Worker& worker, const Message& message);
    void dropWorkerLocked(const std::string& workerId);
    void tellTaskOverLocked(const std::string& task);
    void dispatchNextWaitingLocked();

    void startPoolJobLocked();
    void poolLoop();
    // Starts the worker and gives it to the hub; false when it could not connect.
    bool startWorker(const Worker& worker);
    bool inPoolLocked(const Worker& worker) const;
    void finishStartLocked(const Start& start, bool started);
    // Ends the pool job and waits for it; the workers it had still to shut down.
    std::vector<Worker> endPoolJob();

    const KrServerLayerFactory factory_;
    // All below under the delivery lock.
    std::map<std::string, Worker> workers_;     // by the worker's id; starting ones too
    std::set<std::string> idle_;                // ids of idle workers
    std::map<std::string, std::string> tasks_;  // task (reply name) -> worker id
    std::deque<Message> waiting_;
    std::deque<Start> starting_;    // built, for the pool job to start
    std::vector<Worker> retiring_;  // out of the pool, for the pool job to shut down
    bool poolRun_ = false;
    bool poolEnded_ = false;  // shut down: no worker is added, no pool job started
    KrRarediScheduler2::JobId poolJob_ = 0;
    // Wakes the pool job: work was queued for it, or it must end. Waited on with the
    // delivery lock.
    std::condition_variable_any poolWake_;
};
