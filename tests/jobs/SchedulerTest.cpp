#include "jobs/KrRarediScheduler2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "JobTestSupport.h"

namespace {

using namespace std::chrono_literals;
using jobtest::kPatience;
using Record = KrRarediScheduler2::Record;
using JobId = KrRarediScheduler2::JobId;

// A job body that counts its runs and hands its record back.
KrRarediScheduler2::JobFunction counting(std::atomic<int>& runs) {
    return [&runs](std::unique_ptr<Record> record) {
        ++runs;
        return record;
    };
}

KrRarediJobDescriptor named(std::string name, std::uint32_t mode = KrRarediJobDescriptor::kRunOnce,
                            std::chrono::microseconds delay = 0us) {
    KrRarediJobDescriptor descriptor;
    descriptor.name = std::move(name);
    descriptor.mode = mode;
    descriptor.delay = delay;
    return descriptor;
}

// Whether the workers make no pass in one of the given number of 200 ms windows, one after
// the other. Each pass still owed to earlier work spoils one window at most; a worker that
// wakes while nothing is due spoils every one.
bool aWindowWithoutPasses(const KrRarediScheduler2& scheduler, int windows) {
    for (int window = 0; window < windows; ++window) {
        const std::uint64_t before = scheduler.workerPasses();
        std::this_thread::sleep_for(200ms);
        if (scheduler.workerPasses() == before) {
            return true;
        }
    }
    return false;
}

// A loop that runs until told to stop, the way listener and buffer loops do: its stop
// callback clears the run flag and wakes it.
class StoppableLoop {
public:
    KrRarediScheduler2::JobFunction body() {
        return [this](std::unique_ptr<Record> record) {
            std::unique_lock lock(mutex_);
            started_ = true;
            wake_.notify_all();
            wake_.wait(lock, [this] { return !running_; });
            return record;
        };
    }

    KrRarediJobDescriptor descriptor() {
        KrRarediJobDescriptor descriptor = named("loop");
        descriptor.stop = [this] { stop(); };
        return descriptor;
    }

    void stop() {
        std::lock_guard lock(mutex_);
        ++stopCalls_;
        running_ = false;
        wake_.notify_all();
    }

    bool waitStarted() {
        std::unique_lock lock(mutex_);
        return wake_.wait_for(lock, kPatience, [this] { return started_; });
    }

