#include "jobs/HandOverSpin.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

using namespace std::chrono_literals;

// Time moves only when a test moves it: the looks below never wait for a real clock.
struct FakeClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<FakeClock>;
    static constexpr bool is_steady = true;

    static time_point now() { return current; }
    static inline time_point current{};
};

using Spin = kr::BasicHandOverSpin<FakeClock>;
constexpr std::chrono::microseconds kWindow{200};

class HandOverSpin : public ::testing::Test {
protected:
    void SetUp() override { FakeClock::current = FakeClock::time_point{1h}; }

    // A thread that did not look (it has just started), ran out of work, slept, and was
    // woken with work after the gap.
    static void sleptAndWoke(Spin& spin, std::chrono::nanoseconds gap) {
        ASSERT_FALSE(spin.looks());
        EXPECT_FALSE(spin.spin([] { return false; }));
        FakeClock::current += gap;
        spin.woke();
    }

    // Work that turns up at the given look (1 = the first), each look 10 µs after the last;
    // never, with 0. Counts the looks.
    struct Arrival {
        int at = 0;
        int looks = 0;
        bool operator()() {
            ++looks;
            if (at != 0 && looks >= at) {
                return true;
            }
            FakeClock::current += 10us;
            return false;
        }
    };
};

TEST_F(HandOverSpin, AThreadStartsWithoutLooking) {
    Spin spin(kWindow);
    EXPECT_FALSE(spin.looks());
    Arrival work{.at = 3};
    EXPECT_FALSE(spin.spin(std::ref(work)));
    EXPECT_EQ(work.looks, 1);
}

TEST_F(HandOverSpin, WorkAlreadyThereIsTakenAtOnceWhetherOrNotItLooks) {
    for (const bool looking : {false, true}) {
        Spin spin(kWindow);
        if (looking) {
            sleptAndWoke(spin, 50us);
        }
        ASSERT_EQ(spin.looks(), looking);
        Arrival work{.at = 1};
        EXPECT_TRUE(spin.spin(std::ref(work)));
        EXPECT_EQ(work.looks, 1);
    }
}

TEST_F(HandOverSpin, TheGapOfTheLastWakeDecidesWhetherTheNextLooks) {
    struct Case {
        std::chrono::nanoseconds gap;
        bool looks;
    };
    // A request every 5 ms or every millisecond (an everyday rate) sleeps at once; one that
    // follows within the window is looked for.
    for (const Case c : {Case{5ms, false}, Case{1ms, false}, Case{kWindow, false},
                         Case{kWindow - 1us, true}, Case{30us, true}, Case{0us, true}}) {
        Spin spin(kWindow);
        sleptAndWoke(spin, c.gap);
        EXPECT_EQ(spin.looks(), c.looks) << c.gap.count() << " ns";
        Arrival work{.at = 4};
        EXPECT_EQ(spin.spin(std::ref(work)), c.looks) << c.gap.count() << " ns";
        EXPECT_EQ(work.looks, c.looks ? 4 : 1) << c.gap.count() << " ns";
    }
}

TEST_F(HandOverSpin, WorkFoundByLookingKeepsItLooking) {
    Spin spin(kWindow);
    sleptAndWoke(spin, 20us);
    for (int round = 0; round < 3; ++round) {
        Arrival work{.at = 5};
        ASSERT_TRUE(spin.spin(std::ref(work))) << "round " << round;
        EXPECT_TRUE(spin.looks());
    }
}

TEST_F(HandOverSpin, ALookThatRunsOutOfTimeStopsTheNextFromLooking) {
    Spin spin(kWindow);
    sleptAndWoke(spin, 20us);
    const auto start = FakeClock::now();
    Arrival never;
    EXPECT_FALSE(spin.spin(std::ref(never)));
    EXPECT_GE(FakeClock::now() - start, kWindow) << "it looked for the whole window";
    EXPECT_LE(never.looks, 22);
    EXPECT_FALSE(spin.looks());

    Arrival later{.at = 2};
    EXPECT_FALSE(spin.spin(std::ref(later)));
    EXPECT_EQ(later.looks, 1);

    // Woken soon after that, it looks again.
    FakeClock::current += 40us;
    spin.woke();
    EXPECT_TRUE(spin.looks());
}

}  // namespace
