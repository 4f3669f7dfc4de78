#pragma once

#include <cstdint>

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

}  // namespace platform
