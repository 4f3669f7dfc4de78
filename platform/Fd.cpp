#include "platform/Fd.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

void Fd::reset(int fd) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) {
        // Not retried on EINTR: Linux has released the descriptor by then, and a retry
        // could close one that another thread has just been given.
        ::close(old);
    }
}

SysStatus setNonBlocking(const Fd& fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return {errno};
    }
    return {};
}

}  // namespace platform
