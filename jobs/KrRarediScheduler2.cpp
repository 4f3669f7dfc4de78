#include "jobs/KrRarediScheduler2.h"

#include <atomic>
#include <exception>
#include <system_error>
#include <utility>

#include "foundation/KrLogStreams.h"

namespace {

std::atomic<KrRarediScheduler2::JobId> lastJobId{0};

}  // namespace

void KrRarediJobParametersAndResult::assign(const KrRarediJobParametersAndResult& other) {
    jobId = other.jobId;
    code = other.code;
}

KrRarediScheduler2::~KrRarediScheduler2() {
    std::vector<std::function<void()>> stops;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [id, job] : jobs_) {
            if (job.phase == Phase::kRunning) {
                stops.push_back(job.descriptor.stop);
            } else if (job.phase != Phase::kFinished) {
                finishLocked(job);
            }
        }
        ready_.clear();
        delayed_.clear();
    }
    dispatchWake_.notify_all();
    timerWake_.notify_all();
    collectWake_.notify_all();
    finishedWake_.notify_all();
    for (const auto& stop : stops) {
        try {
            stop();
        } catch (...) {
            KrLogStreams::stream(1) << "a job's stop callback threw\n";
        }
    }
    // The collector ends once every running job has returned and been joined.
    for (std::thread* worker : {&dispatcher_, &timer_, &collector_}) {
        if (worker->joinable()) {
            worker->join();
        }
    }
}

KrRarediScheduler2::JobId KrRarediScheduler2::submitJob(JobFunction function,
                                                        std::unique_ptr<Record> parameters,
                                                        KrRarediJobDescriptor descriptor) {
    if (!parameters) {
        parameters = std::make_unique<Record>();
    }
    const JobId id = lastJobId.fetch_add(1) + 1;
    parameters->jobId = id;
    parameters->mode = descriptor.mode;

    std::lock_guard lock(mutex_);
    Job& job = jobs_[id];
    job.function = std::move(function);
    job.descriptor = std::move(descriptor);
    job.record = std::move(parameters);
    if (stopping_) {
        // It could never start; a waiter must not wait for it.
        finishLocked(job);
        return id;
    }
    ready_.push_back(id);
    startWorkersLocked();
    dispatchWake_.notify_one();
    return id;
}

void KrRarediScheduler2::startWorkersLocked() {
    if (workersStarted_) {
        return;
    }
    workersStarted_ = true;
    dispatcher_ = std::thread([this] { dispatchLoop(); });
    timer_ = std::thread([this] { timerLoop(); });
    collector_ = std::thread([this] { collectLoop(); });
}

bool KrRarediScheduler2::isFinished(JobId id) const {
    std::lock_guard lock(mutex_);
    return isFinishedLocked(id);
}

bool KrRarediScheduler2::isFinishedLocked(JobId id) const {
    const auto found = jobs_.find(id);
    return found == jobs_.end() || found->second.phase == Phase::kFinished;
}

void KrRarediScheduler2::waitUntilFinished(JobId id) {
    std::unique_lock lock(mutex_);
    finishedWake_.wait(lock, [&] { return isFinishedLocked(id); });
}

bool KrRarediScheduler2::waitUntilFinished(JobId id, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return finishedWake_.wait_for(lock, limit, [&] { return isFinishedLocked(id); });
}

std::unique_ptr<KrRarediScheduler2::Record> KrRarediScheduler2::takeJob(JobId id) {
    std::lock_guard lock(mutex_);
    const auto found = jobs_.find(id);
    if (found == jobs_.end() || found->second.phase != Phase::kFinished) {
        return nullptr;
    }
    std::unique_ptr<Record> result = std::move(found->second.record);
    jobs_.erase(found);
    return result;
}

void KrRarediScheduler2::cancelJob(JobId id) {
    std::lock_guard lock(mutex_);
    const auto found = jobs_.find(id);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = found->second;
    job.cancelled = true;
    if (job.phase == Phase::kDelayed) {
        delayed_.erase(job.delayedAt);
        timerWake_.notify_one();
    }
    if (job.phase == Phase::kReady || job.phase == Phase::kDelayed) {
        // The dispatcher skips an id in ready_ that is no longer ready.
        finishLocked(job);
    }
}

std::uint64_t KrRarediScheduler2::workerPasses() const {
    std::lock_guard lock(mutex_);
    return passes_;
}

void KrRarediScheduler2::finishLocked(Job& job) {
    job.phase = Phase::kFinished;
    finishedWake_.notify_all();
}

