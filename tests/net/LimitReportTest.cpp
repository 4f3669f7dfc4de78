#include "net/LimitReport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;  // ns

// The lines come from the times given, not from waiting for them.
TEST(LimitReport, SaysSoAtOnceAndThenAtMostOnceAPeriodWithTheConnectionsClosedSince) {
    kr::LimitReport report(128, std::chrono::seconds(60));
    const std::int64_t start = 1000 * kSecond;
    EXPECT_EQ(report.reached(true, start),
              "connection limit of 128 reached: a new connection takes the place of one that "
              "waits for nothing, or is closed");
    EXPECT_EQ(report.reached(true, start + kSecond), "");
    EXPECT_EQ(report.reached(false, start + 2 * kSecond), "") << "a file without room";
    EXPECT_EQ(report.reached(true, start + 59 * kSecond), "");
    EXPECT_EQ(report.reached(true, start + 60 * kSecond),
              "connection limit of 128 reached again: 3 connections closed since the last "
              "report");
    // Quiet for longer than a period: the next time says so at once, counting from the last.
    EXPECT_EQ(report.reached(false, start + 600 * kSecond),
              "connection limit of 128 reached again: 0 connections closed since the last "
              "report");
}

}  // namespace
