#pragma once

#include <chrono>
#include <thread>

namespace kr {

// A thread that hands work to a sleeping one pays for its wake-up, and the work waits for
// the scheduler to run the woken thread: tens of microseconds on a busy machine, at every
// hand-over of a request. A thread that runs out of work therefore looks for more for this
// long before it sleeps; while requests come in, it never sleeps, and an idle process still
// sleeps once the time is up. On a loaded machine the gap between two requests of a
// connection is often longer than 50 µs (the peer and the four jobs wait for CPUs in turn),
// and a thread that slept then pays the wake-up again: 200 µs keeps them awake across it.
inline constexpr std::chrono::microseconds kHandOverSpin{200};

// Looks at ready() (which must not block or take a lock that its producers hold long) until
// it is true or the spin time is up, yielding the processor between looks. Whether ready()
// turned true.
template <class Ready>
bool spinBriefly(const Ready& ready, std::chrono::microseconds limit = kHandOverSpin) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

}  // namespace kr
