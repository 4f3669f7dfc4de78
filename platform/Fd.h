#pragma once

#include <utility>

#include "platform/SysResult.h"

namespace platform {

// Sole owner of one file descriptor: closes it when destroyed or replaced. Moving hands the
// descriptor on and leaves the source empty (-1).
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { reset(); }

    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the held descriptor (if any) and holds fd instead.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// O_NONBLOCK on the descriptor's open file: a transfer that cannot proceed reports
// wouldBlock instead of waiting.
SysStatus setNonBlocking(const Fd& fd);

}  // namespace platform
