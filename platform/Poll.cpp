#include "platform/Poll.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/Clock.h"

namespace platform {

namespace {

struct EventBit {
    short ours;
    short native;
};

constexpr EventBit kEventBits[] = {
    {kPollReadable, POLLIN}, {kPollUrgent, POLLPRI}, {kPollWritable, POLLOUT},
    {kPollError, POLLERR},   {kPollHangUp, POLLHUP}, {kPollInvalid, POLLNVAL},
};

// Translates event bits between our values and poll(2)'s, in the direction given.
short translate(short bits, short EventBit::*from, short EventBit::*to) {
    short translated = 0;
    for (const EventBit& bit : kEventBits) {
        if (bits & bit.*from) {
            translated |= bit.*to;
        }
    }
    return translated;
}

// Milliseconds left of a wait that began at start; -1 for a wait without limit.
int remainingMilliseconds(std::chrono::milliseconds timeout, std::int64_t start) {
    if (timeout.count() < 0) {
        return -1;
    }
    const std::int64_t elapsed = (steadyNanoseconds() - start) / 1'000'000;
    const std::int64_t left = timeout.count() - elapsed;
    return left > 0 ? static_cast<int>(std::min<std::int64_t>(left, INT32_MAX)) : 0;
}

}  // namespace

SysResult<int> pollDescriptors(std::span<PollEntry> entries, std::chrono::milliseconds timeout) {
    // The waiting threads keep their native array between calls.
    thread_local std::vector<pollfd> native;
    native.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        native[i] = {.fd = entries[i].fd,
                     .events = translate(entries[i].wanted, &EventBit::ours, &EventBit::native),
                     .revents = 0};
    }
    const std::int64_t start = steadyNanoseconds();
    int ready;
    for (;;) {
        ready = ::poll(native.data(), native.size(), remainingMilliseconds(timeout, start));
        if (ready >= 0) {
            break;
        }
        if (errno != EINTR) {
            return {.error = errno};
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].ready = translate(native[i].revents, &EventBit::native, &EventBit::ours);
    }
    return {.value = ready};
}

SysResult<short> pollOne(int fd, short wanted, std::chrono::milliseconds timeout) {
    PollEntry entry{.fd = fd, .wanted = wanted};
    const auto polled = pollDescriptors(std::span(&entry, 1), timeout);
    if (!polled.ok()) {
        return {.error = polled.error};
    }
    return {.value = entry.ready};
}

SysResult<WakeEvent> WakeEvent::open() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return {.error = errno};
    }
    return {.value = WakeEvent(Fd(fd))};
}

void WakeEvent::signal() const {
    if (!fd_.valid()) {
        return;
    }
    const std::uint64_t one = 1;
    // EAGAIN means the counter is full: the event is readable already.
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeEvent::drain() const {
    if (!fd_.valid()) {
        return;
    }
    std::uint64_t count;
    // One read empties the counter; EAGAIN means it was empty.
    while (::read(fd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace platform
