#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <limits>

namespace platform {

void ignoreBrokenPipeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

void lineBufferStandardOutput() { ::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

namespace {

std::uint64_t limitValue(rlim_t limit) {
    return limit == RLIM_INFINITY ? std::numeric_limits<std::uint64_t>::max()
                                  : static_cast<std::uint64_t>(limit);
}

// The most descriptors the kernel lets one process hold (/proc/sys/fs/nr_open); nothing
// where it cannot be read.
std::optional<rlim_t> kernelDescriptorMaximum() {
    const int fd = ::open("/proc/sys/fs/nr_open", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    char text[32] = {};
    const ssize_t length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (length <= 0) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || value == 0) {
        return std::nullopt;
    }
    return static_cast<rlim_t>(value);
}

// Written once by raiseDescriptorLimit before any thread starts; read by every spawn.
std::atomic<bool> startingLimitsKept{false};
DescriptorLimits startingLimits;

}  // namespace

SysResult<std::uint64_t> descriptorLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {.error = errno};
    }
    return {.value = limitValue(limit.rlim_cur)};
}

SysResult<std::uint64_t> raiseDescriptorLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {.error = errno};
    }
    rlim_t wanted = limit.rlim_max;
    if (wanted == RLIM_INFINITY) {
        wanted = kernelDescriptorMaximum().value_or(limit.rlim_cur);
    }
    if (limit.rlim_cur != RLIM_INFINITY && wanted > limit.rlim_cur) {
        const struct rlimit raised {.rlim_cur = wanted, .rlim_max = limit.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            return {.error = errno};
        }
        if (!startingLimitsKept.load()) {
            startingLimits = {limitValue(limit.rlim_cur), limitValue(limit.rlim_max)};
            startingLimitsKept.store(true);
        }
        limit.rlim_cur = wanted;
    }
    return {.value = limitValue(limit.rlim_cur)};
}

std::optional<DescriptorLimits> startingDescriptorLimits() {
    if (!startingLimitsKept.load()) {
        return std::nullopt;
    }
    return startingLimits;
}

}  // namespace platform
