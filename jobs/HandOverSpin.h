#pragma once

#include <chrono>
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

// Whether a thread that has run out of work looks for more before it sleeps. Looking costs
// the processor for as long as it looks, and pays only when the work comes within the
// window: at an everyday rate (a request every few milliseconds) a thread that looked after
// every request would spend the whole window each time, several times what the request
// itself costs, for nothing. So it looks only while the work before came within the window,
// whether it was found by looking or woke the thread up, and stops at the first gap longer
// than that. An idle process sleeps once the window is up, as before.
//
// Each looping thread owns one; it is not shared. The clock is a parameter for tests.
template <class Clock = std::chrono::steady_clock>
class BasicHandOverSpin {
public:
    explicit BasicHandOverSpin(std::chrono::nanoseconds window = kHandOverSpin)
        : window_(window) {}

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
        if (!pays_) {
            return false;
        }
        const auto deadline = idleSince_ + window_;
        while (!ready()) {
            if (Clock::now() >= deadline) {
                pays_ = false;
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    // The thread slept after spin() and has been woken with work: whether looking would have
    // found it decides whether the next spin() looks.
    void woke() { pays_ = Clock::now() - idleSince_ < window_; }

    // Whether the next spin() looks for longer than once.
    bool looks() const { return pays_; }

private:
    const std::chrono::nanoseconds window_;
    typename Clock::time_point idleSince_{};
    // Starts without looking: a thread's first work says nothing of the rate.
    bool pays_ = false;
};

using HandOverSpin = BasicHandOverSpin<>;

}  // namespace kr
