#include "foundation/KrDeadlineTimer.h"

#include "platform/Clock.h"

KrDeadlineTimer::KrDeadlineTimer(std::int64_t timeoutMicroseconds)
    : start_(platform::steadyNanoseconds()), timeout_(timeoutMicroseconds * 1000) {}

void KrDeadlineTimer::restart(std::int64_t timeoutMicroseconds) {
    std::lock_guard lock(mutex_);
    start_ = platform::steadyNanoseconds();
    timeout_ = timeoutMicroseconds * 1000;
}

bool KrDeadlineTimer::expired() const {
    std::lock_guard lock(mutex_);
    return platform::steadyNanoseconds() - start_ >= timeout_;
}

std::int64_t KrDeadlineTimer::deadline() const {
    std::lock_guard lock(mutex_);
    return start_ + timeout_;
}
