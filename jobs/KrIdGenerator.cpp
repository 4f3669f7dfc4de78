#include "jobs/KrIdGenerator.h"

#include <chrono>
#include <cstdio>

KrIdGenerator::KrIdGenerator(std::string prefix, WallClock clock)
    : prefix_(std::move(prefix)), clock_(clock) {}

std::int64_t KrIdGenerator::systemClock() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t KrIdGenerator::nextStamp() {
    std::lock_guard lock(mutex_);
    std::int64_t now = clock_();
    if (now <= last_) {
        now = last_ + 1;
    }
    last_ = now;
    return now;
}

std::string KrIdGenerator::makeUniqueJobId() {
    std::string id = prefix_;
    id += '*';
    id += kr::idDigits(nextStamp());
    return id;
}

std::string KrIdGenerator::makeId(std::string_view text) {
    std::string id(text);
    id += kr::idDigits(nextStamp());
    return id;
}

KrIdGenerator& KrIdGenerator::jobIds() {
    static KrIdGenerator generator("_job");
    return generator;
}

KrIdGenerator& KrIdGenerator::registrationNames() {
    static KrIdGenerator generator("joinedtask");
    return generator;
}

namespace kr {

std::string idDigits(std::int64_t microseconds) {
    constexpr std::int64_t kPerSecond = 1'000'000;
    const std::int64_t stamp = microseconds < 0 ? 0 : microseconds;
    char digits[32];
    const int length = std::snprintf(digits, sizeof digits, "%07lld%011lld",
                                     static_cast<long long>(stamp % kPerSecond),
                                     static_cast<long long>(stamp / kPerSecond));
    return std::string(digits, static_cast<size_t>(length));
}

const std::string& commonErrorName() {
    static const std::string name = KrIdGenerator::jobIds().makeId("__commonError");
    return name;
}

}  // namespace kr
