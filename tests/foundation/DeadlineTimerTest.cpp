#include "foundation/KrDeadlineTimer.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/Clock.h"

namespace {

using namespace std::chrono_literals;

TEST(DeadlineTimer, ZeroTimeoutIsExpiredAtOnce) {
    const KrDeadlineTimer timer(0);
    EXPECT_TRUE(timer.expired());
}

TEST(DeadlineTimer, LongTimeoutIsNotExpiredAfterARestart) {
    KrDeadlineTimer timer(115'000'000);
    EXPECT_FALSE(timer.expired());
    timer.restart(115'000'000);
    EXPECT_FALSE(timer.expired());
}

TEST(DeadlineTimer, ExpiresOnceTheTimeoutHasPassed) {
    const KrDeadlineTimer timer(1'000);  // 1 ms
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(timer.expired());
}

TEST(DeadlineTimer, RestartReplacesTheTimeout) {
    KrDeadlineTimer timer(0);
    ASSERT_TRUE(timer.expired());
    timer.restart(3'600'000'000);
    EXPECT_FALSE(timer.expired());
    timer.restart(0);
    EXPECT_TRUE(timer.expired());
}

TEST(DeadlineTimer, TheDeadlineLiesTheTimeoutAfterTheLastStart) {
    const std::int64_t before = platform::steadyNanoseconds();
    KrDeadlineTimer timer(2'000'000);  // 2 s
    const std::int64_t first = timer.deadline();
    EXPECT_GE(first, before + 2'000'000'000);
    EXPECT_LE(first, platform::steadyNanoseconds() + 2'000'000'000);
    std::this_thread::sleep_for(2ms);
    timer.restart(2'000'000);
    EXPECT_GT(timer.deadline(), first) << "a restart moves it later";
}

}  // namespace
