#pragma once

#include <map>
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
// childEnvironment); the process environment is never changed.
class KrWinPipeExec {
public:
    // Output is read this many bytes at a time.
    static constexpr std::size_t kReadChunk = 4096;

    using Variables = std::map<std::string, std::string>;

    explicit KrWinPipeExec(std::string command);
    ~KrWinPipeExec();

    KrWinPipeExec(const KrWinPipeExec&) = delete;
    KrWinPipeExec& operator=(const KrWinPipeExec&) = delete;

    // Runs command with the variables, input and output, and returns true.
    static bool run(const std::string& command, const Variables& variables, KrStringBuf& input,
                    KrStringBuf& output);

    // The whole run of the child: start it, write the unread input to it from a thread of
    // its own and then close its input, read its output to the end, and reap it. A child
    // that cannot be started prints "Error on CreateProcess" and leaves output unchanged.
    // The input bytes that reached the child are consumed from input. True when the child
    // started.
    bool launch(const Variables& variables, KrStringBuf& input, KrStringBuf& output);

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
    std::string command_;
    platform::Pipe input_;   // the child reads readEnd; we write writeEnd
    platform::Pipe output_;  // the child writes writeEnd (output and error); we read readEnd
    platform::ChildProcess child_;
};
