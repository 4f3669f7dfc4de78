#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Makes identifiers from the wall clock: a prefix, then the microseconds within the current
// second as 7 digits and the seconds since 1970 as 11 digits, both zero-filled.
//
// Identifiers must never repeat, yet a clock can give the same microsecond twice or step
// back. Instead of pausing until the clock moves on, a generator whose new time would not be
// later than the last one it used takes that last time plus one microsecond.
class KrIdGenerator {
public:
    // Microseconds since 1970.
    using WallClock = std::int64_t (*)();

    static std::int64_t systemClock();

    explicit KrIdGenerator(std::string prefix, WallClock clock = systemClock);

    KrIdGenerator(const KrIdGenerator&) = delete;
    KrIdGenerator& operator=(const KrIdGenerator&) = delete;

    // prefix + "*" + the digits: "_job*" ids are 23 characters, "joinedtask*" names 29.
    std::string makeUniqueJobId();

    // text + the digits, without "*".
    std::string makeId(std::string_view text);

    // The process-wide generators of job ids ("_job") and registration names ("joinedtask").
    static KrIdGenerator& jobIds();
    static KrIdGenerator& registrationNames();

private:
    std::int64_t nextStamp();

    // Guards last_; no other lock is taken under it.
    std::mutex mutex_;
    const std::string prefix_;
    const WallClock clock_;
    std::int64_t last_ = -1;  // the last time used, microseconds since 1970
};

namespace kr {

// The 18 digits of a time in microseconds since 1970: 7 digits of microseconds within the
// second, then 11 digits of whole seconds.
std::string idDigits(std::int64_t microseconds);

// The process-wide name that stands for "no message was taken in hand", made once from
// "__commonError".
const std::string& commonErrorName();

}  // namespace kr