    int stopCalls() {
        std::lock_guard lock(mutex_);
        return stopCalls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = true;  // set before the job is submitted
    bool started_ = false;
    int stopCalls_ = 0;
};

TEST(SchedulerIds, StartAtOneAndRiseByOneAcrossTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a fresh process of its own, so that no earlier test has taken ids.
    EXPECT_EXIT(
        {
            JobId first = 0;
            JobId second = 0;
            JobId third = 0;
            {
                std::atomic<int> runs{0};
                KrRarediScheduler2 one;
                first = one.submitJob(counting(runs), nullptr, named("a"));
                second = one.submitJob(counting(runs), nullptr, named("b"));
                KrRarediScheduler2 another;
                third = another.submitJob(counting(runs), nullptr, named("c"));
                one.waitUntilFinished(first);
                one.waitUntilFinished(second);
                another.waitUntilFinished(third);
            }
            std::exit(first == 1 && second == 2 && third == 3 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Scheduler, UnknownIdsCountAsFinishedAndHaveNoResult) {
    KrRarediScheduler2 scheduler;
    EXPECT_TRUE(scheduler.isFinished(987654321));
    EXPECT_EQ(scheduler.takeJob(987654321), nullptr);
    scheduler.cancelJob(987654321);  // ignored
    EXPECT_TRUE(scheduler.waitUntilFinished(987654321, 0ms));
}

TEST(Scheduler, AJobRunsOnceAndItsResultIsTakenOnce) {
    class Numbers : public Record {
    public:
        int input = 20;
        int output = 0;
    };
    KrRarediScheduler2 scheduler;
    auto parameters = std::make_unique<Numbers>();
    const Numbers* given = parameters.get();
    std::atomic<int> runs{0};
    const JobId id = scheduler.submitJob(
        [&runs](std::unique_ptr<Record> record) {
            ++runs;
            auto& numbers = dynamic_cast<Numbers&>(*record);
            numbers.output = numbers.input + 1;
            return record;
        },
        std::move(parameters), named("once"));
    scheduler.waitUntilFinished(id);
    EXPECT_TRUE(scheduler.isFinished(id));
    EXPECT_EQ(runs, 1);

    std::unique_ptr<Record> result = scheduler.takeJob(id);
    ASSERT_EQ(result.get(), given);
    EXPECT_EQ(result->jobId, id);
    EXPECT_EQ(result->code, 1);
    EXPECT_EQ(dynamic_cast<Numbers&>(*result).output, 21);
    EXPECT_EQ(scheduler.takeJob(id), nullptr);
    EXPECT_TRUE(scheduler.isFinished(id));
}

TEST(Scheduler, AnUnfinishedJobIsNotTaken) {
    KrRarediScheduler2 scheduler;
    StoppableLoop loop;
    const JobId id = scheduler.submitJob(loop.body(), nullptr, loop.descriptor());
    ASSERT_TRUE(loop.waitStarted());
    EXPECT_FALSE(scheduler.isFinished(id));
    EXPECT_EQ(scheduler.takeJob(id), nullptr);
    EXPECT_FALSE(scheduler.waitUntilFinished(id, 50ms));
    loop.stop();
    scheduler.waitUntilFinished(id);
    EXPECT_NE(scheduler.takeJob(id), nullptr);
}

TEST(Scheduler, AJobThatThrowsOrReturnsNothingCountsAsFinished) {
    KrRarediScheduler2 scheduler;
    const JobId throwsStd = scheduler.submitJob(
        [](std::unique_ptr<Record>) -> std::unique_ptr<Record> {
            throw std::runtime_error("job failed");
        },
        nullptr, named("throws"));
    const JobId throwsOther =
        scheduler.submitJob([](std::unique_ptr<Record>) -> std::unique_ptr<Record> { throw 7; },
                            nullptr, named("throws too"));
    const JobId returnsNothing =
        scheduler.submitJob([](std::unique_ptr<Record>) { return std::unique_ptr<Record>(); },
                            nullptr, named("nothing"));
    for (const JobId id : {throwsStd, throwsOther, returnsNothing}) {
        ASSERT_TRUE(scheduler.waitUntilFinished(id, kPatience)) << id;
        EXPECT_EQ(scheduler.takeJob(id), nullptr) << id;
    }
    // The workers survived: later jobs still run.
    std::atomic<int> runs{0};
    const JobId later = scheduler.submitJob(counting(runs), nullptr, named("later"));
    ASSERT_TRUE(scheduler.waitUntilFinished(later, kPatience));
    EXPECT_EQ(runs, 1);
}

TEST(Scheduler, ARepeatingJobRunsAgainUntilCancelled) {
    KrRarediScheduler2 scheduler;
    std::mutex mutex;
    std::condition_variable ran;
    int runs = 0;
    const JobId id = scheduler.submitJob(
        [&](std::unique_ptr<Record> record) {
            std::lock_guard lock(mutex);
            ++runs;
            ran.notify_all();
            return record;
        },
        nullptr, named("again", KrRarediJobDescriptor::kRunAgain));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(ran.wait_for(lock, kPatience, [&] { return runs >= 5; }));
    }
    EXPECT_FALSE(scheduler.isFinished(id));
    scheduler.cancelJob(id);
    ASSERT_TRUE(scheduler.waitUntilFinished(id, kPatience));
    int runsAtFinish = 0;
    {
        std::lock_guard lock(mutex);
        runsAtFinish = runs;
    }
    std::this_thread::sleep_for(50ms);
    std::lock_guard lock(mutex);
    EXPECT_EQ(runs, runsAtFinish);
}

TEST(Scheduler, AResultCanEndTheRepetition) {
    KrRarediScheduler2 scheduler;
    std::atomic<int> runs{0};
    const JobId id = scheduler.submitJob(
        [&runs](std::unique_ptr<Record> record) {
            if (++runs == 3) {
                record->mode = KrRarediJobDescriptor::kRunOnce;
            }
            return record;
        },
        nullptr, named("three times", KrRarediJobDescriptor::kRunAgain));
    ASSERT_TRUE(scheduler.waitUntilFinished(id, kPatience));
    EXPECT_EQ(runs, 3);
}

TEST(Scheduler, ACancelledDelayedJobNeverRunsAgainAndAnIdleTimerSleeps) {
    KrRarediScheduler2 scheduler;
    std::atomic<int> runs{0};
    const JobId id = scheduler.submitJob(counting(runs), nullptr,
                                         named("hourly", KrRarediJobDescriptor::kRunAgain, 1h));
    // After its first run the job waits an hour in the delayed list.
    while (runs == 0) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(scheduler.waitUntilFinished(id, 100ms));
    // The first run may still be settling: the collector's pass that files the job under its
    // time and the timer's pass that takes the new time up, once each.
    EXPECT_TRUE(aWindowWithoutPasses(scheduler, 3)) << "the workers woke while nothing was due";

    scheduler.cancelJob(id);
    ASSERT_TRUE(scheduler.waitUntilFinished(id, kPatience));
    EXPECT_EQ(runs, 1);
    EXPECT_NE(scheduler.takeJob(id), nullptr);
}

TEST(Scheduler, AnIdleSchedulerMakesNoWakeUps) {
    KrRarediScheduler2 scheduler;
    std::atomic<int> runs{0};
    const JobId id = scheduler.submitJob(counting(runs), nullptr, named("once"));
    scheduler.waitUntilFinished(id);
    const std::uint64_t before = scheduler.workerPasses();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(scheduler.workerPasses(), before);
}

TEST(Scheduler, ACancelledRunningJobFinishesWhenItReturnsAndIsNotRepeated) {
    KrRarediScheduler2 scheduler;
    StoppableLoop loop;
    KrRarediJobDescriptor descriptor = loop.descriptor();
    descriptor.mode = KrRarediJobDescriptor::kRunAgain;
    const JobId id = scheduler.submitJob(loop.body(), nullptr, descriptor);
    ASSERT_TRUE(loop.waitStarted());
    scheduler.cancelJob(id);
    EXPECT_FALSE(scheduler.isFinished(id));
    loop.stop();
    EXPECT_TRUE(scheduler.waitUntilFinished(id, kPatience));
}

// With one place to run, a job that holds it keeps the jobs after it in the ready list: one
// cancelled there never runs, and the one behind it runs once the place is free.
TEST(Scheduler, AJobCancelledWhileItWaitsInTheReadyListNeverRuns) {
    KrRarediScheduler2 scheduler(1);
    StoppableLoop holder;
    const JobId holding = scheduler.submitJob(holder.body(), nullptr, holder.descriptor());
    ASSERT_TRUE(holder.waitStarted());
    std::atomic<int> cancelledRuns{0};
    std::atomic<int> laterRuns{0};
    const JobId cancelled =
        scheduler.submitJob(counting(cancelledRuns), nullptr, named("cancelled"));
    const JobId later = scheduler.submitJob(counting(laterRuns), nullptr, named("later"));
    EXPECT_FALSE(scheduler.isFinished(cancelled));
    scheduler.cancelJob(cancelled);
    EXPECT_TRUE(scheduler.isFinished(cancelled)) << "a job that will never run is finished";
    EXPECT_EQ(laterRuns, 0) << "only one job runs at a time";

    holder.stop();
    ASSERT_TRUE(scheduler.waitUntilFinished(holding, kPatience));
    ASSERT_TRUE(scheduler.waitUntilFinished(later, kPatience));
    EXPECT_EQ(laterRuns, 1);
    EXPECT_EQ(cancelledRuns, 0);
}

TEST(Scheduler, WaitingLeavesTheSchedulerFreeForTheJobItWaitsFor) {
    KrRarediScheduler2 scheduler;
    std::atomic<int> innerRuns{0};
    JobId inner = 0;
    const JobId outer = scheduler.submitJob(
        [&](std::unique_ptr<Record> record) {
            // Everything here needs the scheduler's lock while the test thread waits.
            inner = scheduler.submitJob(counting(innerRuns), nullptr, named("inner"));
            scheduler.waitUntilFinished(inner);
            (void)scheduler.isFinished(inner);
            return record;
        },
        nullptr, named("outer"));
    ASSERT_TRUE(scheduler.waitUntilFinished(outer, kPatience));
    EXPECT_EQ(innerRuns, 1);
}

TEST(SchedulerShutdown, ASchedulerThatNeverRanAJobEndsAtOnce) {
    auto ended = std::async(std::launch::async, [] { KrRarediScheduler2 unused; });
    EXPECT_EQ(ended.wait_for(kPatience), std::future_status::ready);
}

TEST(SchedulerShutdown, StopsEveryRunningJobThroughItsStopCallback) {
    StoppableLoop first;
    StoppableLoop second;
    auto scheduler = std::make_unique<KrRarediScheduler2>();
    scheduler->submitJob(first.body(), nullptr, first.descriptor());
    scheduler->submitJob(second.body(), nullptr, second.descriptor());
    ASSERT_TRUE(first.waitStarted());
    ASSERT_TRUE(second.waitStarted());

    auto ended = std::async(std::launch::async, [&scheduler] { scheduler.reset(); });
    ASSERT_EQ(ended.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(first.stopCalls(), 1);
    EXPECT_EQ(second.stopCalls(), 1);
}

TEST(SchedulerShutdown, AJobSubmittedWhileStoppingNeverRunsAndDoesNotHoldUpAWaiter) {
    StoppableLoop loop;
    std::atomic<int> lateRuns{0};
    auto scheduler = std::make_unique<KrRarediScheduler2>();
    KrRarediScheduler2* raw = scheduler.get();
    auto body = loop.body();
    scheduler->submitJob(
        [&, raw, body](std::unique_ptr<Record> record) {
            record = body(std::move(record));
            // Stopped: a job submitted now must count as finished, or this wait never ends.
            const JobId late = raw->submitJob(counting(lateRuns), nullptr, named("late"));
            raw->waitUntilFinished(late);
            return record;
        },
        nullptr, loop.descriptor());
    ASSERT_TRUE(loop.waitStarted());

    auto ended = std::async(std::launch::async, [&scheduler] { scheduler.reset(); });
    ASSERT_EQ(ended.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(lateRuns, 0);
}

}  // namespace
