#include "jobs/KrCombinedTask.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "foundation/KrLogStreams.h"
#include "jobs/HandOverSpin.h"
#include "jobs/KrIdGenerator.h"
#include "jobs/KrJob.h"

namespace {

// How the delivery thread waits for a busy job: a few yields keep a short hold-up cheap,
// then sleeps that double up to a millisecond keep a long one from burning a core.
class BusyBackoff {
public:
    static constexpr int kYields = 8;
    static constexpr std::chrono::microseconds kFirstSleep{10};
    static constexpr std::chrono::microseconds kLongestSleep{1000};

    void pause() {
        if (yields_ < kYields) {
            ++yields_;
            std::this_thread::yield();
            return;
        }
        std::this_thread::sleep_for(sleep_);
        sleep_ = std::min(sleep_ * 2, kLongestSleep);
    }

    void reset() {
        yields_ = 0;
        sleep_ = kFirstSleep;
    }

private:
    int yields_ = 0;
    std::chrono::microseconds sleep_ = kFirstSleep;
};

void deliver(KrJob& job, const KrJobMessage& message) {
    // The handler's answer does not matter, and what it throws must not end the delivery
    // thread: the message counts as delivered.
    try {
        (void)job.onMessage(message);
    } catch (const std::exception& e) {
        KrLogStreams::stream(1) << "message handler of " << job.id() << " threw: " << e.what()
                                << '\n';
    } catch (...) {
        KrLogStreams::stream(1) << "message handler of " << job.id() << " threw\n";
    }
}

}  // namespace

KrCombinedTask& KrCombinedTask::instance() {
    static KrCombinedTask registry;
    return registry;
}

KrCombinedTask::KrCombinedTask() : delivery_([this] { deliveryLoop(); }) {}

KrCombinedTask::~KrCombinedTask() {
    {
        std::lock_guard lock(queueMutex_);
        stopping_ = true;
    }
    // Woken without the lock held, so the thread can take it, see the flag and end.
    wake_.notify_all();
    delivery_.join();
}

std::string KrCombinedTask::registerJob(KrJob& job, std::string_view description) {
    // Made before the lock: the generator has a lock of its own.
    std::string name = KrIdGenerator::registrationNames().makeUniqueJobId();
    std::lock_guard lock(mutex_);
    NameEntry& entry = *names_.try_emplace(name).first;
    entry.second.ownerId = job.id();
    entry.second.description = description;
    linkLocked(entry, job);
    return name;
}

bool KrCombinedTask::subscribe(const std::string& name, KrJob& job) {
    std::lock_guard lock(mutex_);
    const auto found = names_.find(name);
    if (found == names_.end() || !jobs_.contains(found->second.ownerId)) {
        return false;
    }
    linkLocked(*found, job);
    return true;
}

bool KrCombinedTask::unsubscribe(const std::string& name, const std::string& id) {
    std::lock_guard lock(mutex_);
    const auto found = names_.find(name);
    if (found == names_.end()) {
        return false;
    }
    NameLinks& links = found->second;
    if (links.ownerId == id) {
        for (const std::string_view member : links.memberIds) {
            unlinkLocked(member, name);
        }
        names_.erase(found);
        return true;
    }
    const auto job = jobs_.find(id);
    if (job == jobs_.end() || !job->second.names.contains(name)) {
        return false;
    }
    unlinkLocked(id, name);
    links.memberIds.erase(id);
    if (links.memberIds.size() == 1) {
        noticeLocked(*links.memberIds.begin(), KrJobMessage::kPartnerUnsubscribedNote);
    } else if (links.memberIds.empty()) {
        names_.erase(found);
    }
    return true;
}

bool KrCombinedTask::unregister(const std::string& id) {
    std::lock_guard lock(mutex_);
    const auto job = jobs_.find(id);
    if (job == jobs_.end()) {
        return false;
    }
    for (const std::string_view name : job->second.names) {
        const auto found = names_.find(name);
        if (found == names_.end()) {
            continue;
        }
        // The name's entry may go below; this view of its key is not looked at again.
        std::set<std::string_view>& members = found->second.memberIds;
        members.erase(id);
        if (members.size() == 1) {
            noticeLocked(*members.begin(), KrJobMessage::kPartnerUnregisteredNote);
        } else if (members.empty()) {
            names_.erase(found);
        }
    }
    jobs_.erase(job);
    return true;
}

bool KrCombinedTask::enqueue(const std::string& targetId, const KrJobMessage& message) {
    {
        std::lock_guard lock(queueMutex_);
        if (queue_.size() >= kQueueLimit) {
            return false;
        }
        queue_.push_back(Entry{targetId, message});
        queued_.store(queue_.size(), std::memory_order_relaxed);
    }
    wake_.notify_one();
    return true;
}

