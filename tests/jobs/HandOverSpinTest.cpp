#include "jobs/HandOverSpin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

// Time moves only when a test moves it: the looks below never wait for a real clock.
struct FakeClock {
    using duration = nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<FakeClock>;

    static time_point now() { return current; }
    static inline time_point current{};
};

using Spin = kr::BasicHandOverSpin<FakeClock>;
constexpr std::chrono::microseconds kWindow{200};
constexpr auto kLookTime = 10us;

// Work that turns up at a given time; each look at it that finds none takes kLookTime.
struct Arrival {
    FakeClock::time_point due;
    int looks = 0;

    bool operator()() {
        ++looks;
        if (FakeClock::now() >= due) {
            return true;
        }
        FakeClock::current += kLookTime;
        return false;
    }
};

class HandOverSpin : public ::testing::Test {
protected:
    void SetUp() override { FakeClock::current = FakeClock::time_point{1h}; }

    static Spin other() { return Spin(nullptr, kWindow); }

    // The thread runs out of work, and the next comes after the gap: found by looking, or
    // else the thread sleeps and is woken by it. How many looks it took.
    static int nextWorkAfter(Spin& spin, nanoseconds gap) {
        Arrival work{FakeClock::now() + gap};
        if (!spin.spin(std::ref(work))) {
            FakeClock::current = std::max(FakeClock::now(), work.due);
            spin.woke();
        }
        return work.looks;
    }
};

TEST_F(HandOverSpin, AThreadStartsWithoutLooking) {
    Spin spin = other();
    EXPECT_FALSE(spin.looks());
    EXPECT_EQ(nextWorkAfter(spin, 30us), 1);
}

TEST_F(HandOverSpin, WorkAlreadyThereIsTakenAtOnceWhetherOrNotItLooks) {
    for (const int closeGaps : {0, 1, 2}) {
        Spin spin = other();
        for (int i = 0; i < closeGaps; ++i) {
            nextWorkAfter(spin, 30us);
        }
        Arrival work{FakeClock::now()};
        EXPECT_TRUE(spin.spin(std::ref(work))) << closeGaps;
        EXPECT_EQ(work.looks, 1) << closeGaps;
    }
}

TEST_F(HandOverSpin, ItLooksOnlyAfterTwoGapsInARowWithinTheWindow) {
    struct Case {
        const char* what;
        std::vector<nanoseconds> gaps;
        bool looks;
    };
    const std::vector<Case> cases = {
        {"one close gap", {30us}, false},
        {"two close gaps", {30us, 30us}, true},
        {"just within the window", {kWindow - 1us, kWindow - 1us}, true},
        {"the window is not within it", {kWindow, kWindow}, false},
        {"a request every millisecond", {1ms, 1ms, 1ms}, false},
        {"a request every 5 ms", {5ms, 5ms, 5ms}, false},
        {"one request late, right after the answer before", {1ms, 1ms, 20us, 1ms, 1ms}, false},
        {"a long gap ends a run of close ones", {30us, 30us, 30us, 2ms}, false},
        {"close gaps after a long one", {2ms, 30us, 30us}, true},
        {"a long gap between two close ones", {30us, 2ms, 30us}, false},
    };
    for (const Case& c : cases) {
        Spin spin = other();
        for (const nanoseconds gap : c.gaps) {
            nextWorkAfter(spin, gap);
        }
        EXPECT_EQ(spin.looks(), c.looks) << c.what;
    }
}

TEST_F(HandOverSpin, AtAnEverydayRateEveryWaitLooksOnce) {
    Spin spin = other();
    const std::vector<nanoseconds> gaps = {1ms, 1ms, 20us, 1ms, 1ms, 20us, 1ms, 5ms};
    for (const nanoseconds gap : gaps) {
        EXPECT_EQ(nextWorkAfter(spin, gap), 1) << gap.count() << " ns";
    }
}

TEST_F(HandOverSpin, WorkFoundByLookingKeepsItLooking) {
    Spin spin = other();
    nextWorkAfter(spin, 30us);
    nextWorkAfter(spin, 30us);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(spin.looks()) << "round " << round;
        Arrival work{FakeClock::now() + 40us};
        EXPECT_TRUE(spin.spin(std::ref(work))) << "round " << round;
        EXPECT_EQ(work.looks, 5) << "round " << round;
    }
}

