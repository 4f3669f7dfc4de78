#include "net/LimitReport.h"

namespace kr {

LimitReport::LimitReport(std::size_t limit, std::chrono::milliseconds period)
    : limit_(limit),
      period_(std::chrono::duration_cast<std::chrono::nanoseconds>(period).count()) {}

std::string LimitReport::reached(bool closed, std::int64_t now) {
    std::uint64_t closedSince;
    bool first;
    {
        std::lock_guard lock(mutex_);
        if (closed) {
            ++closedSince_;
        }
        first = !reported_;
        if (!first && now - lastLine_ < period_) {
            return {};
        }
        reported_ = true;
        lastLine_ = now;
        closedSince = closedSince_;
        closedSince_ = 0;
    }
    const std::string limit = std::to_string(limit_);
    if (first) {
        return "connection limit of " + limit +
               " reached: a new connection takes the place of one that waits for nothing, or is "
               "closed";
    }
    return "connection limit of " + limit + " reached again: " + std::to_string(closedSince) +
           " connections closed since the last report";
}

}  // namespace kr
