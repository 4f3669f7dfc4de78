#pragma once

// Process-wide settings that a program's entry point makes once, before any thread starts.
namespace platform {

// SIGPIPE is ignored: a write to a pipe or socket whose reader has gone fails with EPIPE
// instead of ending the process (standard output piped into a program that quit, say).
void ignoreBrokenPipeSignal();

// Standard output is line-buffered also when it is a pipe or a file, so that every line
// leaves when it is complete, as it does on a terminal.
void lineBufferStandardOutput();

}  // namespace platform
