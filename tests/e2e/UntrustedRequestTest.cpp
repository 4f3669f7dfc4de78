#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleProgramFixture.h"
#include "HttpClient.h"
#include "ProgramRun.h"

// Gridlo against requests written as an attacker writes them: raw bytes in over loopback, an
// answer or a closed connection out. The directory it serves holds what such directories
// hold (a repository's .git, an .env, an .ssh) beside ordinary files and a CGI program.
namespace {

namespace fs = std::filesystem;
using e2e::HttpAnswer;
using e2e::HttpConnection;

constexpr const char* kNotFoundMark = "<h1>Error 404 - not found</h1>";

class UntrustedRequests : public e2e::ConsoleProgramFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startProgram());
        for (const char* secret :
             {".env", ".git/config", ".ssh/id_rsa", "sub/.git/config", "sub/.env"}) {
            write(secret, "secret");
        }
        write("hello.txt", "hello, world\n");
        write("sub/inner.txt", "inner");
        write("cgi-bin/s.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nran'\n");
        fs::permissions(run_->workingDirectory() / "cgi-bin" / "s.sh", fs::perms::owner_all);
    }

    void write(const std::string& relative, const std::string& content) const {
        const fs::path path = run_->workingDirectory() / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    // The bytes sent on a connection of their own, and the answer that came (status 0: none).
    HttpAnswer answerTo(const std::string& bytes) const {
        HttpConnection connection(port_);
        return connection.send(bytes) ? connection.readAnswer() : HttpAnswer{};
    }

    // True when the program closes the connection the bytes came on without an answer.
    bool closedWithoutAnswer(const std::string& bytes) const {
        HttpConnection connection(port_);
        if (!connection.connected()) {
            return false;
        }
        (void)connection.send(bytes);  // the program may close before it has read them all
        return connection.closesWithoutAnswer();
    }

    // A new session's identifier, from the start page.
    std::string newSession() const {
        return e2e::sessionIdIn(answerTo(e2e::getRequest("/")).body);
    }
};

TEST_F(UntrustedRequests, NoSpellingOfAPathSendsAHiddenFileOrAProgramsSource) {
    struct Case {
        std::string target;
        int status;
        std::string bodyPart;
    };
    const std::vector<Case> cases{
        {"/.env", 404, kNotFoundMark},
        {"//.env", 404, kNotFoundMark},
        {"///.env", 404, kNotFoundMark},
        {"//./.env", 404, kNotFoundMark},
        {"/./.env", 404, kNotFoundMark},
        {"//.git/config", 404, kNotFoundMark},
        {"//.ssh/id_rsa", 404, kNotFoundMark},
        {"/sub/.git/config", 404, kNotFoundMark},
        {"//sub//.env", 404, kNotFoundMark},
        {"/sub/./.env", 404, kNotFoundMark},
        {"//sub/../hello.txt", 404, kNotFoundMark},
        {"/cgi-bin/s.sh", 200, "ran"},
        {"//cgi-bin/s.sh", 200, "ran"},
        {"/./cgi-bin/s.sh", 200, "ran"},
        {"/cgi-bin//s.sh", 200, "ran"},
        {"/hello.txt", 200, "hello, world\n"},
        {"//hello.txt", 200, "hello, world\n"},
        {"/./hello.txt", 200, "hello, world\n"},
        {"/sub/inner.txt", 200, "inner"},
        {"/sub//./inner.txt", 200, "inner"},
        {"//spiele.css", 200, "#F0F0F0"},
    };
    for (const Case& c : cases) {
        const HttpAnswer answer = answerTo(e2e::getRequest(c.target));
        EXPECT_EQ(answer.status, c.status) << c.target;
        EXPECT_NE(answer.body.find(c.bodyPart), std::string::npos) << c.target << "\n"
                                                                   << answer.body;
        EXPECT_EQ(answer.body.find("secret"), std::string::npos) << c.target;
        EXPECT_EQ(answer.body.find("printf"), std::string::npos) << c.target;
    }
}

