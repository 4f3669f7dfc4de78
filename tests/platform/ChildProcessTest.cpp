#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProcessProbe.h"
#include "platform/Environment.h"
#include "platform/Pipe.h"
#include "platform/Poll.h"
#include "platform/Process.h"

namespace {

using namespace std::chrono_literals;

struct Finished {
    std::string output;
    platform::ChildExit exit;
};

std::string readToEnd(const platform::Fd& fd) {
    std::string all;
    char buffer[4096];
    for (;;) {
        const auto result = platform::readSome(fd, buffer);
        if (!result.ok() || result.bytes == 0) {
            return all;
        }
        all.append(buffer, result.bytes);
    }
}

platform::Pipe openPipe() {
    auto pipe = platform::openPipe();
    EXPECT_TRUE(pipe.ok());
    return std::move(pipe.value);
}

// Runs the options' program with its output (and error, unless the options say otherwise)
// on a pipe, reads the output to its end and reaps the child.
Finished runToEnd(platform::SpawnOptions options, bool errorToOutput = true) {
    platform::Pipe output = openPipe();
    options.output = platform::ChildStream::to(output.writeEnd);
    if (errorToOutput) {
        options.error = platform::ChildStream::to(output.writeEnd);
    }
    auto child = platform::ChildProcess::spawn(options);
    EXPECT_TRUE(child.ok()) << platform::errorText(child.error);
    output.writeEnd.reset();
    Finished finished;
    finished.output = readToEnd(output.readEnd);
    const auto exit = child.value.wait();
    EXPECT_TRUE(exit.ok());
    finished.exit = exit.value;
    return finished;
}

platform::SpawnOptions program(const std::string& name, std::vector<std::string> arguments = {}) {
    platform::SpawnOptions options;
    options.program = name;
    options.arguments = std::move(arguments);
    options.environment = {"PATH=/usr/bin:/bin"};
    return options;
}

platform::SpawnOptions shell(const std::string& script) {
    return program("/bin/sh", {"-c", script});
}

platform::SpawnOptions catReading(const platform::ChildStream& input) {
    platform::SpawnOptions options = program("/bin/cat");
    options.input = input;
    return options;
}

TEST(ChildProcess, CatCopiesItsInputToItsOutput) {
    platform::Pipe input = openPipe();
    platform::Pipe output = openPipe();
    auto options = catReading(platform::ChildStream::to(input.readEnd));
    options.output = platform::ChildStream::to(output.writeEnd);
    auto child = platform::ChildProcess::spawn(options);
    ASSERT_TRUE(child.ok());
    EXPECT_GT(child.value.pid(), 0);
    input.readEnd.reset();
    output.writeEnd.reset();
    std::size_t written = 0;
    ASSERT_TRUE(platform::writeAll(input.writeEnd, "hello\nworld", written).ok());
    EXPECT_EQ(written, 11u);
    input.writeEnd.reset();
    EXPECT_EQ(readToEnd(output.readEnd), "hello\nworld");
    const auto exit = child.value.wait();
    ASSERT_TRUE(exit.ok());
    EXPECT_EQ(exit.value.exitCode, 0);
    EXPECT_EQ(exit.value.signal, 0);
    EXPECT_EQ(child.value.pid(), -1);
    EXPECT_EQ(child.value.wait().error, ECHILD) << "reaped once only";
}

TEST(ChildProcess, ReportsTheExitCodeOrTheEndingSignal) {
    const struct {
        std::string script;
        int exitCode;
        int signal;
    } cases[] = {
        {"exit 0", 0, 0},
        {"exit 3", 3, 0},
        {"kill -TERM $$", -1, SIGTERM},
    };
    for (const auto& c : cases) {
        const Finished finished = runToEnd(shell(c.script));
        EXPECT_EQ(finished.exit.exitCode, c.exitCode) << c.script;
        EXPECT_EQ(finished.exit.signal, c.signal) << c.script;
    }
}

TEST(ChildProcess, ArgumentsArePassedAsTheyAreWithoutAShell) {
    const auto printf = platform::findProgram("printf");
    ASSERT_TRUE(printf.ok());
    const Finished finished =
        runToEnd(program(printf.value, {"[%s]", "two words", "$HOME", "*", "a;b"}));
    EXPECT_EQ(finished.output, "[two words][$HOME][*][a;b]");
}

TEST(ChildProcess, TheEnvironmentIsExactlyTheOneGiven) {
    ASSERT_TRUE(platform::setEnvironment("GRIDLO_PARENT_ONLY", "1").ok());
    auto options = program("env");
    options.environment = {"A=1", "B=two words", "EMPTY="};
    const Finished finished = runToEnd(options);
    EXPECT_EQ(finished.output, "A=1\nB=two words\nEMPTY=\n");
    ASSERT_TRUE(platform::setEnvironment("GRIDLO_PARENT_ONLY", "").ok());
}

TEST(ChildProcess, StandardErrorGoesWhereTheOptionsSay) {
    EXPECT_EQ(runToEnd(shell("echo out; echo err >&2")).output, "out\nerr\n");
    auto separate = shell("echo out; echo err >&2");
    separate.error = platform::ChildStream::null();
    EXPECT_EQ(runToEnd(separate, false).output, "out\n");
}

TEST(ChildProcess, NullInputReadsAsEmpty) {
    const Finished finished = runToEnd(catReading(platform::ChildStream::null()));
    EXPECT_EQ(finished.output, "");
    EXPECT_EQ(finished.exit.exitCode, 0);
}

TEST(ChildProcess, OnlyTheStandardStreamsReachTheChild) {
    platform::Pipe closeOnExec = openPipe();
    std::FILE* inheritable = std::fopen("/dev/null", "r");  // no close-on-exec
    ASSERT_NE(inheritable, nullptr);
    const Finished finished = runToEnd(shell("ls /proc/$$/fd; exit 0"));
    std::fclose(inheritable);
    EXPECT_EQ(finished.output, "0\n1\n2\n");
}

TEST(ChildProcess, ANewSessionOrGroupIsLedByTheChild) {
    struct Case {
        platform::Session session;
        platform::ProcessGroup group;
        bool leadsSession;
        bool leadsGroup;
    };
    const Case cases[] = {
        {platform::Session::New, platform::ProcessGroup::Inherit, true, true},
        {platform::Session::New, platform::ProcessGroup::New, true, true},
        {platform::Session::Inherit, platform::ProcessGroup::New, false, true},
        {platform::Session::Inherit, platform::ProcessGroup::Inherit, false, false},
    };
    for (const Case& c : cases) {
        auto options = shell("cat /proc/$$/stat; exit 0");
        options.session = c.session;
        options.group = c.group;
        const Finished finished = runToEnd(options);
        // "pid (comm) state ppid pgrp session ..."
        std::istringstream fields(finished.output);
        int pid = 0;
        fields >> pid;
        std::istringstream rest(finished.output.substr(finished.output.rfind(')') + 1));
        std::string state;
        int parent = 0, group = 0, sessionId = 0;
        rest >> state >> parent >> group >> sessionId;
        ASSERT_GT(pid, 0) << finished.output;
        EXPECT_EQ(sessionId == pid, c.leadsSession) << finished.output;
        EXPECT_EQ(group == pid, c.leadsGroup) << finished.output;
    }
}

TEST(ChildProcess, AnIgnoredSigpipeIsNotPassedOn) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
    const Finished finished = runToEnd(shell("grep SigIgn /proc/$$/status; exit 0"));
    ::sigaction(SIGPIPE, &previous, nullptr);
    const auto tab = finished.output.find('\t');
    ASSERT_NE(tab, std::string::npos) << finished.output;
    const unsigned long ignored = std::stoul(finished.output.substr(tab + 1), nullptr, 16);
    EXPECT_EQ(ignored & (1UL << (SIGPIPE - 1)), 0UL) << finished.output;
}

