#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../platform/ProcessProbe.h"
#include "DispatchTestSupport.h"

namespace {

using namespace dispatchtest;
using namespace std::chrono_literals;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool hasLineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&prefix](const std::string& line) { return line.starts_with(prefix); });
}

// The answer head of a CGI program's output: the server's lines, then the program's block.
std::string cgiHead(std::size_t bodySize, const std::string& block) {
    return "HTTP/1.1 200 OK\r\nServer: brantel/1.28.1(96)\r\nContent-Length: " +
           std::to_string(bodySize) + "\r\n" + block;
}

class CgiTest : public DispatchTest {
protected:
    void SetUp() override {
        DispatchTest::SetUp();
        // env itself prints the environment as the child got it (a shell would drop the
        // names with a hyphen); copied, since a link would lead out of the base directory.
        fs::copy_file("/usr/bin/env", base / "cgi-bin" / "env");
        port = serve(siteSettings());
        ASSERT_NE(port, 0);
    }

    // An executable shell script under cgi-bin.
    std::string program(const std::string& name, const std::string& body) {
        return script("www/cgi-bin/" + name, body);
    }

    std::uint16_t port = 0;
};

TEST_F(CgiTest, AGetPassesItsQueryAsItCameAndItsHeaderFields) {
    const Answer answer = askAnswer(port,
                                    "GET /cgi-bin/env?a=%41+b&c HTTP/1.1\r\n"
                                    "User-Agent: Test Agent 1.0\r\n"
                                    "Accept: text/html\r\n"
                                    "Proxy: http://attacker:3128\r\n"
                                    "X=Y: sneaked\r\n"
                                    "\r\n");
    // No empty line in the output: it is all body.
    EXPECT_EQ(answer.head, answerHead(answer.body.size()));
    const auto lines = linesOf(answer.body);
    for (const std::string line :
         {"REQUEST_METHOD=GET", "QUERY_STRING=a=%41+b&c", "REDIRECT_STATUS=CGI",
          "HTTP_USER-AGENT=TestAgent1.0", "HTTP_ACCEPT=text/html"}) {
        EXPECT_TRUE(hasLine(lines, line)) << line << " in\n" << answer.body;
    }
    EXPECT_TRUE(hasLine(lines, "SCRIPT_FILENAME=" + (base / "cgi-bin" / "env").string()))
        << answer.body;
    for (const std::string prefix : {"CONTENT_TYPE=", "CONTENT_LENGTH=", "HTTP_PROXY=", "HTTP_X"}) {
        EXPECT_FALSE(hasLineStarting(lines, prefix)) << prefix << " in\n" << answer.body;
    }
}

TEST_F(CgiTest, APostPassesTypeAndLengthAndItsBodyOnStandardInput) {
    program("post",
            "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
            "echo \"method=$REQUEST_METHOD\"\n"
            "echo \"type=$CONTENT_TYPE\"\n"
            "echo \"length=${CONTENT_LENGTH-unset}\"\n"
            "echo \"query=${QUERY_STRING-unset}\"\n"
            "cat");
    const std::string multipart =
        "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XyZ--\r\n";
    const std::string form = "a=1&b=" + std::string(300, 'b');
    struct Case {
        std::string request;
        std::string output;
    };
    const std::vector<Case> cases{
        {"POST /cgi-bin/post?q=1 HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
         "Content-Length: " +
             std::to_string(multipart.size()) + "\r\n\r\n" + multipart,
         "method=POST\ntype=multipart/form-data;boundary=XyZ\nlength=" +
             std::to_string(multipart.size()) + "\nquery=unset\n" + multipart},
        {"POST /cgi-bin/post HTTP/1.1\r\nContent-Length: " + std::to_string(form.size()) +
             "\r\n\r\n" + form,
         "method=POST\ntype=application/x-www-form-urlencoded\nlength=" +
             std::to_string(form.size()) + "\nquery=unset\n" + form},
        {"POST /cgi-bin/post HTTP/1.1\r\n\r\n",
         "method=POST\ntype=application/x-www-form-urlencoded\nlength=unset\nquery=unset\n"},
    };
    for (const auto& [request, output] : cases) {
        const std::string expected =
            cgiHead(output.size(), "Content-Type: text/plain\r\n\r\n") + output;
        EXPECT_EQ(ask(port, request, expected.size()), expected) << request;
    }
}