// A page of another site that rebinds its host name to 127.0.0.1 sends its own name as Host:
// it reads no kind of answer.
TEST_F(UntrustedRequests, APageOfAnotherSiteReboundToTheLoopbackReadsNothing) {
    const std::string id = newSession();
    ASSERT_EQ(id.size(), 25u);
    const std::string port = std::to_string(port_);
    struct Target {
        std::string path;
        int status;
    };
    const std::vector<Target> targets{
        {"/", 200},                   // a new session's page
        {"/f11?nuxelid=" + id, 200},  // a session's page
        {"/spiele.css", 200},         // a built-in file
        {"/hello.txt", 200},          // a static file
        {"/cgi-bin/s.sh", 200},       // a program
        {"/nothing.html", 404},       // the 404 page
    };
    const std::vector<std::string> refused{
        "Host: attacker.example:" + port + "\r\n",
        "Host: attacker.example\r\n",
        "Host: 127.0.0.1.attacker.example:" + port + "\r\n",
        "Host: 127.0.0.1:" + port + "\r\nHost: attacker.example:" + port + "\r\n",
    };
    const std::vector<std::string> served{
        "",  // no Host at all
        "Host: 127.0.0.1:" + port + "\r\n",
        "Host: localhost:" + port + "\r\n",
        "Host: LocalHost\r\n",
        "Host: [::1]:" + port + "\r\n",
    };
    for (const Target& target : targets) {
        for (const std::string& host : refused) {
            EXPECT_TRUE(closedWithoutAnswer("GET " + target.path + " HTTP/1.1\r\n" + host + "\r\n"))
                << target.path << " " << host;
        }
        for (const std::string& host : served) {
            EXPECT_EQ(answerTo("GET " + target.path + " HTTP/1.1\r\n" + host + "\r\n").status,
                      target.status)
                << target.path << " " << host;
        }
    }
}

