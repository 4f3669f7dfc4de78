#include "jobs/KrJob.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "JobTestSupport.h"
#include "jobs/KrIdGenerator.h"
#include "jobs/KrJobWithTimeout.h"

namespace {

using namespace std::chrono_literals;
using jobtest::RecordingJob;
using jobtest::textMessage;

bool isDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

TEST(Identifiers, HaveThePrefixThenMicrosecondsThenSeconds) {
    const KrJobInstance<KrJob> job;
    ASSERT_EQ(job.id().size(), 23u);
    EXPECT_EQ(job.id().substr(0, 5), "_job*");
    EXPECT_TRUE(isDigits(job.id().substr(5)));

    const std::string name = KrIdGenerator::registrationNames().makeUniqueJobId();
    ASSERT_EQ(name.size(), 29u);
    EXPECT_EQ(name.substr(0, 11), "joinedtask*");
    EXPECT_TRUE(isDigits(name.substr(11)));

    const std::string plain = KrIdGenerator::jobIds().makeId("nuxelid");
    ASSERT_EQ(plain.size(), 25u);
    EXPECT_EQ(plain.substr(0, 7), "nuxelid");
    EXPECT_TRUE(isDigits(plain.substr(7)));

    EXPECT_EQ(kr::commonErrorName().substr(0, 13), "__commonError");
    EXPECT_EQ(kr::commonErrorName(), kr::commonErrorName());
}

TEST(Identifiers, DigitsAreSevenOfMicrosecondsAndElevenOfSeconds) {
    const std::pair<std::int64_t, std::string> cases[] = {
        {0, "000000000000000000"},         {999'999, "099999900000000000"},
        {1'000'000, "000000000000000001"}, {1'733'779'200'123'456, "012345601733779200"},
        {-5, "000000000000000000"},
        {123'456'789'012'000'007, "0000007123456789012"},  // wider seconds are not cut
        {9'223'372'036'854'775'807, "07758079223372036854"},
    };
    for (const auto& [microseconds, digits] : cases) {
        EXPECT_EQ(kr::idDigits(microseconds), digits) << microseconds;
    }
}

std::int64_t frozenClock() { return 1'733'779'200'999'999; }

std::atomic<std::int64_t> steppingClockValue{0};
std::int64_t steppingClock() { return steppingClockValue.load(); }

TEST(Identifiers, AClockThatStandsStillOrStepsBackStillGivesLaterIds) {
    KrIdGenerator frozen("t", frozenClock);
    EXPECT_EQ(frozen.makeUniqueJobId(), "t*099999901733779200");
    // The next microsecond carries into the next second.
    EXPECT_EQ(frozen.makeUniqueJobId(), "t*000000001733779201");
    EXPECT_EQ(frozen.makeId("s"), "s000000101733779201");

    KrIdGenerator stepping("t", steppingClock);
    steppingClockValue = 5'000'000;
    EXPECT_EQ(stepping.makeId(""), kr::idDigits(5'000'000));
    steppingClockValue = 4'000'000;
    EXPECT_EQ(stepping.makeId(""), kr::idDigits(5'000'001));
    steppingClockValue = 7'000'000;
    EXPECT_EQ(stepping.makeId(""), kr::idDigits(7'000'000));
}

TEST(Identifiers, AHundredThousandIdsFromSeveralThreadsAreDistinct) {
    constexpr int kThreads = 8;
    constexpr int kEach = 12'500;
    std::vector<std::vector<std::string>> made(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&made, t] {
                made[t].reserve(kEach);
                for (int i = 0; i < kEach; ++i) {
                    made[t].push_back(KrIdGenerator::jobIds().makeUniqueJobId());
                }
            });
        }
    }
    std::set<std::string> distinct;
    for (const auto& ids : made) {
        distinct.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kEach));
}

TEST(Job, JobsMadeBackToBackHaveDifferentIdsAndAreCounted) {
    const std::int64_t before = KrJob::liveCount();
    {
        const KrJobInstance<KrJob> first;
        const KrJobInstance<KrJob> second;
        EXPECT_NE(first.id(), second.id());
        EXPECT_EQ(KrJob::liveCount(), before + 2);
    }
    EXPECT_EQ(KrJob::liveCount(), before);
}

TEST(Job, BaseOperationsRefusePostsAndAcceptMessages) {
    KrJobInstance<KrJob> job;
    EXPECT_FALSE(job.postTo(job.id(), textMessage("x")));
    EXPECT_TRUE(job.onMessage(textMessage("x")));
    EXPECT_FALSE(job.unregisterJob());  // never linked
}

TEST(JobState, ChangesOnlyToANewStateAndOnlyWhenTheCallbackAgrees) {
    KrJobInstance<KrJob> job;
    EXPECT_EQ(job.state(), 0u);
    EXPECT_FALSE(job.setState(0));
    EXPECT_TRUE(job.setState(6));
    EXPECT_EQ(job.state(), 6u);
    EXPECT_FALSE(job.setState(6));

    int calls = 0;
    bool agree = false;
    job.setStateChangeCallback([&] {
        ++calls;
        return agree;
    });
    EXPECT_FALSE(job.setState(5));
    EXPECT_EQ(job.state(), 6u);
    EXPECT_EQ(job.requestedState(), 5u);
    EXPECT_FALSE(job.setState(5));  // already asked for: no second call
    EXPECT_EQ(calls, 1);
    agree = true;
    EXPECT_TRUE(job.setState(7));
    EXPECT_EQ(job.state(), 7u);
    EXPECT_EQ(calls, 2);
}

TEST(JobState, TheCallbackRunsWithoutTheStateLock) {
    KrJobInstance<KrJob> job;
    std::string seen;
    job.setStateChangeCallback([&] {
        seen = job.subscription();  // takes the state lock
        return job.requestedState() == 6;
    });
    ASSERT_FALSE(job.subscribe("no such name"));
    EXPECT_TRUE(job.setState(6));
    EXPECT_EQ(seen, "no such name");
}

TEST(JobSubscription, UnsubscribeLastLeavesTheRememberedName) {
    KrJobInstance<RecordingJob> owner;
    KrJobInstance<RecordingJob> member;
    const std::string name = owner.registerJob("owner");
    ASSERT_TRUE(member.subscribe(name));
    EXPECT_EQ(member.subscription(), name);
    EXPECT_TRUE(member.unsubscribeLast(""));
    EXPECT_EQ(member.subscription(), "");
    // Nothing remembered any more: the empty name is refused.
    EXPECT_FALSE(member.unsubscribeLast(""));
    EXPECT_FALSE(member.unsubscribe(name));
}

TEST(JobWithTimeout, ReportsATimeoutThenRearmsWithoutRestarting) {
    class Timed : public KrJobWithTimeout {
    public:
        explicit Timed(std::uint64_t timeout) : KrJobWithTimeout(timeout) {}
    };

    KrJobInstance<Timed> patient(3'600'000'000);
    EXPECT_FALSE(patient.checkTimeout());
    EXPECT_TRUE(patient.timeoutArmed());

    KrJobInstance<Timed> idle(1'000);
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(idle.checkTimeout());
    EXPECT_FALSE(idle.timeoutArmed());
    EXPECT_FALSE(idle.checkTimeout());  // re-armed, deadline still past
    EXPECT_TRUE(idle.timeoutArmed());
    EXPECT_TRUE(idle.checkTimeout());
}

TEST(JobWithTimeout, RestartingADisarmedJobKeepsTheOldDeadline) {
    class Timed : public KrJobWithTimeout {
    public:
        explicit Timed(std::uint64_t timeout) : KrJobWithTimeout(timeout) {}
    };

    KrJobInstance<Timed> job(1'000);
    std::this_thread::sleep_for(5ms);
    job.disarmTimeout();
    job.restartTimeout();  // ignored
    EXPECT_FALSE(job.checkTimeout());
    EXPECT_TRUE(job.checkTimeout());
}

}  // namespace