TEST_F(CgiTest, TheProgramsHeaderBlockFollowsTheServersHead) {
    program("crlf", "printf 'Status: 404 Not Found\\r\\nContent-Type: text/plain\\r\\n\\r\\nbody'");
    program("lf", "printf 'Content-Type: text/plain\\n\\nbody\\n\\nmore'");
    program("none", "printf 'just text\\r\\nno empty line'");
    program("silent", "exit 0");
    const std::vector<std::pair<std::string, std::string>> cases{
        // A status the program names is not read: the answer is 200 all the same.
        {"/cgi-bin/crlf",
         cgiHead(4, "Status: 404 Not Found\r\nContent-Type: text/plain\r\n\r\n") + "body"},
        {"/cgi-bin/lf", cgiHead(10, "Content-Type: text/plain\n\n") + "body\n\nmore"},
        {"/cgi-bin/none", okAnswer("just text\r\nno empty line")},
        {"/cgi-bin/silent", okAnswer("")},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(ask(port, "GET " + path + " HTTP/1.1\r\nConnection: close\r\n\r\n",
                      expected.size() + 1),
                  expected)
            << path;
    }
}

TEST_F(CgiTest, OutputLargerThanOneReadArrivesWhole) {
    program("large",
            "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
            "head -c 100000 /dev/zero | tr '\\0' x");
    const std::string expected = cgiHead(100000, "Content-Type: application/octet-stream\r\n\r\n") +
                                 std::string(100000, 'x');
    EXPECT_EQ(ask(port, "GET /cgi-bin/large HTTP/1.1\r\n\r\n", expected.size()), expected);
}

TEST_F(CgiTest, AProgramThatCannotStartIsAnsweredWithStatus500) {
    file("cgi-bin/not-executable", "#!/bin/sh\necho never\n");
    const std::string failed = answerHead(0, "500 Internal Error");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ask(port, "GET /cgi-bin/not-executable HTTP/1.1\r\nConnection: close\r\n\r\n",
                  failed.size() + 1),
              failed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error on CreateProcess\n");
}

TEST_F(CgiTest, AProgramPastItsTimeLimitIsStoppedAndAnsweredWithStatus500) {
    client->setChildTimeLimit(2s);  // long enough for the script to write its process ids
    const std::string hang = program("hang",
                                     "echo $$ > \"$0.pids\"; sleep 1000 & echo $! >> \"$0.pids\"\n"
                                     "printf 'Content-Type: text/plain\\r\\n\\r\\npartial'; wait");
    program("ok", "printf 'Content-Type: text/plain\\r\\n\\r\\nran'");
    const std::string failed = answerHead(0, "500 Internal Error");
    testing::internal::CaptureStderr();
    EXPECT_EQ(
        ask(port, "GET /cgi-bin/hang HTTP/1.1\r\nConnection: close\r\n\r\n", failed.size() + 1),
        failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "stopped " + hang + ": still running after its time limit of 2000 ms\n");
    const std::vector<int> pids = processprobe::readPids(hang + ".pids");
    ASSERT_EQ(pids.size(), 2u);
    for (const int pid : pids) {
        EXPECT_TRUE(processprobe::waitUntilEnded(pid)) << pid;
    }
    // The server serves on, and a program that ends in time is answered as ever.
    const std::string ran = cgiHead(3, "Content-Type: text/plain\r\n\r\n") + "ran";
    EXPECT_EQ(ask(port, "GET /cgi-bin/ok HTTP/1.1\r\n\r\n", ran.size()), ran);
}

TEST_F(CgiTest, TheTimeLimitLineNamesTheRequestedProgramWithItsControlBytesEscaped) {
    client->setChildTimeLimit(200ms);
    const std::string hang = program("h\x1B[2Jang\x07", "sleep 1000");
    const std::string failed = answerHead(0, "500 Internal Error");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ask(port, "GET /cgi-bin/h\x1B[2Jang\x07 HTTP/1.1\r\nConnection: close\r\n\r\n",
                  failed.size() + 1),
              failed);
    const std::string named = hang.substr(0, hang.size() - std::string("h\x1B[2Jang\x07").size());
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "stopped " + named + "h\\x1B[2Jang\\x07: still running after its time limit of 200 ms\n");
}