TEST(ChildProcess, AProgramThatCannotRunIsAnError) {
    EXPECT_EQ(platform::ChildProcess::spawn(program("/no/such/program")).error, ENOENT);
    EXPECT_EQ(platform::ChildProcess::spawn(program("no-such-program-gridlo")).error, ENOENT);
    EXPECT_EQ(platform::ChildProcess::spawn(program("/dev/null")).error, EACCES);
}

// A server raises its soft descriptor limit to the hard one; the programs it starts must
// not inherit that, but start as they would have started beside it.
TEST(ChildProcess, StartsWithTheDescriptorLimitsTheProcessWasStartedWith) {
    struct rlimit limits {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
    constexpr rlim_t kStartingSoftLimit = 200;
    if (limits.rlim_max != RLIM_INFINITY && limits.rlim_max <= kStartingSoftLimit) {
        GTEST_SKIP() << "the hard descriptor limit leaves nothing to raise";
    }
    limits.rlim_cur = kStartingSoftLimit;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limits), 0);
    EXPECT_FALSE(platform::startingDescriptorLimits());

    const auto raised = platform::raiseDescriptorLimit();
    ASSERT_TRUE(raised.ok()) << platform::errorText(raised.error);
    EXPECT_GT(raised.value, kStartingSoftLimit);
    if (limits.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(raised.value, limits.rlim_max);
    }
    EXPECT_EQ(platform::descriptorLimit().value, raised.value);
    const auto starting = platform::startingDescriptorLimits();
    ASSERT_TRUE(starting);
    EXPECT_EQ(starting->soft, kStartingSoftLimit);

    const Finished child = runToEnd(shell("ulimit -Sn; ulimit -Hn"));
    const std::string hard =
        limits.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(limits.rlim_max);
    EXPECT_EQ(child.output, std::to_string(kStartingSoftLimit) + "\n" + hard + "\n");
    // A second call finds the limit raised and keeps what the process started with.
    EXPECT_EQ(platform::raiseDescriptorLimit().value, raised.value);
    EXPECT_EQ(platform::startingDescriptorLimits()->soft, kStartingSoftLimit);
}

