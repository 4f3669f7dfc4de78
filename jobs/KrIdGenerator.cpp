#include "jobs/KrIdGenerator.h"

#include <charconv>
#include <chrono>

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

namespace {

// The number in decimal, zero-filled to at least width digits.
void appendZeroFilled(std::string& out, std::int64_t number, std::size_t width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    if (length < width) {
        out.append(width - length, '0');
    }
    out.append(digits, length);
}

}  // namespace

std::string idDigits(std::int64_t microseconds) {
    constexpr std::int64_t kPerSecond = 1'000'000;
    const std::int64_t stamp = microseconds < 0 ? 0 : microseconds;
    // Every job and every request's link name is made with these: no formatted print.
    std::string digits;
    digits.reserve(18);
    appendZeroFilled(digits, stamp % kPerSecond, 7);
    appendZeroFilled(digits, stamp / kPerSecond, 11);
    return digits;
}

const std::string& commonErrorName() {
    static const std::string name = KrIdGenerator::jobIds().makeId("__commonError");
    return name;
}

}  // namespace kr
