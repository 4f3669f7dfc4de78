#include "http/KrWinPipeExec.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "../platform/ProcessProbe.h"
#include "foundation/KrStringBuf.h"
#include "platform/Environment.h"

namespace {

namespace fs = std::filesystem;

std::string unread(KrStringBuf& buffer) {
    std::string text;
    buffer.copyUnread(text);
    return text;
}

// A directory of small shell scripts that serve as CGI programs.
class KrWinPipeExecTest : public testing::Test {
protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() /
                     ("gridlo-exec-" + std::to_string(::getpid()) + "-" +
                      testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(directory_);
    }

    void TearDown() override { fs::remove_all(directory_); }

    std::string path(const std::string& name) const { return (directory_ / name).string(); }

    std::string script(const std::string& name, const std::string& body) {
        const fs::path path = directory_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
        return path.string();
    }

    // Runs command with input and returns its output.
    static std::string run(const std::string& command, const std::string& inputText = "",
                           const KrWinPipeExec::Variables& variables = {}) {
        KrStringBuf input;
        input.write(inputText);
        KrStringBuf output;
        EXPECT_TRUE(KrWinPipeExec::run(command, variables, input, output));
        EXPECT_EQ(input.unreadSize(), 0) << "all input reached the child";
        return unread(output);
    }

private:
    fs::path directory_;
};

TEST_F(KrWinPipeExecTest, InputReachesTheChildAndItsOutputComesBack) {
    const std::string body(300, 'b');
    EXPECT_EQ(run("/bin/cat", "a=1&" + body), "a=1&" + body);
    EXPECT_EQ(run("cat", "found on the search path"), "found on the search path");
}

TEST_F(KrWinPipeExecTest, InputAndOutputLargerThanAPipeArriveComplete) {
    std::string large(1 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(run("/bin/cat", large), large);

    const std::string produced = run(script("many", "head -c 100000 /dev/zero | tr '\\0' x"));
    EXPECT_EQ(produced.size(), 100000u);
    EXPECT_EQ(std::count(produced.begin(), produced.end(), 'x'), 100000);
}

TEST_F(KrWinPipeExecTest, AChildThatReadsAndWritesNothingGivesEmptyOutput) {
    const std::string silent = script("silent", "exit 0");
    EXPECT_EQ(run(silent), "");

    KrStringBuf input;
    input.write(std::string(1 << 20, 'i'));
    KrStringBuf output;
    EXPECT_TRUE(KrWinPipeExec::run(silent, {}, input, output));
    EXPECT_EQ(output.unreadSize(), 0);
    EXPECT_GT(input.unreadSize(), 0) << "what never reached the child stays unread";
}

TEST_F(KrWinPipeExecTest, StandardErrorJoinsTheOutput) {
    EXPECT_EQ(run(script("both", "echo 'Content-Type: text/plain'; echo oops >&2")),
              "Content-Type: text/plain\noops\n");
}

TEST_F(KrWinPipeExecTest, AProgramThatCannotStartPrintsTheLineAndGivesNoOutput) {
    KrStringBuf input;
    input.write("ignored");
    KrStringBuf output;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(KrWinPipeExec::run("/no/such/cgi-bin/program", {}, input, output));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error on CreateProcess\n");
    EXPECT_EQ(output.unreadSize(), 0);

    // The launch itself tells the caller that nothing ran.
    KrWinPipeExec exec("/no/such/cgi-bin/program");
    testing::internal::CaptureStdout();
    EXPECT_EQ(exec.launch({}, input, output), KrWinPipeExec::Ending::kNotStarted);
    (void)testing::internal::GetCapturedStdout();
    KrWinPipeExec started("/bin/true");
    EXPECT_EQ(started.launch({}, input, output), KrWinPipeExec::Ending::kFinished);
}

TEST_F(KrWinPipeExecTest, TheChildSeesItsVariablesAndNoCgiNamesOfTheServer) {
    ASSERT_TRUE(platform::setEnvironment("QUERY_STRING", "server-leftover").ok());
    ASSERT_TRUE(platform::setEnvironment("HTTP_PROXY", "http://attacker").ok());
    ASSERT_TRUE(platform::setEnvironment("GRIDLO_SERVER_SETTING", "kept").ok());
    // env itself, not a script: the shell would drop the name with a hyphen.
    const std::string printed = run("env", "",
                                    {{"REQUEST_METHOD", "POST"},
                                     {"CONTENT_TYPE", "multipart/form-data;boundary=x"},
                                     {"HTTP_USER-AGENT", "curl/8"},
                                     {"BAD=NAME", "dropped"},
                                     {"", "dropped"}});
    for (const char* name : {"QUERY_STRING", "HTTP_PROXY", "GRIDLO_SERVER_SETTING"}) {
        ASSERT_TRUE(platform::setEnvironment(name, "").ok());
    }

    std::vector<std::string> lines;
    std::istringstream stream(printed);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    const auto has = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("REQUEST_METHOD=POST")) << printed;
    EXPECT_TRUE(has("CONTENT_TYPE=multipart/form-data;boundary=x")) << printed;
    EXPECT_TRUE(has("HTTP_USER-AGENT=curl/8")) << printed;
    EXPECT_TRUE(has("GRIDLO_SERVER_SETTING=kept")) << printed;
    for (const std::string prefix : {"QUERY_STRING=", "HTTP_PROXY=", "BAD", "=dropped"}) {
        EXPECT_EQ(printed.find(prefix), std::string::npos) << prefix << " in\n" << printed;
    }
}

TEST(KrWinPipeExecEnvironment, ServerEntriesMinusCgiNamesPlusTheVariables) {
    const std::vector<std::string> server{"PATH=/usr/bin",
                                          "QUERY_STRING=old",
                                          "HTTP_ACCEPT=old",
                                          "CONTENT_LENGTH=9",
                                          "REQUEST_METHOD=GET",
                                          "SCRIPT_FILENAME=x",
                                          "REDIRECT_STATUS=x",
                                          "CONTENT_TYPE=x",
                                          "HTTPS=on",
                                          "MINE=old",
                                          "NOVALUE"};
    const KrWinPipeExec::Variables variables{{"MINE", "new"}, {"REQUEST_METHOD", "POST"}};
    EXPECT_EQ(KrWinPipeExec::childEnvironment(server, variables),
              (std::vector<std::string>{"PATH=/usr/bin", "HTTPS=on", "NOVALUE", "MINE=new",
                                        "REQUEST_METHOD=POST"}));
}

TEST_F(KrWinPipeExecTest, ConcurrentRunsEachSeeOnlyTheirOwnVariables) {
    const std::string echo = script("echo", "printf %s \"$SCRIPT_FILENAME\"");
    std::vector<std::string> outputs(8);
    {
        std::vector<std::jthread> runs;
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            runs.emplace_back([&, i] {
                for (int round = 0; round < 5; ++round) {
                    const std::string mine = "request-" + std::to_string(i);
                    KrStringBuf input;
                    KrStringBuf output;
                    KrWinPipeExec::run(echo, {{"SCRIPT_FILENAME", mine}}, input, output);
                    outputs[i] = unread(output) == mine ? "ok" : unread(output);
                    if (outputs[i] != "ok") {
                        return;
                    }
                }
            });
        }
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i], "ok") << "run " << i;
    }
}

