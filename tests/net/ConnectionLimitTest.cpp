#include "net/ConnectionLimit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/Process.h"

namespace {

TEST(ConnectionLimit, LeavesAReserveAndAdmitsTenThousandWhereItCanUpToItsMaximum) {
    struct Case {
        std::uint64_t descriptors;
        std::size_t connections;
    };
    const Case cases[] = {
        {1024, 1024 - 128},       // the least reserve: a desktop's common limit
        {20'000, 20'000 - 2500},  // an eighth
        {22'856, 22'856 - 2857},  // an eighth, just below the maximum
        {22'858, kr::kMaxConnections},
        {65'536, kr::kMaxConnections},
        {1'048'576, kr::kMaxConnections},  // a hard limit raised to
        {11'000, 10'000},        // the eighth would leave fewer than 10 000
        {10'128, 10'000},        // 10 000 and the least reserve, just
        {10'100, 10'100 - 128},  // too few for both: the least reserve stays
        {200, 100},              // half of a small limit
        {1, 1},
        {0, 1},
        {std::numeric_limits<std::uint64_t>::max(), kr::kMaxConnections},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kr::connectionLimitFor(c.descriptors), c.connections) << c.descriptors;
    }
}

TEST(ConnectionLimit, TheDefaultIsMadeFromThisProcessDescriptorLimit) {
    const auto descriptors = platform::descriptorLimit();
    ASSERT_TRUE(descriptors.ok());
    EXPECT_GT(descriptors.value, 0u);
    EXPECT_EQ(kr::defaultConnectionLimit(), kr::connectionLimitFor(descriptors.value));
}

}  // namespace