TEST_F(CgiTest, StoppedChildrenEndTheirRequestsAndNoneStartsAfterwards) {
    const std::string hang = program("hang", "echo $$ > \"$0.pids\"; sleep 1000");
    const std::string marker = (directory / "ran").string();
    program("marks", "touch '" + marker + "'");
    const std::string failed = answerHead(0, "500 Internal Error");
    std::string answer;
    std::thread asker([&answer, &failed, this] {
        answer =
            ask(port, "GET /cgi-bin/hang HTTP/1.1\r\nConnection: close\r\n\r\n", failed.size() + 1);
    });
    const std::vector<int> pids = processprobe::awaitPids(hang + ".pids", 1);
    client->stopChildren();
    asker.join();
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_EQ(answer, failed);
    EXPECT_TRUE(processprobe::waitUntilEnded(pids[0]));
    EXPECT_EQ(
        ask(port, "GET /cgi-bin/marks HTTP/1.1\r\nConnection: close\r\n\r\n", failed.size() + 1),
        failed);
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(CgiTest, WhatCannotRunAsCgiGetsTheNotFoundPage) {
    program("ok", "printf 'Content-Type: text/plain\\r\\n\\r\\nran'");
    fs::create_directories(base / "cgi-bin" / "dir");
    const std::vector<std::string> requests{
        "GET /cgi-bin/missing HTTP/1.1\r\n\r\n",
        "GET /cgi-bin/dir HTTP/1.1\r\n\r\n",
        "GET /cgi-bin/../cgi-bin/ok HTTP/1.1\r\n\r\n",
        // Only GET and POST run a program.
        "NONE /cgi-bin/ok HTTP/1.1\r\n\r\n",
    };
    for (const std::string& request : requests) {
        EXPECT_EQ(ask(port, request, notFoundAnswer().size()), notFoundAnswer()) << request;
    }
}

TEST_F(CgiTest, PhpScriptsRunThroughThePhpProgramNamedInTheSettings) {
    const std::string php = script("bin/php-stub",
                                   "printf 'Content-Type: text/html\\r\\n\\r\\n'\n"
                                   "printf '%s %s %s' \"$SCRIPT_FILENAME\" \"$REQUEST_METHOD\" "
                                   "\"$QUERY_STRING\"");
    Settings settings = siteSettings();
    settings[std::string(KrTransceiverClient::kPhpProgramSetting)] = php;
    const std::uint16_t phpPort = serve(settings);
    ASSERT_NE(phpPort, 0);
    const std::string page = file("sub/page.php", "<?php echo 'hi'; ?>");
    const std::string output = page + " GET x=1";
    const std::string expected = cgiHead(output.size(), "Content-Type: text/html\r\n\r\n") + output;
    EXPECT_EQ(ask(phpPort, "GET /sub/page.php?x=1 HTTP/1.1\r\n\r\n", expected.size()), expected);

    EXPECT_EQ(client->phpProgram(), php);
    const auto fallback = kr::makeJob<KrTransceiverClient>(nullptr, Settings{}, nullptr);
    EXPECT_EQ(fallback->phpProgram(), "php-cgi");
}

TEST_F(CgiTest, TwoProgramsRunAtOnceEachWithItsOwnRequest) {
    // Each waits until both have started, so the two runs overlap, then prints its query.
    const std::string marks = (directory / "started-").string();
    program("meet",
            "touch '" + marks +
                "'\"$QUERY_STRING\"\n"
                "n=0\n"
                "while [ ! -e '" +
                marks + "one' ] || [ ! -e '" + marks +
                "two' ]; do\n"
                "  n=$((n+1)); [ $n -gt 3000 ] && break; sleep 0.01\n"
                "done\n"
                "[ $n -gt 3000 ] && met=alone || met=together\n"
                "printf 'Content-Type: text/plain\\r\\n\\r\\n%s %s' \"$QUERY_STRING\" \"$met\"");
    // Requests of one server are served one at a time; two servers serve at once.
    const std::uint16_t second = addServer();
    ASSERT_NE(second, 0);
    Answer one;
    std::thread other(
        [&one, this] { one = askAnswer(port, "GET /cgi-bin/meet?one HTTP/1.1\r\n\r\n"); });
    const Answer two = askAnswer(second, "GET /cgi-bin/meet?two HTTP/1.1\r\n\r\n");
    other.join();
    const std::string block = "Content-Type: text/plain\r\n\r\n";
    EXPECT_EQ(one.head + one.body, cgiHead(12, block) + "one together");
    EXPECT_EQ(two.head + two.body, cgiHead(12, block) + "two together");
}

}  // namespace
