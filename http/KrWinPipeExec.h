#pragma once

#include <chrono>
#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/Pipe.h"

class KrStringBuf;

// Runs one child process with pipes on its standard input and standard output (standard
// error shares the output pipe): feeds it an input stream and collects its output into an
// output stream. The CGI and PHP runners use it.
//
// The command names the program (a path, or a name found on PATH); it runs with no
// arguments and never through a shell. The child gets an environment of its own (see
// childEnvironment); the process environment is never changed. It leads a process group of
// its own, so that whatever it starts can be stopped with it.
//
// A run has a time limit: a child that has not ended, and closed its output, by then is
// killed with its whole process group. So is it when the caller asks the run to stop (the
// server is going away).
class KrWinPipeExec {
public:
    // Output is read this many bytes at a time.
    static constexpr std::size_t kReadChunk = 4096;
    // How long a child may take, from its start until it has ended and its output is closed,
    // unless the caller sets another limit.
    static constexpr std::chrono::milliseconds kDefaultTimeLimit{std::chrono::seconds{30}};

    using Variables = std::map<std::string, std::string>;

    // How a run ended. Past the time limit or at a stop request the child and its process
    // group were killed.
    enum class Ending { kNotStarted, kFinished, kTimedOut, kStopped };

    // What ends a run early.
    struct Limits {
        std::chrono::milliseconds time = kDefaultTimeLimit;
        // A stop request ends the run at once; the default token never asks.
        std::stop_token stop;
    };

    explicit KrWinPipeExec(std::string command);
    ~KrWinPipeExec();

    KrWinPipeExec(const KrWinPipeExec&) = delete;
    KrWinPipeExec& operator=(const KrWinPipeExec&) = delete;

    // Runs command with the variables, input and output, and returns true.
    static bool run(const std::string& command, const Variables& variables, KrStringBuf& input,
                    KrStringBuf& output);

    // The whole run of the child: start it, write the unread input to it and then close its
    // input while its output is read to the end, and reap it; past the limits, kill it and
    // its process group instead. A child that cannot be started prints "Error on
    // CreateProcess" and leaves output unchanged. The input bytes that reached the child are
    // consumed from input.
    Ending launch(const Variables& variables, KrStringBuf& input, KrStringBuf& output,
                  const Limits& limits);
    // The same with the default time limit and no stop request.
    Ending launch(const Variables& variables, KrStringBuf& input, KrStringBuf& output);

    // One read of at most kReadChunk bytes, appended to output. False at the end of the
    // output (no writer left) or when the read fails.
    bool readOutput(KrStringBuf& output);

    // Waits for the child to end and reaps it; returns at once when there is none.
    void waitForExit();

    // The environment of a child: the server's entries minus every CGI name (the names of
    // variables, "HTTP_*" and the request variables the CGI runner sets), plus variables.
    // A variable whose name is empty or holds "=" is skipped.
    static std::vector<std::string> childEnvironment(const std::vector<std::string>& server,
                                                     const Variables& variables);

private:
    using Clock = std::chrono::steady_clock;

    // Writes input and reads output, on this thread, until the output has ended and the
    // child with it (kFinished), the deadline has passed or a stop was requested. written
    // counts the input bytes that went out.
    Ending exchange(std::string_view input, KrStringBuf& output, Clock::time_point deadline,
                    const std::stop_token& stop, std::size_t& written);

    std::string command_;
    platform::Pipe input_;   // the child reads readEnd; we write writeEnd
    platform::Pipe output_;  // the child writes writeEnd (output and error); we read readEnd
    platform::ChildProcess child_;
};
