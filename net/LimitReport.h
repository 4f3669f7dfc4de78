#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace kr {

// The lines that say a hub is at its connection limit: one when the limit is first reached,
// and then, while it is reached again, one at most every period, with the connections
// closed for it since the last line (newcomers refused, and connections taken out to make
// room). A crowd at the limit then costs the terminal a line a minute, not a line a
// connection.
class LimitReport {
public:
    static constexpr std::chrono::milliseconds kDefaultPeriod{60'000};

    LimitReport(std::size_t limit, std::chrono::milliseconds period);

    // The limit was reached at now (steady nanoseconds); closed: a connection was closed for
    // it. The line to print now, or "" when none is due.
    std::string reached(bool closed, std::int64_t now);

private:
    const std::size_t limit_;
    const std::int64_t period_;  // ns

    // Guards the three below; nothing is taken under it.
    std::mutex mutex_;
    bool reported_ = false;
    std::int64_t lastLine_ = 0;
    std::uint64_t closedSince_ = 0;
};

}  // namespace kr
