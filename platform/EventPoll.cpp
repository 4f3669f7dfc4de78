#include "platform/EventPoll.h"

#include <errno.h>
#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <climits>

#include "platform/Clock.h"

namespace platform {

namespace {

struct EventBit {
    short ours;
    std::uint32_t native;
};

constexpr EventBit kEventBits[] = {
    {kPollReadable, EPOLLIN}, {kPollUrgent, EPOLLPRI}, {kPollWritable, EPOLLOUT},
    {kPollError, EPOLLERR},   {kPollHangUp, EPOLLHUP},
};

std::uint32_t nativeBits(short wanted) {
    std::uint32_t native = 0;
    for (const EventBit& bit : kEventBits) {
        if (wanted & bit.ours) {
            native |= bit.native;
        }
    }
    return native;
}

short ourBits(std::uint32_t native) {
    short bits = 0;
    for (const EventBit& bit : kEventBits) {
        if (native & bit.native) {
            bits |= bit.ours;
        }
    }
    return bits;
}

SysStatus control(const Fd& set, int operation, int fd, short wanted, std::uint64_t token,
                  EventPoll::Report report) {
    epoll_event event{};
    event.events = nativeBits(wanted);
    if (report == EventPoll::Report::Once) {
        event.events |= EPOLLONESHOT;
    }
    event.data.u64 = token;
    if (::epoll_ctl(set.get(), operation, fd, &event) != 0) {
        return {errno};
    }
    return {};
}

}  // namespace

SysResult<EventPoll> EventPoll::open() {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        return {.error = errno};
    }
    return {.value = EventPoll(Fd(fd))};
}

SysStatus EventPoll::add(int fd, short wanted, std::uint64_t token, Report report) const {
    return control(fd_, EPOLL_CTL_ADD, fd, wanted, token, report);
}

SysStatus EventPoll::change(int fd, short wanted, std::uint64_t token, Report report) const {
    return control(fd_, EPOLL_CTL_MOD, fd, wanted, token, report);
}

SysStatus EventPoll::remove(int fd) const {
    if (::epoll_ctl(fd_.get(), EPOLL_CTL_DEL, fd, nullptr) != 0) {
        return {errno};
    }
    return {};
}

SysResult<std::size_t> EventPoll::wait(std::span<PollEvent> ready,
                                       std::chrono::milliseconds timeout) const {
    constexpr std::size_t kBatch = 256;
    std::array<epoll_event, kBatch> native;
    const int capacity = static_cast<int>(std::min(ready.size(), kBatch));
    const std::int64_t start = steadyNanoseconds();
    int count;
    for (;;) {
        int left = -1;
        if (timeout.count() >= 0) {
            const std::int64_t elapsed = (steadyNanoseconds() - start) / 1'000'000;
            left =
                static_cast<int>(std::clamp<std::int64_t>(timeout.count() - elapsed, 0, INT_MAX));
        }
        count = ::epoll_wait(fd_.get(), native.data(), capacity, left);
        if (count >= 0) {
            break;
        }
        if (errno != EINTR) {
            return {.error = errno};
        }
    }
    for (int i = 0; i < count; ++i) {
        ready[static_cast<std::size_t>(i)] = {
            .token = native[static_cast<std::size_t>(i)].data.u64,
            .ready = ourBits(native[static_cast<std::size_t>(i)].events)};
    }
    return {.value = static_cast<std::size_t>(count)};
}

}  // namespace platform
