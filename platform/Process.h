#pragma once

#include <cstdint>
#include <optional>

#include "platform/SysResult.h"

// Process-wide settings that a program's entry point makes once, before any thread starts,
// and the process's limits.
namespace platform {

// SIGPIPE is ignored: a write to a pipe or socket whose reader has gone fails with EPIPE
// instead of ending the process (standard output piped into a program that quit, say).
void ignoreBrokenPipeSignal();

// Standard output is line-buffered also when it is a pipe or a file, so that every line
// leaves when it is complete, as it does on a terminal.
void lineBufferStandardOutput();

// The soft limit of descriptors the process may hold open at once (RLIMIT_NOFILE): a
// descriptor numbered at or above it cannot be made. No limit reads as the largest value.
SysResult<std::uint64_t> descriptorLimit();

// The soft and the hard descriptor limit (RLIMIT_NOFILE) together.
struct DescriptorLimits {
    std::uint64_t soft = 0;
    std::uint64_t hard = 0;
};

// Raises the soft descriptor limit to the hard one, or, where the hard one is unlimited, to
// the most the kernel lets a process hold (fs.nr_open): desktops start programs with a soft
// limit of 1024 below a far higher hard one, which would leave a server room for few
// connections. The limits the process had before are kept, and every child is started with
// them (ChildProcess::spawn): a program that uses select() fails on descriptors above
// 1023, and others size their tables by the limit. Call once, before any thread starts;
// a second call raises nothing more. The soft limit the process has now.
SysResult<std::uint64_t> raiseDescriptorLimit();

// The limits the process was started with, when raiseDescriptorLimit raised them; nothing
// when it was never called or found nothing to raise.
std::optional<DescriptorLimits> startingDescriptorLimits();

}  // namespace platform
