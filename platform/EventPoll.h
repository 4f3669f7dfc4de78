#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "platform/Fd.h"
#include "platform/Poll.h"
#include "platform/SysResult.h"

namespace platform {

// What an EventPoll reports for one descriptor: the token it was added with, and its ready
// bits (the kPoll* bits of Poll.h).
struct PollEvent {
    std::uint64_t token = 0;
    short ready = 0;
};

// A set of descriptors that a thread waits on (epoll), for loops that serve many of them: a
// descriptor is added, changed and removed one at a time, from any thread, and a wait costs
// what is ready, not what is in the set. Errors and hang-ups (kPollError, kPollHangUp) are
// reported whether wanted or not.
class EventPoll {
public:
    // How often a member is reported.
    enum class Report {
        WhileReady,  // level-triggered: in every wait while it is ready
        Once,        // once; then nothing until it is changed again
    };

    // A set that is not open; every call fails with EBADF.
    EventPoll() = default;

    static SysResult<EventPoll> open();

    // token comes back with every report of the descriptor. Adding a member fails with
    // EEXIST, changing or removing a descriptor that is not one with ENOENT.
    SysStatus add(int fd, short wanted, std::uint64_t token, Report report) const;
    SysStatus change(int fd, short wanted, std::uint64_t token, Report report) const;
    SysStatus remove(int fd) const;

    // Waits until a descriptor is ready or the time limit has passed (kWaitForever: no
    // limit; 0: do not wait), and fills ready with at most its size of reports; the number
    // filled. An interrupted wait goes on for the time that remains.
    SysResult<std::size_t> wait(std::span<PollEvent> ready,
                                std::chrono::milliseconds timeout) const;

    bool valid() const { return fd_.valid(); }

private:
    explicit EventPoll(Fd fd) : fd_(std::move(fd)) {}

    Fd fd_;
};

}  // namespace platform
