#include "jobs/KrJob.h"

#include "jobs/KrCombinedTask.h"
#include "jobs/KrIdGenerator.h"

namespace {

std::atomic<std::int64_t> liveJobs{0};

}  // namespace

KrJob::KrJob() : id_(KrIdGenerator::jobIds().makeUniqueJobId()) {
    // Touching the registry here builds it before the first job is complete, so it is
    // destroyed after the last one, even after jobs with static storage.
    (void)KrCombinedTask::instance();
    // Closed to deliveries until the most-derived object is complete: a base that
    // registers in its constructor must not receive a message before its derived parts
    // exist.
    deliveryLock_.lock();
    liveJobs.fetch_add(1);
}

KrJob::~KrJob() {
    leaveRegistry();
    if (!openForDelivery_) {
        // Construction failed on this thread, which still holds the lock.
        deliveryLock_.unlock();
    }
    liveJobs.fetch_sub(1);
}

void KrJob::openForDelivery() {
    openForDelivery_ = true;
    deliveryLock_.unlock();
}

void KrJob::leaveRegistry() {
    if (linked_.load(std::memory_order_acquire)) {
        KrCombinedTask::instance().unregister(id_);
    }
    // The registry looks a job up and try-locks it in one step under its own lock, so once
    // the job has left no new delivery can begin; one that began before holds this lock.
    std::lock_guard waitOut(deliveryLock_);
}

bool KrJob::onMessage(const KrJobMessage& /*message*/) { return true; }

bool KrJob::postTo(const std::string& /*targetId*/, const KrJobMessage& /*message*/) {
    return false;
}

std::string KrJob::registerJob(std::string_view description) {
    return KrCombinedTask::instance().registerJob(*this, description);
}

std::string KrJob::registerJobDefault(std::string_view description) {
    return registerJob(description);
}

bool KrJob::subscribe(const std::string& name) {
    {
        std::lock_guard lock(stateMutex_);
        subscription_ = name;
    }
    return KrCombinedTask::instance().subscribe(name, *this);
}

bool KrJob::unsubscribe(const std::string& name) {
    return KrCombinedTask::instance().unsubscribe(name, id_);
}

bool KrJob::unsubscribeLast(const std::string& name) {
    if (!name.empty()) {
        return unsubscribe(name);
    }
    std::string last;
    {
        std::lock_guard lock(stateMutex_);
        last.swap(subscription_);
    }
    return unsubscribe(last);
}

std::string KrJob::subscription() const {
    std::lock_guard lock(stateMutex_);
    return subscription_;
}

bool KrJob::unregisterJob() { return KrCombinedTask::instance().unregister(id_); }

bool KrJob::setState(std::uint32_t state) {
    StateChangeCallback callback;
    {
        std::lock_guard lock(stateMutex_);
        if (state == current_.load() || state == requested_.load()) {
            return false;
        }
        requested_.store(state);
        callback = stateChange_;
    }
    const bool accepted = callback ? callback() : true;
    if (accepted) {
        std::lock_guard lock(stateMutex_);
        current_.store(state);
    }
    return accepted;
}

void KrJob::setStateChangeCallback(StateChangeCallback callback) {
    std::lock_guard lock(stateMutex_);
    stateChange_ = std::move(callback);
}

std::int64_t KrJob::liveCount() { return liveJobs.load(); }