TEST_F(UntrustedRequests, RequestBytesReachTheProgramsOutputEscaped) {
    const HttpAnswer posted = answerTo(
        "POST /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: t\x1B[2J\x1B]0;x\x07\r\n"
        "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(posted.status, 200);
    EXPECT_TRUE(run_->waitForErrors("content type not defined (t\\x1B[2J\\x1B]0;x\\x07)\n"))
        << run_->errors();

    const std::string id = newSession();
    ASSERT_EQ(id.size(), 25u);
    const HttpAnswer action = answerTo(e2e::formPost(
        "/nuxelwidget.handler", {{"nuxelid", id},
                                 {"nuxelaction", "onclick%1b[2J"},
                                 {"nuxelactionelement", "i11%0d%0a127.0.0.1 - forged line%07"},
                                 {"nuxelactionparam1", "%7f%1b]0;title%07"}}));
    EXPECT_EQ(action.status, 200);
    for (const char* line :
         {"content: onclick\\x1B[2J\n", "content1: i11\\x0D\\x0A127.0.0.1 - forged line\\x07\n",
          "content2: \\x7F\\x1B]0;title\\x07\n"}) {
        EXPECT_TRUE(run_->waitForOutput(line)) << line << run_->output();
    }
    for (const std::string& text : {run_->output(), run_->errors()}) {
        for (const char raw : {'\x1B', '\x07', '\x7F', '\r'}) {
            EXPECT_EQ(text.find(raw), std::string::npos) << static_cast<int>(raw);
        }
        EXPECT_EQ(text.find("\n127.0.0.1 - forged line"), std::string::npos);
    }
}

// What it cannot answer it does not leave hanging: the connection closes at once, and a
// request behind it goes with it.
TEST_F(UntrustedRequests, AFirstLineThatIsNoRequestClosesTheConnectionAtOnce) {
    const std::vector<std::string> firstLines{
        "HEAD / HTTP/1.1",         "OPTIONS * HTTP/1.1",
        "PUT /hello.txt HTTP/1.1", "DELETE /hello.txt HTTP/1.1",
        "BREW /pot HTTP/1.1",      "hello",
        "\x16\x03\x01\x02",  // the start of a TLS handshake
    };
    for (const std::string& line : firstLines) {
        EXPECT_TRUE(closedWithoutAnswer(line + "\r\nHost: 127.0.0.1\r\n\r\n" +
                                        e2e::getRequest("/hello.txt")))
            << line;
    }
    EXPECT_TRUE(fs::exists(run_->workingDirectory() / "hello.txt"));
    EXPECT_EQ(answerTo(e2e::getRequest("/hello.txt")).status, 200);
}

TEST_F(UntrustedRequests, ABodyFramedOtherwiseThanByOneLengthIsRefused) {
    // Read by length, the chunk lines would be a request of their own, and the GET in them
    // would be served.
    EXPECT_TRUE(closedWithoutAnswer(
        "POST /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "30\r\nGET /sub/inner.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n\r\n0\r\n\r\n"));
    EXPECT_TRUE(
        closedWithoutAnswer("GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: "
                            "chunked\r\n\r\n0\r\n\r\n"));
    EXPECT_TRUE(
        closedWithoutAnswer("POST /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n"
                            "Content-Length: 30\r\n\r\nhelloGET /sub/inner.txt HTTP/1.1\r\n\r\n"));
    // The same length twice frames the body as once.
    const HttpAnswer same = answerTo(
        "POST /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n"
        "Content-Length: 5\r\n\r\nhello");
    EXPECT_EQ(same.status, 200);
    EXPECT_EQ(same.body, "hello, world\n");
}

TEST_F(UntrustedRequests, AnHttp10ClientIsAnsweredAndThenTheConnectionCloses) {
    HttpConnection plain(port_);
    const HttpAnswer answer = plain.exchange("GET /hello.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, "hello, world\n");
    EXPECT_TRUE(plain.waitForClose());

    // One that asks to keep the connection keeps it.
    HttpConnection kept(port_);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(kept.exchange("GET /hello.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n").status,
                  200)
            << i;
    }
    EXPECT_EQ(kept.exchange("GET /hello.txt HTTP/1.0\r\n\r\n").status, 200);
    EXPECT_TRUE(kept.waitForClose());
}

// A status line from a peer is taken without an answer, and the request behind it, whose head
// arrives in pieces while the status line is still being dealt with, is read whole: its
// answer and its access-log line (with its own User-Agent) are those of the request as sent.
// The pieces race the server's threads, so the exchange is repeated.
TEST_F(UntrustedRequests, ARequestWhoseHeadTricklesInBehindAStatusLineIsReadWhole) {
    using namespace std::chrono_literals;
    constexpr int kRounds = 50;
    write("f1", "f1\n");
    const e2e::Piece pieces[] = {
        {"NUXEL/1.0 2", 10ms},
        {"00 OK\r\nUser-Agent: t1528.1\r\n\r\nGET /f1 HTTP", 1ms},
        {"/1.1\r\nUser-Age", 1ms},
        {"nt: t1528.2\r\n", 10ms},
        {"\r\n", 0ms},
    };
    for (int round = 0; round < kRounds; ++round) {
        HttpConnection connection(port_);
        ASSERT_TRUE(connection.sendInPieces(pieces)) << round;
        const HttpAnswer answer = connection.readAnswer();
        EXPECT_EQ(answer.status, 200) << round;
        EXPECT_EQ(answer.body, "f1\n") << round;
    }
    const std::string logged = "\"GET /f1\" --> 200 ";
    const auto deadline = std::chrono::steady_clock::now() + e2e::kPatience;
    std::vector<std::string> lines;
    while (lines.size() < kRounds && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        lines.clear();
        std::istringstream output(run_->output());
        for (std::string line; std::getline(output, line);) {
            if (line.find(logged) != std::string::npos) {
                lines.push_back(line);
            }
        }
    }
    ASSERT_EQ(lines.size(), kRounds) << run_->output();
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.ends_with("\"-\" \"t1528.2\"")) << line;
    }
}

// Connection options are matched in any letter case: a client that reads to the end of the
// stream gets its answer and then the end, not the idle cut.
TEST_F(UntrustedRequests, ConnectionCloseInAnyLetterCaseIsAnsweredAndThenTheConnectionCloses) {
    for (const char* option : {"close", "Close", "CLOSE"}) {
        HttpConnection connection(port_);
        const HttpAnswer answer = connection.exchange(
            std::string("GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: ") + option +
            "\r\n\r\n");
        EXPECT_EQ(answer.status, 200) << option;
        EXPECT_EQ(answer.body, "hello, world\n") << option;
        EXPECT_TRUE(connection.waitForClose()) << option;
    }
}

}  // namespace
