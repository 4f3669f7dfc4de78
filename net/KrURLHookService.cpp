#include "net/KrURLHookService.h"

#include <exception>
#include <utility>
#include <vector>

#include "foundation/KrLogStreams.h"
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

KrURLHookService::~KrURLHookService() {
    for (const Worker& worker : endPoolJob()) {
        worker->shutdown();
    }
}

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
        failed = !addWorkerLocked(message);
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
    tellTaskOverLocked(task);
    if (workers_.contains(workerId)) {
        idle_.insert(workerId);
    }
    dispatchNextWaitingLocked();
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
        starting_.clear();  // built, never started: they are among workers
        poolEnded_ = true;
    }
    for (const Worker& worker : endPoolJob()) {
        worker->shutdown();
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

bool KrURLHookService::addWorkerLocked(const Message& message) {
    if (poolEnded_) {
        return false;
    }
    Worker worker = makeWorkerLocked(*message);
    if (!worker) {
        return false;
    }
    workers_[worker->id()] = worker;
    starting_.push_back(Start{std::move(worker), message});
    startPoolJobLocked();
    poolWake_.notify_all();
    return true;
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
    if (worker) {
        description->setServer(worker);
    }
    return worker;
}

void KrURLHookService::handOverLocked(const Worker& worker, const Message& message) {
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
    retiring_.push_back(std::move(worker));
    startPoolJobLocked();
    poolWake_.notify_all();
}

void KrURLHookService::tellTaskOverLocked(const std::string& task) {
    // The request handler that sent the message leaves the reply name it made for it.
    KrJobMessage done;
    done.type = KrJobMessage::kPartnerLeft;
    done.text = id();
    done.parameters[std::string(KrJobMessage::kTaskParameter)] = task;
    KrCombinedTask::instance().enqueue(name(), done);
}

void KrURLHookService::dispatchNextWaitingLocked() {
    if (waiting_.empty()) {
        return;
    }
    auto next = std::move(waiting_.front());
    waiting_.pop_front();
    bool failed = false;
    (void)dispatch(std::move(next), failed);
}

// ---- the pool job ---------------------------------------------------------------------

void KrURLHookService::startPoolJobLocked() {
    if (poolJob_ != 0 || poolEnded_) {
        return;
    }
    poolRun_ = true;
    poolJob_ = kr::submitLoopJob(
        scheduler(), "KrURLHookService_pool" + id(), [this] { poolLoop(); },
        [this] {
            {
                std::lock_guard lock(deliveryLock());
                poolRun_ = false;
            }
            poolWake_.notify_all();
        });
}

void KrURLHookService::poolLoop() {
    std::unique_lock lock(deliveryLock());
    for (;;) {
        poolWake_.wait(lock,
                       [this] { return !poolRun_ || !retiring_.empty() || !starting_.empty(); });
        if (!poolRun_) {
            return;
        }
        if (!retiring_.empty()) {
            const Worker worker = std::move(retiring_.back());
            retiring_.pop_back();
            lock.unlock();
            worker->shutdown();
            lock.lock();
            continue;
        }
        const Start start = std::move(starting_.front());
        starting_.pop_front();
        if (!inPoolLocked(start.worker)) {
            finishStartLocked(start, false);  // dropped before its start
            continue;
        }
        lock.unlock();
        const bool started = startWorker(start.worker);
        lock.lock();
        finishStartLocked(start, started);
    }
}

bool KrURLHookService::startWorker(const Worker& worker) {
    try {
        if (!worker->start()) {
            return false;
        }
    } catch (const std::exception& e) {
        KrLogStreams::stream(1) << "start of " << worker->id() << " threw: " << e.what() << '\n';
        return false;
    }
    if (KrTransceiver* owner = hub()) {
        owner->addServer(worker);
    }
    return true;
}

bool KrURLHookService::inPoolLocked(const Worker& worker) const {
    const auto found = workers_.find(worker->id());
    return found != workers_.end() && found->second == worker;
}

void KrURLHookService::finishStartLocked(const Start& start, bool started) {
    if (started && inPoolLocked(start.worker) && poolRun_) {
        handOverLocked(start.worker, start.message);
        return;
    }
    // Retired once: a worker that left the pool meanwhile was retired when it left.
    if (inPoolLocked(start.worker)) {
        workers_.erase(start.worker->id());
        retiring_.push_back(start.worker);
    }
    if (!poolRun_) {
        return;
    }
    // The message cannot go: its sender is told as for a finished task, and the place in the
    // pool goes to the next waiting message.
    tellTaskOverLocked(start.message->connectionName());
    dispatchNextWaitingLocked();
}

std::vector<KrURLHookService::Worker> KrURLHookService::endPoolJob() {
    KrRarediScheduler2::JobId job;
    {
        std::lock_guard lock(deliveryLock());
        poolEnded_ = true;
        poolRun_ = false;
        job = std::exchange(poolJob_, 0);
    }
    poolWake_.notify_all();
    kr::waitForJob(scheduler(), job);
    std::lock_guard lock(deliveryLock());
    return std::exchange(retiring_, {});
}
