#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/Fd.h"

// Runs the real programs as a user does, for tests that talk to them from outside: over
// loopback sockets, through the browser launcher, through standard input.
namespace e2e {

// How long a test waits for what should happen at once; only a fault makes it wait so long.
inline constexpr std::chrono::seconds kPatience{60};

// Everything a stream of the program wrote, collected on a thread of its own until the
// stream ends, so that the program never blocks on a full pipe.
class OutputCollector {
public:
    explicit OutputCollector(platform::Fd readEnd);
    ~OutputCollector();
    OutputCollector(const OutputCollector&) = delete;
    OutputCollector& operator=(const OutputCollector&) = delete;

    std::string text() const;
    // Waits until the text holds the part; false after the patience.
    bool waitFor(std::string_view part, std::chrono::seconds patience = kPatience) const;
    // Waits until the stream has ended; false after the patience.
    bool waitForEnd(std::chrono::seconds patience = kPatience) const;

private:
    void collect();

    platform::Fd readEnd_;
    // Guards text_ and ended_; no other lock is taken under it.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
    bool ended_ = false;
    std::jthread thread_;  // last: joined before the members it writes go
};

// One run of Gridlo or XGridlo as a user starts it, in a temporary directory of its own:
// - its working directory (the game's base directory ".") is directory()/"www";
// - a stub "xdg-open" first on PATH records the address the program hands to the browser,
//   which is how a test learns the port the system chose, and exits with the status that
//   the program's environment names in GRIDLO_LAUNCHER_STATUS (0 without one);
// - standard input is a pipe that stays open until closeInput() or sendLine("quit");
// - standard output and standard error are collected (or, with discardOutput, standard
//   output is a pipe nobody reads: its reader is gone before the program writes).
// The destructor closes the input, waits for the program to end and kills it only when it
// does not, then removes the directory.
class ProgramRun {
public:
    struct Options {
        std::string program;  // the path of the program file
        std::vector<std::string> arguments;
        // Set in the program's environment over this process's own; an empty value
        // removes the variable.
        std::map<std::string, std::string> environment;
        bool discardOutput = false;
    };

    explicit ProgramRun(Options options);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Empty when the program started; else why it did not.
    const std::string& startError() const { return startError_; }
    const std::filesystem::path& directory() const { return directory_; }
    // The program's process id (for a look at it through /proc); -1 when it did not start.
    int pid() const { return child_.pid(); }
    std::filesystem::path workingDirectory() const { return directory_ / "www"; }

    // The address the program handed to the browser launcher ("http://127.0.0.1:port/");
    // empty when none came within the patience or the program ended first.
    std::string browserAddress();
    // The port of that address; 0 without one.
    std::uint16_t port();

    // Writes the line and a line end to the program's standard input.
    bool sendLine(std::string_view line);
    // The end of the program's standard input.
    void closeInput();

    // How the program ended; nothing while it still runs after the patience.
    std::optional<platform::ChildExit> waitForExit(std::chrono::seconds patience = kPatience);

    std::string output() const;
    std::string errors() const;
    bool waitForOutput(std::string_view part) const;
    bool waitForErrors(std::string_view part) const;

private:
    void writeStubLauncher() const;
    std::vector<std::string> environmentFor(const Options& options) const;

    std::filesystem::path directory_;
    std::string startError_;
    platform::Fd input_;
    std::unique_ptr<OutputCollector> output_;
    std::unique_ptr<OutputCollector> errors_;
    platform::ChildProcess child_;
    std::optional<platform::ChildExit> exit_;
};

}  // namespace e2e
