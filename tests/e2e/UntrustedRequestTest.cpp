#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
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

    // A program that leaves a line in a file outside the served directory each time it
    // runs: its method and query.
    fs::path writeTracingProgram(const std::string& relative) const {
        const fs::path trace = run_->directory() / "trace";
        write(relative, "#!/bin/sh\nprintf '%s %s\\n' \"$REQUEST_METHOD\" \"$QUERY_STRING\" >> '" +
                            trace.string() +
                            "'\nprintf 'Content-Type: text/plain\\r\\n\\r\\ntraced'\n");
        fs::permissions(run_->workingDirectory() / relative, fs::perms::owner_all);
        return trace;
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

// A C1 control is a terminal's escape as much as ESC is: CSI (0x9B) raw, or as UTF-8 (C2 9B),
// in the request line, a field, a content type or a widget action reaches the output as hex.
TEST_F(UntrustedRequests, C1ControlsReachTheProgramsOutputEscaped) {
    EXPECT_EQ(answerTo("GET /a\x9B" "2J HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").status, 404);
    EXPECT_TRUE(run_->waitForOutput("\"GET /a\\x9B" "2J\" --> 404 ")) << run_->output();

    EXPECT_EQ(answerTo("GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                       "Referer: r\xC2\x9B" "1m\r\nUser-Agent: u\xC2\x9B" "2J\r\n\r\n")
                  .status,
              200);
    EXPECT_TRUE(run_->waitForOutput("\"r\\xC2\\x9B" "1m\" \"u\\xC2\\x9B" "2J\"\n")) << run_->output();

    const HttpAnswer posted = answerTo(
        "POST /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: t\xC2\x9B" "2J\x9B\r\n"
        "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(posted.status, 200);
    EXPECT_TRUE(run_->waitForErrors("content type not defined (t\\xC2\\x9B" "2J\\x9B)\n"))
        << run_->errors();

    const std::string id = newSession();
    ASSERT_EQ(id.size(), 25u);
    const HttpAnswer action = answerTo(e2e::formPost(
        "/nuxelwidget.handler", {{"nuxelid", id},
                                 {"nuxelaction", "onclick%c2%9b2J"},
                                 {"nuxelactionelement", "i11%9b"},
                                 {"nuxelactionparam1", "%c2%9d0;title%c2%9c"}}));
    EXPECT_EQ(action.status, 200);
    for (const char* line : {"content: onclick\\xC2\\x9B" "2J\n", "content1: i11\\x9B\n",
                             "content2: \\xC2\\x9D" "0;title\\xC2\\x9C\n"}) {
        EXPECT_TRUE(run_->waitForOutput(line)) << line << run_->output();
    }
    for (const std::string& text : {run_->output(), run_->errors()}) {
        for (const char raw : {'\x9B', '\x9C', '\x9D'}) {
            EXPECT_EQ(text.find(raw), std::string::npos) << static_cast<int>(raw) << "\n" << text;
        }
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

// What browsers send with a request of another site's page, and with one of the game's own.
constexpr const char* kCrossSiteImage =
    "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n";
constexpr const char* kSameSiteImage =
    "Sec-Fetch-Site: same-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n";
constexpr const char* kCrossSiteNavigation =
    "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n";
constexpr const char* kAttackerOrigin = "Origin: http://attacker.example\r\n";

// A request with the fields given (each line with its CR LF), a Host among them or this
// listener's, and for a POST a form body of its own.
std::string requestWith(std::string_view method, std::string_view target, std::string fields,
                        std::uint16_t port) {
    if (fields.find("Host:") == std::string::npos) {
        fields = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n" + fields;
    }
    std::string request =
        std::string(method) + " " + std::string(target) + " HTTP/1.1\r\n" + fields;
    if (method == "POST") {
        request +=
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=1";
    } else {
        request += "\r\n";
    }
    return request;
}

TEST_F(UntrustedRequests, AnotherSitesPageGetsNothingButATopLevelNavigation) {
    write("app.js", "var secret = 1;");
    const std::string port = std::to_string(port_);
    const std::string own = "Origin: http://127.0.0.1:" + port + "\r\n";
    constexpr int kRefused = 0;
    struct Case {
        std::string what;
        std::string method;
        std::string path;
        std::string fields;
        int status;  // kRefused: closed without an answer
        std::string bodyPart;
    };
    const std::vector<Case> cases{
        {"another site's image", "GET", "/kreuz.png", kCrossSiteImage, kRefused, ""},
        {"another port's image", "GET", "/kreuz.png", kSameSiteImage, kRefused, ""},
        {"another site's image of a new game", "GET", "/", kCrossSiteImage, kRefused, ""},
        {"another site's script", "GET", "/app.js",
         "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: script\r\n",
         kRefused, ""},
        {"another site's style sheet", "GET", "/spiele.css",
         "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: style\r\n",
         kRefused, ""},
        {"another site's frame", "GET", "/",
         "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: iframe\r\n",
         kRefused, ""},
        {"another site's fetch", "GET", "/hello.txt",
         "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: empty\r\n" +
             std::string(kAttackerOrigin),
         kRefused, ""},
        {"another site's form", "POST", "/cgi-bin/s.sh",
         kCrossSiteNavigation + std::string(kAttackerOrigin), kRefused, ""},
        {"another port's form", "POST", "/cgi-bin/s.sh",
         "Sec-Fetch-Site: same-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n"
         "Origin: http://127.0.0.1:1\r\n",
         kRefused, ""},
        {"an unknown site", "GET", "/hello.txt",
         "Sec-Fetch-Site: elsewhere\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n",
         kRefused, ""},
        {"another site's link", "GET", "/", kCrossSiteNavigation, 200, "nuxelid=\"nuxelid"},
        {"another port's link", "GET", "/hello.txt",
         "Sec-Fetch-Site: same-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n",
         200, "hello, world\n"},
        {"a launched address", "GET", "/",
         "Sec-Fetch-Site: none\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n", 200,
         "nuxelid=\"nuxelid"},
        {"the page's own image", "GET", "/kreuz.png",
         "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n", 200,
         "PNG"},
        {"the page's own form", "POST", "/cgi-bin/s.sh",
         "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: "
         "document\r\n" +
             own,
         200, "ran"},
        {"an older browser's form of another site", "POST", "/cgi-bin/s.sh", kAttackerOrigin,
         kRefused, ""},
        {"an older browser's fetch of another site", "GET", "/hello.txt", kAttackerOrigin, kRefused,
         ""},
        {"a sandboxed frame's form", "POST", "/cgi-bin/s.sh", "Origin: null\r\n", kRefused, ""},
        {"another port's origin", "POST", "/cgi-bin/s.sh", "Origin: http://127.0.0.1:1\r\n",
         kRefused, ""},
        {"an https origin", "POST", "/cgi-bin/s.sh", "Origin: https://127.0.0.1:" + port + "\r\n",
         kRefused, ""},
        {"an older browser's own form", "POST", "/cgi-bin/s.sh", own, 200, "ran"},
        {"its own origin in capitals", "POST", "/cgi-bin/s.sh",
         "Host: localhost:" + port + "\r\nOrigin: HTTP://LocalHost:" + port + "\r\n", 200, "ran"},
        {"port 80 in the Host only", "POST", "/cgi-bin/s.sh",
         "Host: localhost:80\r\nOrigin: http://localhost\r\n", 200, "ran"},
        {"port 80 in the Origin only", "POST", "/cgi-bin/s.sh",
         "Host: localhost\r\nOrigin: http://localhost:80\r\n", 200, "ran"},
        {"neither field", "GET", "/hello.txt", "", 200, "hello, world\n"},
        {"neither field, a form", "POST", "/cgi-bin/s.sh", "", 200, "ran"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        // Each request marked by its query, so that its access-log line can be told apart.
        const std::string target = c.path + "?case=" + std::to_string(i);
        const std::string request = requestWith(c.method, target, c.fields, port_);
        const std::string logged = "\"" + c.method + " " + target + "\" --> ";
        if (c.status == kRefused) {
            EXPECT_TRUE(closedWithoutAnswer(request)) << c.what;
            continue;
        }
        const HttpAnswer answer = answerTo(request);
        EXPECT_EQ(answer.status, c.status) << c.what;
        EXPECT_NE(answer.body.find(c.bodyPart), std::string::npos) << c.what << "\n" << answer.body;
        EXPECT_TRUE(run_->waitForOutput(logged)) << c.what << "\n" << run_->output();
    }
    // The lines come in order: once the last is there, a refused one's would be too.
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].status == kRefused) {
            const std::string target = cases[i].path + "?case=" + std::to_string(i) + "\"";
            EXPECT_EQ(run_->output().find(target), std::string::npos) << cases[i].what;
        }
    }
}

// Image tags of another site, each asking for a new game, would make sessions until the
// user's own was dropped to make room for them.
TEST_F(UntrustedRequests, TheUsersGameOutlastsAnotherSitesImagesAskingForNewGames) {
    const std::string id = newSession();
    ASSERT_EQ(id.size(), 25u);
    constexpr int kImages = 1200;
    constexpr std::size_t kConnections = 6;  // as many as a browser opens to one host
    const std::string image = requestWith("GET", "/", kCrossSiteImage, port_);
    std::vector<HttpConnection> connections(kConnections);
    int answered = 0;
    for (int sent = 0; sent < kImages; sent += static_cast<int>(kConnections)) {
        for (HttpConnection& connection : connections) {
            if (!connection.connected()) {
                ASSERT_TRUE(connection.connect(port_));
            }
            ASSERT_TRUE(connection.send(image));
        }
        // A refused request closes its connection: the next one opens a new one.
        for (HttpConnection& connection : connections) {
            if (connection.readAnswer().status != 0) {
                ++answered;
            } else {
                connection = HttpConnection();
            }
        }
    }
    EXPECT_EQ(answered, 0);
    const HttpAnswer click = answerTo(e2e::getRequest("/f12?nuxelid=" + id));
    EXPECT_EQ(click.status, 200);
    EXPECT_EQ(click.body.find(kNotFoundMark), std::string::npos);
    EXPECT_EQ(e2e::sessionIdIn(click.body), id);
}

TEST_F(UntrustedRequests, AnotherSitesFormOrImageRunsNoProgram) {
    const fs::path trace = writeTracingProgram("cgi-bin/trace.sh");
    const std::vector<std::pair<std::string, std::string>> refused{
        {"another site's form",
         requestWith("POST", "/cgi-bin/trace.sh?from=form",
                     kCrossSiteNavigation + std::string(kAttackerOrigin), port_)},
        {"an older browser's form of another site",
         requestWith("POST", "/cgi-bin/trace.sh?from=oldform", kAttackerOrigin, port_)},
        {"a sandboxed frame's form",
         requestWith("POST", "/cgi-bin/trace.sh?from=sandbox", "Origin: null\r\n", port_)},
        {"another site's image",
         requestWith("GET", "/cgi-bin/trace.sh?from=image", kCrossSiteImage, port_)},
        {"another port's image",
         requestWith("GET", "/cgi-bin/trace.sh?from=port", kSameSiteImage, port_)},
    };
    for (const auto& [what, request] : refused) {
        EXPECT_TRUE(closedWithoutAnswer(request)) << what;
    }
    // The program runs for the user, and has left no other trace.
    const HttpAnswer own = answerTo(e2e::getRequest("/cgi-bin/trace.sh?from=user"));
    EXPECT_EQ(own.status, 200);
    EXPECT_EQ(own.body, "traced");
    std::ifstream in(trace);
    const std::string traced((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(traced, "GET from=user\n");
}

// A link in the served directory leads a request only where the request's own path could
// go: to no hidden file, to no program or script sent as its text.
TEST_F(UntrustedRequests, ALinkInTheServedDirectoryObeysItsRules) {
    const fs::path www = run_->workingDirectory();
    write("page.php", "<?php echo 'secret'; ?>");
    write("tool.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\ntool ran'\n");
    fs::permissions(www / "tool.sh", fs::perms::owner_all);
    write(".hooks/run.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nsecret'\n");
    fs::permissions(www / ".hooks" / "run.sh", fs::perms::owner_all);
    std::ofstream(run_->directory() / "outside.txt") << "secret";
    struct Case {
        std::string link;
        fs::path target;
        std::string requestPath;
        int status;
        std::string body;  // of a 200 answer
    };
    const std::vector<Case> cases{
        {"envlink", ".env", "/envlink", 404, ""},
        {"public", ".git", "/public/config", 404, ""},
        {"sub/deep", "../.ssh/id_rsa", "/sub/deep", 404, ""},
        {"scripts", "cgi-bin", "/scripts/s.sh", 404, ""},
        {"run.sh", "cgi-bin/s.sh", "/run.sh", 404, ""},
        {"page.txt", "page.php", "/page.txt", 404, ""},
        {"absolute-env", www / ".env", "/absolute-env", 404, ""},
        {"index.html", ".env", "//", 404, ""},  // "//" is the index; "/" starts a game
        {"script.php", "cgi-bin/s.sh", "/script.php", 404, ""},
        {"cgi-bin/hook", "../.hooks/run.sh", "/cgi-bin/hook", 404, ""},
        {"outside", "../outside.txt", "/outside", 404, ""},
        {"cgi-bin/tool", "../tool.sh", "/cgi-bin/tool", 200, "tool ran"},
        {"greeting.txt", "hello.txt", "/greeting.txt", 200, "hello, world\n"},
        {"docs", "sub", "/docs/inner.txt", 200, "inner"},
        {"absolute", www / "hello.txt", "/absolute", 200, "hello, world\n"},
        {"index.html", "sub/inner.txt", "//", 200, "inner"},
    };
    for (const Case& c : cases) {
        fs::create_symlink(c.target, www / c.link);
        const HttpAnswer answer = answerTo(e2e::getRequest(c.requestPath));
        EXPECT_EQ(answer.status, c.status) << c.link;
        if (c.status == 404) {
            EXPECT_NE(answer.body.find(kNotFoundMark), std::string::npos) << c.link;
        } else {
            EXPECT_EQ(answer.body, c.body) << c.link;
        }
        for (const char* secret : {"secret", "printf", "<?php"}) {
            EXPECT_EQ(answer.body.find(secret), std::string::npos) << c.link << ": " << secret;
        }
        fs::remove(www / c.link);
    }
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
