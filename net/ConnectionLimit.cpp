#include "net/ConnectionLimit.h"

#include <algorithm>
#include <limits>

#include "platform/Process.h"

namespace kr {

std::size_t connectionLimitFor(std::uint64_t descriptorLimit) {
    // Descriptors are ints: a limit beyond that (or none at all) is no limit worth counting.
    const std::uint64_t descriptors =
        std::min<std::uint64_t>(descriptorLimit, std::numeric_limits<int>::max());
    const std::uint64_t leastReserve = std::min(kDescriptorReserve, descriptors / 2);
    const std::uint64_t reserve = std::max(leastReserve, descriptors / kDescriptorReserveShare);
    const std::uint64_t keepAlive =
        std::min<std::uint64_t>(kKeepAliveConnections, descriptors - leastReserve);
    const std::uint64_t limit =
        std::min<std::uint64_t>(std::max(descriptors - reserve, keepAlive), kMaxConnections);
    return static_cast<std::size_t>(std::max<std::uint64_t>(limit, 1));
}

std::size_t defaultConnectionLimit() {
    static const std::size_t limit = [] {
        const auto descriptors = platform::descriptorLimit();
        return connectionLimitFor(descriptors.ok() ? descriptors.value : kAssumedDescriptorLimit);
    }();
    return limit;
}

}  // namespace kr