TEST(ChildProcess, FindsProgramsOnThePath) {
    const auto sh = platform::findProgram("sh");
    ASSERT_TRUE(sh.ok());
    EXPECT_EQ(sh.value.substr(sh.value.size() - 3), "/sh");
    EXPECT_EQ(platform::findProgram("./relative/x").value, "./relative/x");
    EXPECT_EQ(platform::findProgram("no-such-program-gridlo").error, ENOENT);
    EXPECT_EQ(platform::findProgram("").error, ENOENT);
}

TEST(ChildProcess, TryWaitSeesARunningChildAndThenItsEnd) {
    platform::Pipe input = openPipe();
    auto child =
        platform::ChildProcess::spawn(catReading(platform::ChildStream::to(input.readEnd)));
    ASSERT_TRUE(child.ok());
    input.readEnd.reset();
    const auto running = child.value.tryWait();
    ASSERT_TRUE(running.ok());
    EXPECT_FALSE(running.value.has_value());
    input.writeEnd.reset();
    const auto exit = child.value.wait();
    ASSERT_TRUE(exit.ok());
    EXPECT_EQ(exit.value.exitCode, 0);
}

TEST(ChildProcess, RunsInTheWorkingDirectoryItIsGiven) {
    platform::SpawnOptions options = shell("pwd");
    options.workingDirectory = "/tmp";
    EXPECT_EQ(runToEnd(options).output, "/tmp\n");
    options.workingDirectory = "/no/such/directory/gridlo";
    EXPECT_EQ(platform::ChildProcess::spawn(options).error, ENOENT);
}

TEST(ChildProcess, KillEndsAChildThatWouldNotEndByItself) {
    platform::Pipe input = openPipe();
    auto child =
        platform::ChildProcess::spawn(catReading(platform::ChildStream::to(input.readEnd)));
    ASSERT_TRUE(child.ok());
    input.readEnd.reset();
    ASSERT_TRUE(child.value.kill().ok());
    const auto exit = child.value.wait();
    ASSERT_TRUE(exit.ok());
    EXPECT_EQ(exit.value.exitCode, -1);
    EXPECT_EQ(exit.value.signal, SIGKILL);
    // Reaped: there is nothing left to signal.
    EXPECT_EQ(child.value.kill().error, ESRCH);
}

TEST(ChildProcess, KillGroupEndsTheChildAndWhatItStartedInItsGroup) {
    platform::Pipe output = openPipe();
    auto options = shell("sleep 1000 & echo $!; wait");
    options.group = platform::ProcessGroup::New;
    options.output = platform::ChildStream::to(output.writeEnd);
    auto child = platform::ChildProcess::spawn(options);
    ASSERT_TRUE(child.ok());
    output.writeEnd.reset();
    std::string line;
    char c = 0;
    while (platform::readSome(output.readEnd, std::span(&c, 1)).bytes == 1 && c != '\n') {
        line += c;
    }
    const int grandchild = std::stoi(line);
    ASSERT_TRUE(processprobe::processRuns(grandchild));

    ASSERT_TRUE(child.value.killGroup().ok());
    const auto exit = child.value.wait();
    ASSERT_TRUE(exit.ok());
    EXPECT_EQ(exit.value.signal, SIGKILL);
    EXPECT_TRUE(processprobe::waitUntilEnded(grandchild));
    EXPECT_EQ(child.value.killGroup().error, ESRCH);
}

TEST(ChildProcess, TheExitEventIsReadableOnceTheChildHasEnded) {
    platform::Pipe input = openPipe();
    auto child =
        platform::ChildProcess::spawn(catReading(platform::ChildStream::to(input.readEnd)));
    ASSERT_TRUE(child.ok());
    input.readEnd.reset();
    const platform::Fd ended = child.value.exitEvent();
    ASSERT_TRUE(ended.valid());
    EXPECT_EQ(platform::pollOne(ended.get(), platform::kPollReadable, 0ms).value, 0);
    input.writeEnd.reset();
    const auto ready = platform::pollOne(ended.get(), platform::kPollReadable, 60s);
    ASSERT_TRUE(ready.ok());
    EXPECT_NE(ready.value & platform::kPollReadable, 0);
    const auto exit = child.value.tryWait();
    ASSERT_TRUE(exit.ok());
    EXPECT_TRUE(exit.value.has_value()) << "readable means ended";
    EXPECT_FALSE(child.value.exitEvent().valid()) << "reaped: no child";
}

