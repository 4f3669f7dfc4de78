#include "jobs/KrJobWithTimeout.h"

KrJobWithTimeout::KrJobWithTimeout(std::uint64_t timeoutMicroseconds)
    : timeout_(timeoutMicroseconds), timer_(static_cast<std::int64_t>(timeoutMicroseconds)) {}

void KrJobWithTimeout::restartTimeout() {
    if (armed_.load()) {
        timer_.restart(static_cast<std::int64_t>(timeout_));
    }
}

bool KrJobWithTimeout::checkTimeout() {
    if (!armed_.load()) {
        armed_.store(true);
        return false;
    }
    // Only the caller that disarms reports the timeout.
    return timer_.expired() && armed_.exchange(false);
}
