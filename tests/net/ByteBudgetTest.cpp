#include "net/ByteBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

TEST(ByteBudget, GrantsUpToItsTotalAndRefusesWhatWouldCrossIt) {
    const auto budget = kr::ByteBudget::make(1000);
    auto first = budget->reserve(600);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.bytes(), 600u);
    EXPECT_FALSE(budget->reserve(401)) << "would cross the total";
    EXPECT_FALSE(budget->reserve(~std::uint64_t{0})) << "no sum wraps round";
    auto rest = budget->reserve(400);
    ASSERT_TRUE(rest);
    EXPECT_EQ(budget->held(), 1000u);
    EXPECT_FALSE(budget->reserve(1));
    EXPECT_TRUE(budget->reserve(0)) << "nothing always fits";
}

TEST(ByteBudget, AReservationGivesItsBytesBackOnceWhereverItEnds) {
    const auto budget = kr::ByteBudget::make(1000);
    {
        auto reservation = budget->reserve(300);
        EXPECT_EQ(budget->held(), 300u);
    }
    EXPECT_EQ(budget->held(), 0u) << "destroyed";

    auto moved = budget->reserve(300);
    kr::ByteBudget::Reservation target = std::move(moved);
    EXPECT_FALSE(moved);
    EXPECT_EQ(budget->held(), 300u) << "a move keeps the bytes held once";
    target = budget->reserve(200);
    EXPECT_EQ(budget->held(), 200u) << "the replaced reservation gave its bytes back";
    target.release();
    target.release();
    EXPECT_FALSE(target);
    EXPECT_EQ(budget->held(), 0u) << "released, once";
}

TEST(ByteBudget, AReservationGrowsWithinTheTotalAndNeverShrinks) {
    const auto budget = kr::ByteBudget::make(1000);
    auto growing = budget->reserve(0);
    ASSERT_TRUE(growing);
    EXPECT_TRUE(growing.growTo(400));
    EXPECT_EQ(growing.bytes(), 400u);
    EXPECT_TRUE(growing.growTo(100)) << "fewer bytes change nothing";
    EXPECT_EQ(growing.bytes(), 400u);
    auto other = budget->reserve(500);
    EXPECT_FALSE(growing.growTo(501)) << "would cross the total";
    EXPECT_EQ(growing.bytes(), 400u) << "holding what it held";
    EXPECT_EQ(budget->held(), 900u);
    EXPECT_TRUE(growing.growTo(500));
    EXPECT_EQ(budget->held(), 1000u);
    EXPECT_FALSE(kr::ByteBudget::Reservation{}.growTo(1)) << "an empty one has no budget";
    growing.release();
    EXPECT_EQ(budget->held(), 500u) << "the grown bytes go back once, with the rest";
}

TEST(ByteBudget, AReservationMayOutliveItsMaker) {
    auto budget = kr::ByteBudget::make(10);
    auto reservation = budget->reserve(10);
    budget.reset();
    EXPECT_TRUE(reservation);
    reservation.release();  // gives back to a budget nobody else holds any more
    EXPECT_FALSE(reservation);
}

TEST(ByteBudget, ThreadsReservingAtOnceNeverHoldMoreThanTheTotal) {
    constexpr std::uint64_t kTotal = 64;
    const auto budget = kr::ByteBudget::make(kTotal);
    std::atomic<bool> crossed{false};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20'000; ++i) {
                auto reservation = budget->reserve(8 + i % 9);
                if (budget->held() > kTotal) {
                    crossed = true;
                }
            }
        });
    }
    threads.clear();
    EXPECT_FALSE(crossed);
    EXPECT_EQ(budget->held(), 0u);
}

}  // namespace
