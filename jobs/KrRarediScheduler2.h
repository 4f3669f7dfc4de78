#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The argument and result record of every scheduler job. Job functions may use a derived
// record to carry more.
class KrRarediJobParametersAndResult {
public:
    KrRarediJobParametersAndResult() = default;
    KrRarediJobParametersAndResult(const KrRarediJobParametersAndResult&) = delete;
    KrRarediJobParametersAndResult& operator=(const KrRarediJobParametersAndResult&) = delete;
    virtual ~KrRarediJobParametersAndResult() = default;

    // Copies jobId and code.
    virtual void assign(const KrRarediJobParametersAndResult& other);

    std::uint64_t jobId = 0;  // given by submitJob
    std::int64_t code = 1;
    std::uint32_t mode = 0;  // from the descriptor; after a run, kRunAgain asks for another
};

// What a submitter says about its job.
struct KrRarediJobDescriptor {
    static constexpr std::uint32_t kRunOnce = 0;
    static constexpr std::uint32_t kRunAgain = 1;  // run again after the delay

    std::string name = "unknown";
    // Called from the stopping scheduler while the job still runs; it must make the job end
    // (clear the loop's run flag and wake whatever the loop waits on).
    std::function<void()> stop = [] {};
    std::uint32_t mode = kRunOnce;
    std::chrono::microseconds delay{0};
};

// Runs named jobs, each on a thread of its own. Three workers start with the first
// submission: a dispatcher that starts ready jobs, a timer that makes delayed jobs ready when
// they are due, and a collector that joins finished jobs and stores their results. Each
// sleeps without a time limit while it has nothing to do, so an idle scheduler makes no
// wake-ups.
//
// A job counts as finished once its function has returned (or thrown, or returned no
// record) and its thread has been joined, or when it will never run: cancelled before it
// started, or left waiting when the scheduler stopped.
class KrRarediScheduler2 {
public:
    using JobId = std::uint64_t;
    using Record = KrRarediJobParametersAndResult;
    // Takes the job's record and gives back its result, normally the same record.
    using JobFunction = std::function<std::unique_ptr<Record>(std::unique_ptr<Record>)>;

    static constexpr std::size_t kNoLimit = 0;

    // At most maxRunning jobs run at once; the others wait in the ready list, in order, until
    // one ends. The system runs every job at once (kNoLimit).
    explicit KrRarediScheduler2(std::size_t maxRunning = kNoLimit) : maxRunning_(maxRunning) {}
    // Calls the stop callback of every running job and waits until they have all ended.
    ~KrRarediScheduler2();

    KrRarediScheduler2(const KrRarediScheduler2&) = delete;
    KrRarediScheduler2& operator=(const KrRarediScheduler2&) = delete;

    // Queues the job and returns its id: 1, 2, 3, ... across the process. Without
    // parameters a fresh record is made. The record's jobId is set, and its mode is the
    // descriptor's.
    JobId submitJob(JobFunction function, std::unique_ptr<Record> parameters,
                    KrRarediJobDescriptor descriptor);

    // True when the job has finished, and for ids that are unknown (never given, or taken).
    bool isFinished(JobId id) const;

    // Blocks until isFinished(id), without holding any lock that finishing needs.
    void waitUntilFinished(JobId id);
    // The same, giving up after limit; true when the job has finished.
    bool waitUntilFinished(JobId id, std::chrono::milliseconds limit);

    // A finished job's result, removed from the scheduler. None for an unfinished or unknown
    // job, which stays as it is.
    std::unique_ptr<Record> takeJob(JobId id);

    // The job will not start again: one that waits to run is finished at once, a running one
    // when it returns. Unknown ids are ignored.
    void cancelJob(JobId id);

    // Rounds of the three workers so far.
    std::uint64_t workerPasses() const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { kReady, kRunning, kDelayed, kFinished };

    struct Job {
        JobFunction function;
        KrRarediJobDescriptor descriptor;
        std::unique_ptr<Record> record;  // the parameters, or the result once finished
        Phase phase = Phase::kReady;
        bool cancelled = false;
        std::multimap<Clock::time_point, JobId>::iterator delayedAt;
    };
    struct Ended {
        JobId id;
        std::thread thread;
        std::unique_ptr<Record> result;
    };

    void startWorkersLocked();
    void dispatchLoop();
    void timerLoop();
    void collectLoop();
    void runJob(JobId id, const JobFunction& function, std::unique_ptr<Record> record);
    void settleLocked(JobId id, std::unique_ptr<Record> result);
    void finishLocked(Job& job);
    bool isFinishedLocked(JobId id) const;
    bool roomToRunLocked() const;

    const std::size_t maxRunning_;

    // Guards every member below except the worker threads. Job functions and stop callbacks
    // run without it; nothing else is locked under it.
    mutable std::mutex mutex_;
    std::condition_variable dispatchWake_;  // ready_ filled, a job ended, or stopping_
    std::condition_variable timerWake_;     // delayed_ changed, or stopping_
    std::condition_variable collectWake_;   // ended_ filled, or stopping_ with nothing running
    std::condition_variable finishedWake_;  // a job finished
    bool stopping_ = false;
    bool workersStarted_ = false;
    std::map<JobId, Job> jobs_;
    std::deque<JobId> ready_;
    std::multimap<Clock::time_point, JobId> delayed_;  // by due time
    std::map<JobId, std::thread> running_;
    std::vector<Ended> ended_;  // returned, not yet joined
    std::uint64_t passes_ = 0;

    // Started under mutex_ by the first submission, joined by the destructor.
    std::thread dispatcher_;
    std::thread timer_;
    std::thread collector_;
};

namespace kr {

// Submits a job that runs loop once; stop is its stop callback and must make loop return.
// The hub and the servers run their long loops (receive, send, listen, buffer) this way.
KrRarediScheduler2::JobId submitLoopJob(KrRarediScheduler2& scheduler, std::string name,
                                        std::function<void()> loop, std::function<void()> stop);

// Waits until the job has finished and drops it from the scheduler; nothing for id 0.
void waitForJob(KrRarediScheduler2& scheduler, KrRarediScheduler2::JobId id);

}  // namespace kr
