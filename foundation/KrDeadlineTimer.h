#pragma once

#include <cstdint>
#include <mutex>

// Answers whether a given time has passed since the timer was last started, on the
// monotonic clock. Receive jobs restart it while the housekeeping thread asks it.
class KrDeadlineTimer {
public:
    explicit KrDeadlineTimer(std::int64_t timeoutMicroseconds);

    KrDeadlineTimer(const KrDeadlineTimer&) = delete;
    KrDeadlineTimer& operator=(const KrDeadlineTimer&) = delete;

    // Starts the timer anew with a (possibly new) timeout.
    void restart(std::int64_t timeoutMicroseconds);

    // True once at least the timeout has passed since the last start.
    bool expired() const;

    // When it expires, in nanoseconds of platform::steadyNanoseconds. A restart with the
    // same timeout only moves it later.
    std::int64_t deadline() const;

private:
    // Guards start_ and timeout_. Private, and no operation calls another under it, so it
    // is never re-entered; no other lock is taken under it.
    mutable std::mutex mutex_;
    std::int64_t start_;    // steady nanoseconds
    std::int64_t timeout_;  // nanoseconds
};
