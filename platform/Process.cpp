#include "platform/Process.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>

#include <limits>

namespace platform {

void ignoreBrokenPipeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

void lineBufferStandardOutput() { ::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

SysResult<std::uint64_t> descriptorLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {.error = errno};
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return {.value = std::numeric_limits<std::uint64_t>::max()};
    }
    return {.value = static_cast<std::uint64_t>(limit.rlim_cur)};
}

}  // namespace platform