TEST_F(KrWinPipeExecTest, AChildPastItsTimeLimitIsKilledWithEverythingInItsGroup) {
    using namespace std::chrono_literals;
    struct Case {
        std::string name;
        std::string body;         // writes its process ids, one a line, into the file "<name>.pids"
        std::size_t pids;         // how many it writes
        bool lastLeavesTheGroup;  // the last one leads a session of its own
    };
    const std::vector<Case> cases{
        {"sleeps", "echo $$ > \"$0.pids\"; sleep 1000", 1, false},
        {"waits-for-a-grandchild",
         "echo $$ > \"$0.pids\"; sleep 1000 & echo $! >> \"$0.pids\"; wait", 2, false},
        {"closed-its-output", "echo $$ > \"$0.pids\"; exec >&- 2>&-; sleep 1000", 1, false},
        {"left-a-grandchild-on-its-output",
         "sleep 1000 & echo $! > \"$0.pids\"; echo \"Content-Type: text/plain\"; exit 0", 1, false},
        {"reads-none-of-its-input", "echo $$ > \"$0.pids\"; exec sleep 1000", 1, false},
        {"left-an-escaped-grandchild-on-its-output",
         "setsid sleep 1000 & echo $! > \"$0.pids\"; exit 0", 1, true},
    };
    // Long enough for any script to have written its process ids; the runs go at once.
    const KrWinPipeExec::Limits limits{.time = 2s, .stop = {}};
    std::vector<KrWinPipeExec::Ending> endings(cases.size());
    {
        std::vector<std::jthread> runs;
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const std::string program = script(cases[i].name, cases[i].body);
            runs.emplace_back([&endings, &limits, program, i] {
                KrStringBuf input;
                input.write(std::string(1 << 20, 'i'));  // more than a pipe holds
                KrStringBuf output;
                endings[i] = KrWinPipeExec(program).launch({}, input, output, limits);
            });
        }
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(endings[i], KrWinPipeExec::Ending::kTimedOut) << c.name;
        const std::vector<int> pids = processprobe::readPids(path(c.name + ".pids"));
        ASSERT_EQ(pids.size(), c.pids) << c.name << ": the script never got so far";
        for (std::size_t k = 0; k < pids.size(); ++k) {
            if (c.lastLeavesTheGroup && k + 1 == pids.size()) {
                // Out of reach of the group's end, but it no longer holds the run up.
                EXPECT_TRUE(processprobe::processRuns(pids[k])) << c.name;
                ::kill(pids[k], SIGKILL);
                continue;
            }
            EXPECT_TRUE(processprobe::waitUntilEnded(pids[k])) << c.name << " " << pids[k];
        }
    }
}

TEST_F(KrWinPipeExecTest, AStopRequestEndsTheRunAndTheChild) {
    const std::string program = script("sleeps", "echo $$ > \"$0.pids\"; sleep 1000");
    std::stop_source stop;
    KrWinPipeExec::Ending ending = KrWinPipeExec::Ending::kFinished;
    std::jthread run([&] {
        KrStringBuf input;
        KrStringBuf output;
        ending = KrWinPipeExec(program).launch({}, input, output, {.stop = stop.get_token()});
    });
    const std::vector<int> pids = processprobe::awaitPids(path("sleeps.pids"), 1);
    ASSERT_EQ(pids.size(), 1u);
    stop.request_stop();
    run.join();
    EXPECT_EQ(ending, KrWinPipeExec::Ending::kStopped);
    EXPECT_TRUE(processprobe::waitUntilEnded(pids[0]));

    // Once stopped, nothing starts.
    const std::string marker = path("ran");
    KrStringBuf input;
    KrStringBuf output;
    EXPECT_EQ(KrWinPipeExec(script("marks", "touch '" + marker + "'"))
                  .launch({}, input, output, {.stop = stop.get_token()}),
              KrWinPipeExec::Ending::kStopped);
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(KrWinPipeExecTest, TheChildIsReapedWhenRunReturns) {
    const std::string pid = run(script("pid", "printf %s $$"));
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(fs::exists("/proc/" + pid)) << "no zombie left behind";
}

}  // namespace