bool KrCombinedTask::post(const std::string& targetId, const KrJobMessage& message) {
    return deliverHere(targetId, message) || enqueue(targetId, message);
}

bool KrCombinedTask::deliverHere(const std::string& targetId, const KrJobMessage& message) {
    // Cheap refusals first: a busy registry gains nothing from a poster that waits.
    if (queued_.load(std::memory_order_relaxed) != 0) {
        return false;
    }
    std::unique_lock turn(turn_, std::try_to_lock);
    if (!turn.owns_lock()) {
        return false;
    }
    {
        // Holding the turn, nothing is being delivered; with the queue empty, nothing was
        // posted before this message that has not been delivered yet.
        std::lock_guard queueLock(queueMutex_);
        if (stopping_ || !queue_.empty()) {
            return false;
        }
    }
    KrJob* job = nullptr;
    {
        std::lock_guard links(mutex_);
        const auto target = jobs_.find(targetId);
        if (target != jobs_.end()) {
            job = target->second.job;
            if (!job->deliveryLock().try_lock()) {
                return false;  // busy: queued, and the delivery thread waits for it
            }
        }
    }
    {
        std::lock_guard queueLock(queueMutex_);
        ++(job != nullptr ? counters_.delivered : counters_.dropped);
    }
    if (job != nullptr) {
        deliver(*job, message);
        job->deliveryLock().unlock();
    }
    return true;
}

KrCombinedTask::Counters KrCombinedTask::counters() const {
    std::lock_guard lock(queueMutex_);
    return counters_;
}

void KrCombinedTask::linkLocked(NameEntry& name, KrJob& job) {
    job.linked_.store(true, std::memory_order_release);
    JobLinks& links = jobs_[job.id()];
    links.job = &job;
    links.names.insert(name.first);
    name.second.memberIds.insert(job.id());
}

void KrCombinedTask::unlinkLocked(std::string_view id, std::string_view name) {
    const auto job = jobs_.find(id);
    if (job == jobs_.end()) {
        return;
    }
    job->second.names.erase(name);
    if (job->second.names.empty()) {
        jobs_.erase(job);
    }
}

void KrCombinedTask::noticeLocked(std::string_view targetId, std::string_view note) {
    // Link notices are never refused: the queue limit is for posts from outside.
    KrJobMessage message;
    message.type = KrJobMessage::kPartnerLeft;
    message.text = targetId;
    message.note = note;
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(Entry{std::string(targetId), std::move(message)});
        queued_.store(queue_.size(), std::memory_order_relaxed);
    }
    wake_.notify_one();
}

void KrCombinedTask::deliveryLoop() {
    BusyBackoff backoff;
    // Most messages are a connection's notice for its server's buffer job.
    kr::HandOverSpin handOver(&kr::HandOverBacklog::process());
    for (;;) {
        const Entry* front = nullptr;
        {
            std::unique_lock queueLock(queueMutex_);
            bool slept = false;
            if (queue_.empty() && !stopping_) {
                queueLock.unlock();
                slept =
                    !handOver.spin([this] { return queued_.load(std::memory_order_relaxed) != 0; });
                queueLock.lock();
            }
            wake_.wait(queueLock, [this] { return stopping_ || !queue_.empty(); });
            if (slept) {
                handOver.woke();
            }
            ++counters_.passes;
            if (stopping_) {
                return;
            }
        }
        // A post delivering at once holds it for the length of one handler.
        std::unique_lock turn(turn_);
        {
            std::lock_guard queueLock(queueMutex_);
            if (stopping_) {
                return;
            }
            front = &queue_.front();
        }
        KrJob* job = nullptr;
        bool busy = false;
        {
            std::lock_guard links(mutex_);
            const auto target = jobs_.find(front->targetId);
            if (target != jobs_.end()) {
                job = target->second.job;
                // Looked up and locked in one step under mutex_: a job that leaves the
                // registry afterwards finds this delivery holding its lock and waits for it.
                busy = !job->deliveryLock().try_lock();
            }
        }
        if (busy) {
            turn.unlock();
            backoff.pause();  // the busy job's message stays in front
            continue;
        }
        Entry entry;
        {
            std::lock_guard queueLock(queueMutex_);
            if (stopping_) {  // set meanwhile: nothing more is delivered
                if (job != nullptr) {
                    job->deliveryLock().unlock();
                }
                return;
            }
            entry = std::move(queue_.front());
            queue_.pop_front();
            queued_.store(queue_.size(), std::memory_order_relaxed);
            ++(job != nullptr ? counters_.delivered : counters_.dropped);
        }
        if (job == nullptr) {
            continue;
        }
        backoff.reset();
        deliver(*job, entry.message);
        job->deliveryLock().unlock();
    }
}
