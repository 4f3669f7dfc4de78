#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace platform {

// The outcome of a system call: the errno it failed with, or 0. Every wrapper in this
// folder reports failure this way so that callers cannot overlook it.
struct [[nodiscard]] SysStatus {
    int error = 0;

    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
};

// A value produced by a system call, or the errno that kept it from being produced.
template <class T>
struct [[nodiscard]] SysResult {
    T value{};
    int error = 0;

    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
};

// The outcome of one transfer of data. wouldBlock: nothing could be moved now (EAGAIN),
// not an error. A read that is ok, did not block and moved 0 bytes met the end of the
// stream (the peer closed, or the pipe has no writer left).
struct [[nodiscard]] IoResult {
    std::size_t bytes = 0;
    int error = 0;
    bool wouldBlock = false;

    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
};

// Whether a call failed for want of descriptors or memory (EMFILE, ENFILE, ENOMEM), not for
// what it was asked: the same call may well succeed a moment later.
bool lacksResources(int error);

// The text of an errno value (strerror_r, safe from any thread).
std::string errorText(int error);

}  // namespace platform
