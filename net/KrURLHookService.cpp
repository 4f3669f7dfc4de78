#include "net/KrURLHookService.h"

#include <utility>
#include <vector>

#include "jobs/KrCombinedTask.h"
#include "jobs/KrIdGenerator.h"
#include "net/KrServerDescription.h"
#include "net/KrTransceiver.h"
#include "net/KrTransceiverMessage.h"
#include "net/KrTransceiverServerL0.h"

namespace {

// What a worker is built from: a client that connects to the message's target.
class WorkerDescription : public KrServerDescription {
public:
    explicit WorkerDescription(const KrTransceiverMessage& message)
        : id_(KrIdGenerator::jobIds().makeUniqueJobId()),
          protocol_(message.protocol()),
          settings_{{"hoststring", message.targetHost()},
                    {"port", std::to_string(message.targetPort())}} {}

    std::string descriptionId() const override { return id_; }
    std::uint32_t serverProtocol() const override { return protocol_; }
    std::string setting(const std::string& key, const std::string& fallback) const override {
        const auto found = settings_.find(key);
        return found != settings_.end() ? found->second : fallback;
    }
    bool acceptsConnection(const Attributes& /*attributes*/) const override { return true; }
    bool serverRole() const override { return false; }

private:
    const std::string id_;
    const std::uint32_t protocol_;
    const std::map<std::string, std::string> settings_;  // fixed at construction
};

}  // namespace

KrURLHookService::KrURLHookService(const KrServerSetup& setup, KrServerLayerFactory workerFactory)
    : KrTransceiverServer(setup, "urlhook_"), factory_(std::move(workerFactory)) {}

std::shared_ptr<KrTransceiverMessage> KrURLHookService::dispatch(
    std::shared_ptr<KrTransceiverMessage> message, bool& failed) {
    failed = !message || hub() == nullptr;
    if (failed) {
        return message;
    }
    std::lock_guard lock(deliveryLock());
    if (Worker worker = takeIdleWorkerLocked()) {
        handOverLocked(worker, message);
    } else if (workers_.size() < kWorkerLimit) {
        worker = makeWorkerLocked(*message);
        failed = worker == nullptr;
        if (worker) {
            handOverLocked(worker, message);
        }
    } else {
        waiting_.push_back(message);
    }
    return message;
}

std::size_t KrURLHookService::waitingCount() {
    std::lock_guard lock(deliveryLock());
    return waiting_.size();
}

std::int64_t KrURLHookService::load() {
    std::lock_guard lock(deliveryLock());
    return static_cast<std::int64_t>(waiting_.size()) - static_cast<std::int64_t>(idle_.size()) +
           static_cast<std::int64_t>(workers_.size());
}

std::size_t KrURLHookService::workerCount() {
    std::lock_guard lock(deliveryLock());
    return workers_.size();
}

bool KrURLHookService::onMessage(const KrJobMessage& message) {
    std::lock_guard lock(deliveryLock());
    if (message.type == KrJobMessage::kExpired) {
        dropWorkerLocked(message.text);
        return true;
    }
    if (message.type != KrJobMessage::kTaskDone) {
        return true;
    }
    const auto taskParameter = message.parameters.find(std::string(KrJobMessage::kTaskParameter));
    if (taskParameter == message.parameters.end()) {
        return true;
    }
    const std::string task = taskParameter->second;
    const auto found = tasks_.find(task);
    if (found == tasks_.end()) {
        return true;
    }
    const std::string workerId = found->second;
    tasks_.erase(found);

    // The request handler that sent the message leaves the reply name it made for it.
    KrJobMessage done;
    done.type = KrJobMessage::kPartnerLeft;
    done.text = id();
    done.parameters[std::string(KrJobMessage::kTaskParameter)] = task;
    KrCombinedTask::instance().enqueue(name(), done);

    if (workers_.contains(workerId)) {
        idle_.insert(workerId);
    }
    if (!waiting_.empty()) {
        auto next = std::move(waiting_.front());
        waiting_.pop_front();
        bool failed = false;
        (void)dispatch(std::move(next), failed);
    }
    return true;
}

void KrURLHookService::shutdown() {
    std::map<std::string, Worker> workers;
    {
        std::lock_guard lock(deliveryLock());
        workers.swap(workers_);
        idle_.clear();
        tasks_.clear();
        waiting_.clear();
    }
    for (const auto& [id, worker] : workers) {
        worker->shutdown();
    }
    KrTransceiverServer::shutdown();
}

KrURLHookService::Worker KrURLHookService::takeIdleWorkerLocked() {
    while (!idle_.empty()) {
        const std::string workerId = *idle_.begin();
        idle_.erase(idle_.begin());
        const auto found = workers_.find(workerId);
        if (found == workers_.end()) {
            continue;
        }
        if (found->second->checkTimeout()) {
            dropWorkerLocked(workerId);
            continue;
        }
        return found->second;
    }
    return nullptr;
}

KrURLHookService::Worker KrURLHookService::makeWorkerLocked(const KrTransceiverMessage& message) {
    if (!factory_) {
        return nullptr;
    }
    auto description = std::make_shared<WorkerDescription>(message);
    KrServerSetup setup;
    setup.scheduler = &scheduler();
    setup.hub = hub();
    setup.name = name();
    setup.secondText = description->descriptionId();
    setup.linkName = id();  // so that the worker's expiry (type 1) reaches this service
    setup.callback = statusCallback();
    setup.typeName = typeName();
    setup.description = description;
    setup.timeoutMicroseconds = timeoutMicroseconds();
    Worker worker = factory_(setup);
    if (!worker) {
        return nullptr;
    }
    description->setServer(worker);
    // FIXME: a client connects on this thread, under the hub's send lock; a slow target
    // holds up every other send meanwhile. No built-in path sends to another host.
    if (!worker->start()) {
        worker->shutdown();
        return nullptr;
    }
    hub()->addServer(worker);
    workers_[worker->id()] = worker;
    return worker;
}

void KrURLHookService::handOverLocked(const Worker& worker,
                                      const std::shared_ptr<KrTransceiverMessage>& message) {
    const std::string task = message->connectionName();
    tasks_[task] = worker->id();
    worker->subscribe(task);
    worker->handle(worker->connectionName(), message);
}

void KrURLHookService::dropWorkerLocked(const std::string& workerId) {
    const auto found = workers_.find(workerId);
    if (found == workers_.end()) {
        return;
    }
    Worker worker = std::move(found->second);
    workers_.erase(found);
    idle_.erase(workerId);
    std::erase_if(tasks_, [&](const auto& task) { return task.second == workerId; });
    worker->shutdown();
}
