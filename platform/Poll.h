#pragma once

#include <chrono>
#include <span>

#include "platform/Fd.h"
#include "platform/SysResult.h"

// Waiting for descriptors: poll(2) over any number of them, and a wake event that lets
// another thread end such a wait at once.
namespace platform {

// Event bits of a PollEntry. The first three may be wanted; the others are only reported.
inline constexpr short kPollReadable = 0x01;  // data to read, or the peer's end of stream
inline constexpr short kPollUrgent = 0x02;    // out-of-band data to read
inline constexpr short kPollWritable = 0x04;  // room to write
inline constexpr short kPollError = 0x08;     // an error is pending on the descriptor
inline constexpr short kPollHangUp = 0x10;    // the peer hung up
inline constexpr short kPollInvalid = 0x20;   // the descriptor is not open

struct PollEntry {
    int fd = -1;  // a negative descriptor is skipped and reports nothing
    short wanted = 0;
    short ready = 0;  // filled by pollDescriptors
};

// Waits without a time limit.
inline constexpr std::chrono::milliseconds kWaitForever{-1};

// poll(2): waits until one of the entries is ready or the time limit (0: do not wait) has
// passed, and returns the number of entries that are ready (0 after the time limit). An
// interrupted wait goes on for the time that remains. No limit on the number of entries or
// on descriptor values.
SysResult<int> pollDescriptors(std::span<PollEntry> entries, std::chrono::milliseconds timeout);

// pollDescriptors for one descriptor; the value is its ready bits.
SysResult<short> pollOne(int fd, short wanted, std::chrono::milliseconds timeout);

// A descriptor (eventfd) that another thread makes readable to end a wait. signal() never
// blocks and is never lost: the event stays readable until drain(). A waiting loop puts
// fd() in its poll set; when it is ready, the loop drains it first and then looks at the
// state that changed, so that a signal sent meanwhile wakes the next wait.
class WakeEvent {
public:
    // An event that is not open; signal() and drain() do nothing.
    WakeEvent() = default;

    static SysResult<WakeEvent> open();

    void signal() const;
    void drain() const;
    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }

private:
    explicit WakeEvent(Fd fd) : fd_(std::move(fd)) {}

    Fd fd_;
};

}  // namespace platform
