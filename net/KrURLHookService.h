#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

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
// it delivers a message to the service. Under it a worker is built, started (a client
// connects out) and shut down (its jobs are waited for), and the hub's registry lock is
// taken to keep a new worker.
class KrURLHookService : public KrTransceiverServer {
public:
    static constexpr std::size_t kWorkerLimit = 10;

    // setup: the service's own (its name is the request handler's id, its link name the
    // hub's id, its typeName the workers'); workerFactory builds each worker.
    KrURLHookService(const KrServerSetup& setup, KrServerLayerFactory workerFactory);

    // Hands the message to the first idle worker, or to a new one while there is room, or
    // queues it. failed is set, and nothing happens, without a message or a hub, and when a
    // new worker cannot be built or started. Returns the message.
    virtual std::shared_ptr<KrTransceiverMessage> dispatch(
        std::shared_ptr<KrTransceiverMessage> message, bool& failed);

    // Messages waiting for a worker.
    virtual std::size_t waitingCount();

    // Waiting messages - idle workers + workers.
    virtual std::int64_t load();

    // Type 5: the worker whose task "ctask" names is idle again; the request handler is told
    // (type 6) and the next waiting message goes out. Type 1: the worker of that name is
    // dropped. Always true.
    bool onMessage(const KrJobMessage& message) override;

    // Ends the workers' jobs, then the service's own.
    void shutdown() override;

    std::size_t workerCount();

private:
    using Worker = std::shared_ptr<KrTransceiverServerL0>;

    Worker takeIdleWorkerLocked();
    Worker makeWorkerLocked(const KrTransceiverMessage& message);
    void handOverLocked(const Worker& worker, const std::shared_ptr<KrTransceiverMessage>& message);
    void dropWorkerLocked(const std::string& name);

    const KrServerLayerFactory factory_;
    // All below under the delivery lock.
    std::map<std::string, Worker> workers_;     // by the worker's id
    std::set<std::string> idle_;                // ids of idle workers
    std::map<std::string, std::string> tasks_;  // task (reply) name -> worker id
    std::deque<std::shared_ptr<KrTransceiverMessage>> waiting_;
};
