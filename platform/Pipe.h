#pragma once

#include <span>
#include <string_view>

#include "platform/Fd.h"
#include "platform/SysResult.h"

// Anonymous pipes between this process and its children.
namespace platform {

struct Pipe {
    Fd readEnd;
    Fd writeEnd;
};

// pipe2(2), both ends close-on-exec: a child gets an end only as one of its standard
// streams (ChildProcess).
SysResult<Pipe> openPipe();

// One read(2), EINTR retried. 0 bytes: no writer is left. On a non-blocking end, EAGAIN is
// wouldBlock.
IoResult readSome(const Fd& fd, std::span<char> buffer);

// One write(2), EINTR retried. A pipe without a reader fails with EPIPE and never raises
// SIGPIPE, whatever the process does with that signal. On a non-blocking end, a full pipe
// is wouldBlock.
IoResult writeSome(const Fd& fd, std::string_view bytes);

// writeSome until every byte is written or a write fails; written counts what went out.
// For a blocking end only.
SysStatus writeAll(const Fd& fd, std::string_view bytes, std::size_t& written);

}  // namespace platform
