#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/KrDeadlineTimer.h"
#include "jobs/KrJob.h"

// A job with an inactivity deadline: activity restarts it, and the hub's housekeeping asks
// checkTimeout once per pass. Connections use 115 s, servers 120 s.
class KrJobWithTimeout : public KrJob {
public:
    static constexpr std::uint64_t kConnectionTimeout = 115'000'000;  // microseconds
    static constexpr std::uint64_t kServerTimeout = 120'000'000;

    // Restarts the deadline when armed; a disarmed job keeps its old deadline.
    virtual void restartTimeout();

    // Armed and past the deadline: disarms and reports the timeout (true). Armed and not
    // past it: false. Disarmed: re-arms without restarting the deadline and answers false,
    // so a job that stays idle reports a timeout on every second call.
    virtual bool checkTimeout();

    // When the deadline falls, in nanoseconds of platform::steadyNanoseconds; a restart only
    // moves it later.
    std::int64_t deadline() const { return timer_.deadline(); }

    void disarmTimeout() { armed_.store(false); }
    bool timeoutArmed() const { return armed_.load(); }
    std::uint64_t timeoutMicroseconds() const { return timeout_; }

protected:
    explicit KrJobWithTimeout(std::uint64_t timeoutMicroseconds);

    // Disarms; true for the one caller that found the timeout armed, which reports it. For a
    // job that has deadlines of its own besides the idle one.
    bool disarmToReport() { return armed_.exchange(false); }

private:
    const std::uint64_t timeout_;
    KrDeadlineTimer timer_;
    std::atomic<bool> armed_{true};
};
