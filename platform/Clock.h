#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace platform {

// Nanoseconds of the monotonic clock; only differences mean anything.
std::int64_t steadyNanoseconds();

// A wall-clock time as local time in the layout of ctime(3) without its line feed:
// "Www Mmm dd hh:mm:ss yyyy", the day padded with a blank. The zone is the process's; a
// thread that asks again within the same second gets the text it made for it.
std::string localTimeText(std::chrono::system_clock::time_point time);

}  // namespace platform
