#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
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

// Requests waiting at a busy stage. While a server's buffer job still has earlier requests
// queued when the next one is handed to it, the stages before it (the receive job and the
// registry's delivery thread) gain nothing by catching the next request at once: it would
// only wait in that queue. Looking for it would keep two more processors busy for nothing
// (flat out over a few connections, about half of the CPU time per request), so while such
// a backlog has been seen lately those stages sleep instead, and each of their wake-ups
// then finds several requests. The stages after it (the buffer job itself, the send job)
// go on looking: a wake-up they cost would fall on the busy stage that hands them work.
//
// One for the process: a backlog at any server relaxes the stages every request passes.
// Only a hint; nothing waits for it. The clock is a parameter for tests.
template <class Clock = std::chrono::steady_clock>
class BasicHandOverBacklog {
public:
    // Requests already waiting, ahead of the one handed over, that make a backlog: one
    // waiting is only a hand-over that came while the stage was finishing the one before.
    static constexpr std::size_t kWaitingForBacklog = 2;
    // How long a backlog keeps the stages before it from looking: a few requests' worth at
    // the busy stage, so that it does not run dry while they wake up.
    static constexpr std::chrono::microseconds kHold{100};

    // A hand-over to a stage found this many requests waiting there ahead of its own.
    static void noteWaiting(std::size_t waiting) {
        if (waiting >= kWaitingForBacklog) {
            const auto until = Clock::now().time_since_epoch() +
                               std::chrono::duration_cast<typename Clock::duration>(kHold);
            heldUntil_.store(until.count(), std::memory_order_relaxed);
        }
    }

    // Whether a backlog was noted within the hold time.
    static bool recent() {
        return Clock::now().time_since_epoch().count() <
               heldUntil_.load(std::memory_order_relaxed);
    }

private:
    static inline std::atomic<typename Clock::rep> heldUntil_{0};
};

using HandOverBacklog = BasicHandOverBacklog<>;

// Whether a thread that has run out of work looks for more before it sleeps. Looking costs
// the processor for as long as it looks, and pays only when the work comes within the
// window: at an everyday rate (a request every few milliseconds) a thread that looked after
// every request would spend the whole window each time, several times what the request
// itself costs, for nothing. So it looks only while the work before came within the window,
// whether it was found by looking or woke the thread up: after two such gaps in a row, so
// that one request sent late, right after the answer before, does not cost a whole window of
// looking after the next; and it stops at the first gap longer than the window. A stage that
// feeds the buffer job does not look while the buffer job has a backlog (see
// BasicHandOverBacklog). An idle process sleeps once the window is up, as before.
//
// Each looping thread owns one; it is not shared. The clock is a parameter for tests.
template <class Clock = std::chrono::steady_clock>
class BasicHandOverSpin {
public:
    // Whether the thread's work goes on to a server's buffer job.
    enum class Stage { FeedsBufferJob, Other };

    explicit BasicHandOverSpin(Stage stage = Stage::Other,
                               std::chrono::nanoseconds window = kHandOverSpin)
        : yieldsToBacklog_(stage == Stage::FeedsBufferJob), window_(window) {}

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
        if (yieldsToBacklog_ && BasicHandOverBacklog<Clock>::recent()) {
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

    const bool yieldsToBacklog_;
    const std::chrono::nanoseconds window_;
    typename Clock::time_point idleSince_{};
    // Gaps within the window since the last one that was not, up to kCloseGapsToLook. Starts
    // at none: a thread's first work says nothing of the rate.
    int closeGaps_ = 0;
};

using HandOverSpin = BasicHandOverSpin<>;

}  // namespace kr