void KrRarediScheduler2::dispatchLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        dispatchWake_.wait(lock,
                           [this] { return stopping_ || (!ready_.empty() && roomToRunLocked()); });
        ++passes_;
        if (stopping_) {
            return;
        }
        while (!ready_.empty() && roomToRunLocked()) {
            const JobId id = ready_.front();
            ready_.pop_front();
            const auto found = jobs_.find(id);
            if (found == jobs_.end() || found->second.phase != Phase::kReady) {
                continue;
            }
            Job& job = found->second;
            try {
                // Entered in running_ before the lock is released, so the job's thread,
                // which takes the lock to report its end, always finds itself there.
                running_.emplace(id, std::thread([this, id, function = job.function,
                                                  record = std::move(job.record)]() mutable {
                                     runJob(id, function, std::move(record));
                                 }));
                job.phase = Phase::kRunning;
            } catch (const std::system_error& e) {
                KrLogStreams::stream(1) << "job " << id << " could not start: " << e.what() << '\n';
                finishLocked(job);
            }
        }
    }
}

bool KrRarediScheduler2::roomToRunLocked() const {
    return maxRunning_ == kNoLimit || running_.size() < maxRunning_;
}

void KrRarediScheduler2::runJob(JobId id, const JobFunction& function,
                                std::unique_ptr<Record> record) {
    std::unique_ptr<Record> result;
    try {
        result = function(std::move(record));
    } catch (const std::exception& e) {
        KrLogStreams::stream(1) << "job " << id << " threw: " << e.what() << '\n';
    } catch (...) {
        KrLogStreams::stream(1) << "job " << id << " threw\n";
    }
    {
        std::lock_guard lock(mutex_);
        auto node = running_.extract(id);
        ended_.push_back(Ended{id, std::move(node.mapped()), std::move(result)});
    }
    collectWake_.notify_one();
    if (maxRunning_ != kNoLimit) {
        dispatchWake_.notify_one();  // a place to run is free
    }
}

void KrRarediScheduler2::collectLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        collectWake_.wait(lock,
                          [this] { return !ended_.empty() || (stopping_ && running_.empty()); });
        ++passes_;
        if (ended_.empty()) {
            return;
        }
        std::vector<Ended> batch;
        batch.swap(ended_);
        lock.unlock();
        // Each of these threads has only its last unlock left to do.
        for (Ended& ended : batch) {
            ended.thread.join();
        }
        lock.lock();
        for (Ended& ended : batch) {
            settleLocked(ended.id, std::move(ended.result));
        }
    }
}

void KrRarediScheduler2::settleLocked(JobId id, std::unique_ptr<Record> result) {
    const auto found = jobs_.find(id);
    if (found == jobs_.end()) {
        return;
    }
    Job& job = found->second;
    const bool again =
        result && result->mode == KrRarediJobDescriptor::kRunAgain && !job.cancelled && !stopping_;
    job.record = std::move(result);
    if (!again) {
        finishLocked(job);
        return;
    }
    job.phase = Phase::kDelayed;
    job.delayedAt = delayed_.emplace(Clock::now() + job.descriptor.delay, id);
    timerWake_.notify_one();
}

void KrRarediScheduler2::timerLoop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        bool moved = false;
        const auto now = Clock::now();
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            const JobId id = delayed_.begin()->second;
            delayed_.erase(delayed_.begin());
            jobs_.at(id).phase = Phase::kReady;
            ready_.push_back(id);
            moved = true;
        }
        if (moved) {
            dispatchWake_.notify_one();
        }
        if (delayed_.empty()) {
            timerWake_.wait(lock, [this] { return stopping_ || !delayed_.empty(); });
        } else {
            const auto due = delayed_.begin()->first;
            timerWake_.wait_until(lock, due, [&] {
                return stopping_ || delayed_.empty() || delayed_.begin()->first != due;
            });
        }
        ++passes_;
    }
}

namespace kr {

KrRarediScheduler2::JobId submitLoopJob(KrRarediScheduler2& scheduler, std::string name,
                                        std::function<void()> loop, std::function<void()> stop) {
    KrRarediJobDescriptor descriptor;
    descriptor.name = std::move(name);
    descriptor.stop = std::move(stop);
    return scheduler.submitJob(
        [loop = std::move(loop)](std::unique_ptr<KrRarediJobParametersAndResult> record) {
            loop();
            return record;
        },
        nullptr, std::move(descriptor));
}

void waitForJob(KrRarediScheduler2& scheduler, KrRarediScheduler2::JobId id) {
    if (id != 0) {
        scheduler.waitUntilFinished(id);
        (void)scheduler.takeJob(id);
    }
}

}  // namespace kr
