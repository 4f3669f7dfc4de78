#include "platform/Pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace platform {

SysResult<Pipe> openPipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return {.error = errno};
    }
    return {.value = {.readEnd = Fd(ends[0]), .writeEnd = Fd(ends[1])}};
}

IoResult readSome(const Fd& fd, std::span<char> buffer) {
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n >= 0) {
            return {.bytes = static_cast<std::size_t>(n)};
        }
        if (errno == EAGAIN) {
            return {.wouldBlock = true};
        }
        if (errno != EINTR) {
            return {.error = errno};
        }
    }
}

IoResult writeSome(const Fd& fd, std::string_view bytes) {
    // SIGPIPE is blocked in this thread for the write. A signal the write raised is taken
    // off the thread's pending set before the old mask comes back, unless one was pending
    // already (then it is not ours to take). The write may raise it and still report the
    // bytes it wrote before the reader went away, so the check does not depend on EPIPE.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    sigset_t oldMask;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &oldMask);

    IoResult result;
    for (;;) {
        const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
        if (n >= 0) {
            result.bytes = static_cast<std::size_t>(n);
            break;
        }
        if (errno == EAGAIN) {
            result.wouldBlock = true;
            break;
        }
        if (errno != EINTR) {
            result.error = errno;
            break;
        }
    }
    sigpending(&pending);
    if (!pendingBefore && sigismember(&pending, SIGPIPE) == 1) {
        const timespec noWait{};
        while (::sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    return result;
}

SysStatus writeAll(const Fd& fd, std::string_view bytes, std::size_t& written) {
    written = 0;
    while (written < bytes.size()) {
        const auto result = writeSome(fd, bytes.substr(written));
        if (!result.ok()) {
            return {result.error};
        }
        written += result.bytes;
    }
    return {};
}

}  // namespace platform
