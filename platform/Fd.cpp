#include "platform/Fd.h"

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

}  // namespace platform
