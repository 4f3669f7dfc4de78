#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace kr {

// A thread that hands work to a sleeping one pays for its wake-up, and the work waits for
// the scheduler to run the woken thread: tens of microseconds on a busy machine, at every
// hand-over of a request. While requests follow each other closely, a thread that runs out
// of work therefore looks for more for this long before it sleeps. On a loaded machine the
// gap between two requests of a connection is often longer than 50 µs (the peer and the four
// jobs wait for CPUs in turn), and a thread that slept then pays the wake-up again: 200 µs
// keeps them awake across it.
inline constexpr std::chrono::microseconds kHandOverSpin{200};

// Requests waiting at the servers' buffer jobs, counted as they are queued and taken. While a
// buffer job has requests waiting, it is the stage that sets the pace: the stages that feed
// it (the receive job and the registry's delivery thread) gain nothing by catching the next
// request at once, as it would only wait at the buffer job. Looking for it would keep two
// more processors busy (flat out over a few connections, about a third of the CPU time per
// request), so while the buffer jobs are behind those stages sleep instead, and each of
// their wake-ups then finds several requests; what waking them costs falls on the peer and
// on each other, not on the buffer job. The buffer job itself goes on looking, and so does
// the send job after it: waking a sleeping send job would cost the buffer job.
//
// Behind means work queued for longer than those stages take to wake up again and bring the
// next request (kCover, about two wake-ups): with less, the buffer job would run dry while
// they wake, and the sleep would cost throughput. So the count is weighed with what a
// request has lately cost the buffer jobs (served()); a small static file makes more
// requests wait before they are behind than a new session does. A count now, not a
// memory of a backlog seen lately: the moment a buffer job has worked off its queue, the
// next stage that runs out of work looks again. Only a hint; nothing waits for it.
class HandOverBacklog {
public:
    // Work queued at the buffer jobs that makes them behind.
    static constexpr std::chrono::microseconds kCover{40};
    // And never fewer requests than this: one is only a hand-over that came while the job
    // was finishing the one before.
    static constexpr std::size_t kFewestBehind = 2;
    // The weight of the newest request's time in the running mean of served(): 1/8.
    static constexpr int kMeanWeight = 8;

    // The count the servers' buffer jobs keep, for the process.
    static HandOverBacklog& process() {
        static HandOverBacklog backlog;
        return backlog;
    }

    void queued() { waiting_.fetch_add(1, std::memory_order_relaxed); }
    void taken(std::size_t count = 1) { waiting_.fetch_sub(count, std::memory_order_relaxed); }

    // A buffer job took this long over one request. Buffer jobs of several servers write it
    // unsynchronised: a lost update only skews a hint.
    void served(std::chrono::nanoseconds time) {
        const std::int64_t mean = meanNs_.load(std::memory_order_relaxed);
        // The first time stands for itself: a mean that starts from nothing would take
        // dozens of requests to say what one costs.
        meanNs_.store(mean == 0 ? time.count() : mean + (time.count() - mean) / kMeanWeight,
                      std::memory_order_relaxed);
    }

    bool behind() const {
        const std::size_t waiting = waiting_.load(std::memory_order_relaxed);
        return waiting >= kFewestBehind &&
               static_cast<std::int64_t>(waiting) * meanNs_.load(std::memory_order_relaxed) >=
                   std::chrono::nanoseconds(kCover).count();
    }

private:
    std::atomic<std::size_t> waiting_{0};
    std::atomic<std::int64_t> meanNs_{0};  // a request's time at a buffer job, lately
};

// Whether a thread that has run out of work looks for more before it sleeps. Looking costs
// the processor for as long as it looks, and pays only when the work comes within the
// window: at an everyday rate (a request every few milliseconds) a thread that looked after
// every request would spend the whole window each time, several times what the request
// itself costs, for nothing. So it looks only while the work before came within the window,
// whether it was found by looking or woke the thread up: after two such gaps in a row, so
// that one request sent late, right after the answer before, does not cost a whole window of
// looking after the next; and it stops at the first gap longer than the window. A stage that
// feeds the buffer jobs does not look while they are behind (see HandOverBacklog). An idle
// process sleeps once the window is up, as before.
//
// Each looping thread owns one; it is not shared. The clock is a parameter for tests.
template <class Clock = std::chrono::steady_clock>
class BasicHandOverSpin {
public:
    // backlog: the count whose being behind keeps this thread from looking; none for the
    // stage that is counted.
    explicit BasicHandOverSpin(const HandOverBacklog* backlog = nullptr,
                               std::chrono::nanoseconds window = kHandOverSpin)
        : backlog_(backlog), window_(window) {}

    // The thread has run out of work: looks at ready() (which must not block or take a lock
    // that its producers hold long) until it is true or the window is up, yielding the
    // processor between looks, when the work before came within the window; otherwise looks
    // once. Whether ready() turned true; when not, the thread sleeps until there is work and
    // then calls woke().
    template <class Ready>
    bool spin(const Ready& ready) {
        idleSince_ = Clock::now();
        if (ready()) {
            return true;
        }
        if (!looks()) {
            return false;
        }
        if (backlog_ != nullptr && backlog_->behind()) {
            return false;
        }
        const auto deadline = idleSince_ + window_;
        while (!ready()) {
            if (Clock::now() >= deadline) {
                closeGaps_ = 0;
                return false;
            }
            std::this_thread::yield();
        }
        countCloseGap();
        return true;
    }

    // The thread slept after spin() and has been woken with work: whether looking would have
    // found it counts towards whether the next spin() looks.
    void woke() {
        if (Clock::now() - idleSince_ < window_) {
            countCloseGap();
        } else {
            closeGaps_ = 0;
        }
    }

    // Whether the work so far makes the next spin() look for longer than once (a backlog
    // may still keep it from looking).
    bool looks() const { return closeGaps_ >= kCloseGapsToLook; }

    // Gaps within the window, one after the other, before a thread looks.
    static constexpr int kCloseGapsToLook = 2;

private:
    void countCloseGap() {
        if (closeGaps_ < kCloseGapsToLook) {
            ++closeGaps_;
        }
    }

    const HandOverBacklog* const backlog_;
    const std::chrono::nanoseconds window_;
    typename Clock::time_point idleSince_{};
    // Gaps within the window since the last one that was not, up to kCloseGapsToLook. Starts
    // at none: a thread's first work says nothing of the rate.
    int closeGaps_ = 0;
};

using HandOverSpin = BasicHandOverSpin<>;

}  // namespace kr