TEST_F(HandOverSpin, ALookThatRunsOutOfTimeStopsTheLooking) {
    Spin spin = other();
    nextWorkAfter(spin, 30us);
    nextWorkAfter(spin, 30us);
    ASSERT_TRUE(spin.looks());

    const auto start = FakeClock::now();
    Arrival never{FakeClock::time_point::max()};
    EXPECT_FALSE(spin.spin(std::ref(never)));
    EXPECT_GE(FakeClock::now() - start, kWindow) << "it looked for the whole window";
    EXPECT_LE(never.looks, kWindow / kLookTime + 1);
    EXPECT_FALSE(spin.looks());

    // Close gaps again, two in a row, bring the looking back.
    EXPECT_EQ(nextWorkAfter(spin, 30us), 1);
    EXPECT_FALSE(spin.looks());
    EXPECT_EQ(nextWorkAfter(spin, 30us), 1);
    EXPECT_TRUE(spin.looks());
    EXPECT_EQ(nextWorkAfter(spin, 30us), 4);
}

TEST_F(HandOverSpin, AStageThatFeedsTheBufferJobsSleepsWhileTheyAreBehind) {
    kr::HandOverBacklog backlog;
    backlog.served(40us);
    Spin feeding(&backlog, kWindow);
    Spin counted = other();
    for (Spin* spin : {&feeding, &counted}) {
        nextWorkAfter(*spin, 30us);
        nextWorkAfter(*spin, 30us);
        ASSERT_TRUE(spin->looks());
    }

    backlog.queued();
    backlog.queued();
    ASSERT_TRUE(backlog.behind());
    EXPECT_EQ(nextWorkAfter(feeding, 30us), 1) << "it slept instead of looking";
    EXPECT_EQ(nextWorkAfter(counted, 30us), 4) << "the buffer job goes on looking";
    // Sleeping through a backlog says nothing against the rate: once the buffer jobs have
    // caught up, the stage looks again at once.
    EXPECT_TRUE(feeding.looks());
    backlog.taken();
    EXPECT_FALSE(backlog.behind());
    EXPECT_EQ(nextWorkAfter(feeding, 30us), 4);
}

TEST_F(HandOverSpin, TheBufferJobsAreBehindWhenTheirQueuedWorkOutlastsTheWakeUps) {
    struct Case {
        nanoseconds served;  // what a request has cost the buffer jobs
        std::size_t waiting;
        bool behind;
    };
    const auto cover = nanoseconds(kr::HandOverBacklog::kCover);
    const std::vector<Case> cases = {
        {cover, 1, false},     // one request waiting is never behind
        {cover / 2, 2, true},  // two of half the cover each
        {cover / 2 - 1ns, 2, false},
        {cover / 3 + 1ns, 3, true},  // a cheaper request makes more wait first
        {cover / 6 + 1ns, 5, false},
        {cover / 6 + 1ns, 6, true},
        {0ns, 100, false},  // nothing served yet says nothing of the cost
    };
    for (const Case& c : cases) {
        kr::HandOverBacklog backlog;
        if (c.served > 0ns) {
            backlog.served(c.served);
        }
        for (std::size_t i = 0; i < c.waiting; ++i) {
            backlog.queued();
        }
        EXPECT_EQ(backlog.behind(), c.behind) << c.served.count() << " ns, " << c.waiting;
        backlog.taken(c.waiting);
        EXPECT_FALSE(backlog.behind()) << "taken together, they count out together";
    }
}

TEST_F(HandOverSpin, WhatARequestCostsFollowsTheRecentRequests) {
    kr::HandOverBacklog backlog;
    backlog.served(60us);
    backlog.queued();
    backlog.queued();
    ASSERT_TRUE(backlog.behind());
    // Requests that cost next to nothing bring the mean down, until two waiting are no
    // longer behind.
    int cheap = 0;
    while (backlog.behind() && cheap < 100) {
        backlog.served(1us);
        ++cheap;
    }
    EXPECT_FALSE(backlog.behind());
    EXPECT_GT(cheap, 1) << "one cheap request does not outweigh the ones before";
    EXPECT_LT(cheap, 100);
}

}  // namespace