TEST(ChildProcess, WaitForEndsAtItsLimitAtAStopOrWithTheChildsEnd) {
    platform::Pipe input = openPipe();
    auto child =
        platform::ChildProcess::spawn(catReading(platform::ChildStream::to(input.readEnd)));
    ASSERT_TRUE(child.ok());
    input.readEnd.reset();
    const int pid = child.value.pid();

    const auto limited = child.value.waitFor(20ms);
    ASSERT_TRUE(limited.ok());
    EXPECT_FALSE(limited.value.has_value());

    const auto stop = platform::WakeEvent::open();
    ASSERT_TRUE(stop.ok());
    stop.value.signal();
    const auto stopped = child.value.waitFor(std::chrono::minutes(30), &stop.value);
    ASSERT_TRUE(stopped.ok());
    EXPECT_FALSE(stopped.value.has_value());
    EXPECT_TRUE(processprobe::processRuns(pid));

    input.writeEnd.reset();
    const auto ended = child.value.waitFor(std::chrono::minutes(30));
    ASSERT_TRUE(ended.ok());
    ASSERT_TRUE(ended.value.has_value());
    EXPECT_EQ(ended.value->exitCode, 0);
    EXPECT_FALSE(processprobe::processExists(pid)) << "reaped";
    EXPECT_EQ(child.value.waitFor(20ms).error, ECHILD);
}

TEST(ChildProcess, AChildLeftByItsOwnerIsReapedWithoutBlocking) {
    int endedAtOnce;
    {
        auto child = platform::ChildProcess::spawn(shell("exit 0"));
        ASSERT_TRUE(child.ok());
        endedAtOnce = child.value.pid();
    }
    platform::Pipe input = openPipe();
    int stillRunning;
    {
        // cat runs until its input closes, well after its owner is gone.
        auto child =
            platform::ChildProcess::spawn(catReading(platform::ChildStream::to(input.readEnd)));
        ASSERT_TRUE(child.ok());
        stillRunning = child.value.pid();
    }
    input.readEnd.reset();
    EXPECT_TRUE(processprobe::processExists(stillRunning));
    input.writeEnd.reset();
    EXPECT_TRUE(processprobe::waitUntilGone(endedAtOnce));
    EXPECT_TRUE(processprobe::waitUntilGone(stillRunning));
}

TEST(Pipe, WritingWithoutAReaderFailsWithoutASignal) {
    platform::Pipe pipe = openPipe();
    pipe.readEnd.reset();
    const auto written = platform::writeSome(pipe.writeEnd, "x");
    EXPECT_EQ(written.error, EPIPE);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    std::size_t count = 99;
    EXPECT_EQ(platform::writeAll(pipe.writeEnd, "abc", count).error, EPIPE);
    EXPECT_EQ(count, 0u);
}

TEST(Pipe, NonBlockingEndsReportWouldBlockInsteadOfWaiting) {
    platform::Pipe pipe = openPipe();
    ASSERT_TRUE(platform::setNonBlocking(pipe.readEnd).ok());
    ASSERT_TRUE(platform::setNonBlocking(pipe.writeEnd).ok());
    char byte;
    EXPECT_TRUE(platform::readSome(pipe.readEnd, std::span(&byte, 1)).wouldBlock);
    const std::string block(64 * 1024, 'w');
    std::size_t written = 0;
    platform::IoResult result;
    do {
        result = platform::writeSome(pipe.writeEnd, block);
        ASSERT_TRUE(result.ok()) << platform::errorText(result.error);
        written += result.bytes;
    } while (!result.wouldBlock && written < (64u << 20));
    EXPECT_TRUE(result.wouldBlock) << "the pipe never filled";
    EXPECT_EQ(result.bytes, 0u);
    const auto read = platform::readSome(pipe.readEnd, std::span(&byte, 1));
    EXPECT_EQ(read.bytes, 1u);
    EXPECT_EQ(byte, 'w');
}

TEST(Pipe, AReaderThatLeavesDuringAWriteRaisesNoSignal) {
    platform::Pipe pipe = openPipe();
    std::size_t written = 0;
    platform::SysStatus status;
    std::jthread writer([&] {
        // Far more than a pipe holds: the write blocks until the reader leaves, then ends
        // with the bytes it wrote (and the kernel raises SIGPIPE all the same).
        status = platform::writeAll(pipe.writeEnd, std::string(4 << 20, 'w'), written);
    });
    char first;
    ASSERT_EQ(platform::readSome(pipe.readEnd, std::span(&first, 1)).bytes, 1u);
    std::this_thread::sleep_for(50ms);
    pipe.readEnd.reset();
    writer.join();
    EXPECT_EQ(status.error, EPIPE);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, std::size_t{4 << 20});
}

}  // namespace
