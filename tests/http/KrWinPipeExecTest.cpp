#include "http/KrWinPipeExec.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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
    EXPECT_FALSE(exec.launch({}, input, output));
    (void)testing::internal::GetCapturedStdout();
    KrWinPipeExec started("/bin/true");
    EXPECT_TRUE(started.launch({}, input, output));
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

TEST_F(KrWinPipeExecTest, TheChildIsReapedWhenRunReturns) {
    const std::string pid = run(script("pid", "printf %s $$"));
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(fs::exists("/proc/" + pid)) << "no zombie left behind";
}

}  // namespace
