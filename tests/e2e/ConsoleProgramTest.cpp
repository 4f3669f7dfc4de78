#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../platform/ProcessProbe.h"
#include "ConsoleProgramFixture.h"
#include "HttpClient.h"
#include "ProgramRun.h"
#include "game/BuiltInFiles.h"

// The console program Gridlo as a user and a browser meet it: started with a stub browser
// launcher, played over real loopback connections, ended through its standard input.
namespace {

using e2e::HttpAnswer;
using e2e::HttpConnection;
using e2e::sessionIdIn;

constexpr const char* kHandlerHeader = "// NuxelWidget handler\n";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

bool endedWithZero(const std::optional<platform::ChildExit>& exit) {
    return exit && exit->exitCode == 0 && exit->signal == 0;
}

class ConsoleProgram : public e2e::ConsoleProgramFixture {
protected:
    void SetUp() override { start({}); }

    void start(e2e::ProgramRun::Options options) {
        ASSERT_NO_FATAL_FAILURE(startProgram(std::move(options)));
        ASSERT_TRUE(browser_.connect(port_));
    }

    // A new session as the browser opens it: the start page, and its session identifier.
    std::string openStartPage() {
        const HttpAnswer start = browser_.exchange(e2e::getRequest("/"));
        EXPECT_EQ(start.status, 200);
        EXPECT_NE(start.body.find("Online-Game (GET)"), std::string::npos);
        const std::string id = sessionIdIn(start.body);
        EXPECT_EQ(id.size(), 25u) << start.body;
        return id;
    }

    HttpAnswer get(const std::string& path, const std::string& id) {
        return browser_.exchange(e2e::getRequest(path + "?nuxelid=" + id));
    }

    HttpAnswer post(const std::string& path, const std::string& id) {
        return browser_.exchange(e2e::formPost(path, {{"nuxelid", id}}));
    }

    HttpAnswer widgetAction(const std::string& id, const std::string& element) {
        return browser_.exchange(
            e2e::multipartPost("/nuxelwidget.handler", {{"nuxelid", id},
                                                        {"nuxelaction", "onclick"},
                                                        {"nuxelactionelement", element},
                                                        {"nuxelactionparam1", "none"}}));
    }

    HttpConnection browser_;
};

TEST_F(ConsoleProgram, OpensTheStartPageOnTheLoopbackAfterItsBanner) {
    EXPECT_EQ(run_->browserAddress(), "http://127.0.0.1:" + std::to_string(port_) + "/");
    ASSERT_TRUE(run_->waitForOutput("going to run app\n"));
    EXPECT_EQ(run_->output().rfind("Fesko++ 1.6.0 based on NuxelFrame 1.28.1 release#: 96\n"
                                   "App Constructed\n"
                                   "going to run app\n",
                                   0),
              0u)
        << run_->output();
    EXPECT_TRUE(run_->sendLine("quit"));
    EXPECT_TRUE(endedWithZero(run_->waitForExit()));
    EXPECT_EQ(run_->errors(), "");
}

TEST_F(ConsoleProgram, PlaysAWholeGameInTheGetScheme) {
    const std::string id = openStartPage();
    HttpAnswer page;
    for (const char* cell : {"11", "12", "21"}) {
        page = get(std::string("/f") + cell, id);
        EXPECT_EQ(page.status, 200) << cell;
    }
    EXPECT_EQ(occurrences(page.body, "src=\"kreuz.png\""), 3u);
    EXPECT_EQ(occurrences(page.body, "src=\"kreis.png\""), 3u);
    EXPECT_NE(page.body.find("<a href=\"#\" id=\"NeuStarten\">O wins, Restart Game</a>"),
              std::string::npos);

    const HttpAnswer restarted = get("/NeuStarten", id);
    EXPECT_EQ(restarted.status, 200);
    EXPECT_EQ(occurrences(restarted.body, "src=\"leer.png\""), 9u);
    EXPECT_NE(restarted.body.find("<u>Restart Game</u>"), std::string::npos);

    // Another browser session plays a game of its own.
    const std::string other = openStartPage();
    EXPECT_NE(other, id);
    EXPECT_EQ(occurrences(get("/f22", other).body, "src=\"kreuz.png\""), 1u);
    EXPECT_EQ(occurrences(get("/", id).body, "src=\"kreuz.png\""), 0u);
}

TEST_F(ConsoleProgram, PlaysAWholeGameInThePostScheme) {
    const std::string id = openStartPage();
    const HttpAnswer switched = get("/playpost", id);
    EXPECT_EQ(switched.status, 200);
    EXPECT_NE(switched.body.find("Online-Game (POST)"), std::string::npos);
    // The cells post their forms to their own paths, with the session identifier.
    EXPECT_NE(switched.body.find("<form action=\"f11\" id=\"formcommand2\" method=\"POST\">\n"
                                 "<input name=\"nuxelid\" type=\"hidden\" value=\"" +
                                 id + "\" />"),
              std::string::npos);
    HttpAnswer page;
    for (const char* cell : {"11", "13", "22", "33"}) {
        page = post(std::string("/f") + cell, id);
        EXPECT_EQ(page.status, 200) << cell;
    }
    EXPECT_EQ(occurrences(page.body, "src=\"kreuz.png\""), 4u);
    EXPECT_EQ(occurrences(page.body, "src=\"kreis.png\""), 3u);
    EXPECT_NE(page.body.find("<u>X wins, Restart Game</u>"), std::string::npos);

    const HttpAnswer restarted = post("/NeuStarten", id);
    EXPECT_EQ(occurrences(restarted.body, "src=\"leer.png\""), 9u);
    EXPECT_NE(restarted.body.find("Online-Game (POST)"), std::string::npos);

    // Back to GET, through the POST page's form.
    const HttpAnswer back = post("/playget", id);
    EXPECT_NE(back.body.find("Online-Game (GET)"), std::string::npos);
    EXPECT_EQ(sessionIdIn(back.body), id);
}

// Sixteen peers declare a body of the largest size each and send a few KB of it, as a crowd
// that trickles big bodies does; clicks of the POST scheme that post a few KiB, their head
// and body in two writes, are answered all the same.
TEST_F(ConsoleProgram, PostSchemeClicksAreAnsweredWhileBigBodiesTrickle) {
    const std::string id = openStartPage();
    ASSERT_EQ(get("/playpost", id).status, 200);
    constexpr std::size_t kBigBodies = 16;
    constexpr std::size_t kBigBody = std::size_t{16} << 20;
    const std::string bigHead = "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::to_string(kBigBody) + "\r\n\r\n";
    std::vector<HttpConnection> big(kBigBodies);
    for (HttpConnection& upload : big) {
        ASSERT_TRUE(upload.connect(port_));
        ASSERT_TRUE(upload.send(bigHead + std::string(4096, 'b')));
    }

    for (const char* cell : {"11", "12", "13", "21", "22", "23", "31", "32"}) {
        const std::string click =
            e2e::formPost(std::string("/f") + cell, {{"nuxelid", id}, {"note", std::string(3000, 'n')}});
        const std::size_t bodyAt = click.find("\r\n\r\n") + 4;
        HttpConnection connection(port_);
        ASSERT_TRUE(connection.send(click.substr(0, bodyAt)));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // so that the head is read before its body comes
        ASSERT_TRUE(connection.send(click.substr(bodyAt)));
        const HttpAnswer page = connection.readAnswer();
        EXPECT_EQ(page.status, 200) << cell;
        EXPECT_NE(page.body.find("Online-Game (POST)"), std::string::npos) << cell;
    }
}

TEST_F(ConsoleProgram, PlaysAWholeGameInTheWidgetScheme) {
    const std::string id = openStartPage();
    const HttpAnswer switched = get("/playwidget", id);
    EXPECT_EQ(switched.status, 200);
    EXPECT_NE(switched.body.find("Online-Game (Widget)"), std::string::npos);
    EXPECT_NE(switched.body.find("<form action=\"nuxelwidget.handler\" id=\"nuxelwidgetform\""),
              std::string::npos);

    HttpAnswer answer;
    for (const char* cell : {"11", "13", "22", "32"}) {
        answer = widgetAction(id, std::string("i") + cell);
        EXPECT_EQ(answer.status, 200) << cell;
        EXPECT_EQ(answer.body.rfind(kHandlerHeader, 0), 0u) << answer.body;
        EXPECT_NE(answer.body.find("document.getElementById(\"i" + std::string(cell) +
                                   "\").setAttribute(\"src\",\"kreuz.png\");"),
                  std::string::npos)
            << answer.body;
    }
    EXPECT_NE(answer.body.find("document.getElementById(\"NeuStartenTxt\").innerHTML=\"nobody "
                               "wins, Restart Game\";"),
              std::string::npos)
        << answer.body;
    // The game is over: a click changes nothing.
    EXPECT_EQ(widgetAction(id, "i33").body, kHandlerHeader);

    const HttpAnswer restarted = widgetAction(id, "NeuStarten");
    EXPECT_EQ(restarted.body.rfind(kHandlerHeader, 0), 0u);
    EXPECT_EQ(occurrences(restarted.body, "\"leer.png\""), 9u);
    // The page in the server agrees with the browser's.
    const HttpAnswer page = get("/game_widget.html", id);
    EXPECT_EQ(occurrences(page.body, "src=\"leer.png\""), 9u);
    EXPECT_NE(page.body.find("Restart Game"), std::string::npos);
}

TEST_F(ConsoleProgram, ServesItsBuiltInFiles) {
    const HttpAnswer css = browser_.exchange(e2e::getRequest("/spiele.css"));
    EXPECT_EQ(css.status, 200);
    EXPECT_NE(css.body.find("#F0F0F0"), std::string::npos);
    EXPECT_EQ(css.body.find("[["), std::string::npos);
    const auto files = kr::fillBuiltInFiles();
    for (const char* image : {"leer.png", "kreuz.png", "kreis.png", "favicon.ico"}) {
        const HttpAnswer answer = browser_.exchange(e2e::getRequest(std::string("/") + image));
        EXPECT_EQ(answer.status, 200) << image;
        EXPECT_EQ(answer.body, files.at(image).contentString()) << image;
    }
}

TEST_F(ConsoleProgram, ServesFilesOfItsWorkingDirectoryAndTheNotFoundPage) {
    std::ofstream(run_->workingDirectory() / "hello.txt") << "hello, world\n";
    const HttpAnswer file = browser_.exchange(e2e::getRequest("/hello.txt"));
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.body, "hello, world\n");
    for (const std::string target :
         {"/nothing.html", "/f11?nuxelid=nuxelid000000000000000000", "/../hello.txt"}) {
        const HttpAnswer missing = browser_.exchange(e2e::getRequest(target));
        EXPECT_EQ(missing.status, 404) << target;
        EXPECT_NE(missing.body.find("<h1>Error 404 - not found</h1>"), std::string::npos) << target;
    }
}

// A large file, a small one and a POST with a large body, sent in one go: every answer
// comes whole and in order. A client that then ends its sending side (as "nc -N" does) gets
// them all before the connection closes.
TEST_F(ConsoleProgram, PipelinedRequestsBehindALargeFileAreAllAnswered) {
    std::string big(std::size_t{8} << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i % 251);
    }
    std::ofstream(run_->workingDirectory() / "big.bin", std::ios::binary) << big;
    std::ofstream(run_->workingDirectory() / "hello.txt") << "hello, world\n";
    const std::string requests =
        e2e::getRequest("/big.bin") + e2e::getRequest("/hello.txt") +
        "POST /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 200000\r\n\r\n" +
        std::string(200'000, 'b');
    for (const bool endSending : {false, true}) {
        SCOPED_TRACE(endSending ? "then the end of the stream" : "on a kept connection");
        HttpConnection connection(port_);
        // Sent while the answers are read, as a client does whose requests outgrow the
        // socket buffers.
        std::jthread sender([&] {
            EXPECT_TRUE(connection.send(requests));
            if (endSending) {
                EXPECT_TRUE(connection.endSending());
            }
        });
        const HttpAnswer file = connection.readAnswer();
        EXPECT_EQ(file.status, 200);
        EXPECT_EQ(file.body.size(), big.size());
        EXPECT_TRUE(file.body == big);
        for (int i = 0; i < 2; ++i) {
            const HttpAnswer hello = connection.readAnswer();
            EXPECT_EQ(hello.status, 200) << i;
            EXPECT_EQ(hello.body, "hello, world\n") << i;
        }
        sender.join();
        if (endSending) {
            EXPECT_TRUE(connection.waitForClose());
        }
    }
}

TEST_F(ConsoleProgram, QuitEndsItWithConnectionsStillOpen) {
    openStartPage();  // the browser's connection stays open
    HttpConnection halfway(port_);
    ASSERT_TRUE(halfway.send("GET /spiele.css HTTP/1.1\r\nHost: 127"));  // never completed
    // Lines before "quit" are read and ignored.
    for (const char* line : {"Quit", " quit", "hello"}) {
        ASSERT_TRUE(run_->sendLine(line));
    }
    EXPECT_EQ(e2e::fetch(port_, e2e::getRequest("/spiele.css")).status, 200);
    ASSERT_TRUE(run_->sendLine("quit"));
    EXPECT_TRUE(endedWithZero(run_->waitForExit()));
    EXPECT_TRUE(browser_.waitForClose());
    EXPECT_TRUE(halfway.waitForClose());
}

TEST_F(ConsoleProgram, QuitWhileAProgramRunsEndsItAndStopsTheProgram) {
    const std::filesystem::path programs = run_->workingDirectory() / "cgi-bin";
    std::filesystem::create_directories(programs);
    const std::filesystem::path hang = programs / "hang";
    std::ofstream(hang) << "#!/bin/sh\n"
                           "echo $$ > \"$0.pids\"; sleep 1000 & echo $! >> \"$0.pids\"; wait\n";
    std::filesystem::permissions(hang, std::filesystem::perms::owner_all);
    HttpConnection waiting(port_);
    ASSERT_TRUE(waiting.send("GET /cgi-bin/hang HTTP/1.1\r\n\r\n"));
    const std::vector<int> pids = processprobe::awaitPids(hang.string() + ".pids", 2);
    ASSERT_EQ(pids.size(), 2u) << run_->errors();
    ASSERT_TRUE(run_->sendLine("quit"));
    EXPECT_TRUE(endedWithZero(run_->waitForExit()));
    for (const int pid : pids) {
        EXPECT_TRUE(processprobe::waitUntilEnded(pid)) << pid;
    }
}

TEST_F(ConsoleProgram, TheEndOfItsInputEndsItLikeQuit) {
    openStartPage();
    run_->closeInput();
    EXPECT_TRUE(endedWithZero(run_->waitForExit()));
}

// A launcher that exits with a status other than 0 (xdg-open finding no browser) refused the
// address: the program then says where the page is, as it does without a launcher.
TEST(ConsoleProgramStartPage, ALauncherThatRefusesTheAddressMakesItSayWhereThePageIs) {
    for (const std::string status : {"3", "0"}) {
        e2e::ProgramRun::Options options;
        options.program = GRIDLO_CONSOLE_PROGRAM;
        options.environment["GRIDLO_LAUNCHER_STATUS"] = status;
        e2e::ProgramRun run(std::move(options));
        ASSERT_EQ(run.startError(), "");
        const std::string address = run.browserAddress();
        ASSERT_FALSE(address.empty()) << run.errors();
        const std::string told = "\nplease, open document at " + address + "\n\n";
        if (status != "0") {
            EXPECT_TRUE(run.waitForOutput(told)) << run.output();
        }
        ASSERT_TRUE(run.sendLine("quit"));
        EXPECT_TRUE(endedWithZero(run.waitForExit()));
        EXPECT_EQ(run.output().find(told) != std::string::npos, status != "0") << run.output();
    }
}

// Every request prints an access-log line; with nobody reading standard output each write
// fails, and the program serves on.
TEST(ConsoleProgramOutput, AProgramWhoseOutputIsGoneServesOn) {
    e2e::ProgramRun::Options options;
    options.program = GRIDLO_CONSOLE_PROGRAM;
    options.discardOutput = true;
    e2e::ProgramRun run(std::move(options));
    ASSERT_EQ(run.startError(), "");
    const std::uint16_t port = run.port();
    ASSERT_NE(port, 0);
    HttpConnection browser(port);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(browser.exchange(e2e::getRequest("/spiele.css")).status, 200) << i;
    }
    ASSERT_TRUE(run.sendLine("quit"));
    EXPECT_TRUE(endedWithZero(run.waitForExit())) << run.errors();
}

// Run with few descriptors, the program serves more connects than it has room for: a new
// connection takes the place of the one that would be cut first (here heads that never
// complete, as a client that trickles its requests leaves them), and what it keeps in
// reserve lets files be read and CGI programs run all the while.
TEST(ConsoleProgramAtItsDescriptorLimit, ServesEveryRealUserFilesAndProgramsPastTheLimit) {
    constexpr const char* kPrlimit = "/usr/bin/prlimit";
    if (!std::filesystem::exists(kPrlimit)) {
        GTEST_SKIP() << kPrlimit << " is not installed";
    }
    constexpr int kDescriptors = 256;
    // More connections than the program may hold descriptors.
    constexpr int kTricklers = kDescriptors + 44;
    e2e::ProgramRun::Options options;
    options.program = kPrlimit;
    options.arguments = {"--nofile=" + std::to_string(kDescriptors), GRIDLO_CONSOLE_PROGRAM};
    e2e::ProgramRun run(std::move(options));
    ASSERT_EQ(run.startError(), "");
    const std::uint16_t port = run.port();
    ASSERT_NE(port, 0) << run.errors();
    std::ofstream(run.workingDirectory() / "hello.txt") << "hello, world\n";
    const std::filesystem::path programs = run.workingDirectory() / "cgi-bin";
    std::filesystem::create_directories(programs);
    std::ofstream(programs / "hello")
        << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
           "echo \"hello from $REQUEST_METHOD\"\n";
    std::filesystem::permissions(programs / "hello", std::filesystem::perms::owner_all);

    std::vector<std::unique_ptr<HttpConnection>> tricklers;
    for (int i = 0; i < kTricklers; ++i) {
        auto connection = std::make_unique<HttpConnection>(port);
        ASSERT_TRUE(connection->connected()) << i;
        ASSERT_TRUE(connection->send("GET /spiele.css HTTP/1.1\r\nHost: 127")) << i;
        tricklers.push_back(std::move(connection));
    }
    // A connect that comes while every other connection still has bytes the server has not
    // read finds none it may take the place of, and is refused; on a loaded machine the
    // last tricklers' heads may still be waiting to be read. Once a probe is answered the
    // server has caught up, and from then on every user must be served at the first try.
    bool caughtUp = false;
    for (int probe = 0; probe < 100 && !caughtUp; ++probe) {
        HttpConnection prober(port);
        caughtUp = prober.exchange(e2e::getRequest("/hello.txt")).status == 200;
        if (!caughtUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_TRUE(caughtUp) << "no probe was answered";
    for (int user = 0; user < 3; ++user) {
        SCOPED_TRACE("user " + std::to_string(user));
        HttpConnection browser(port);
        const HttpAnswer start = browser.exchange(e2e::getRequest("/"));
        EXPECT_EQ(start.status, 200);
        EXPECT_EQ(sessionIdIn(start.body).size(), 25u);
        const HttpAnswer file = browser.exchange(e2e::getRequest("/hello.txt"));
        EXPECT_EQ(file.status, 200);
        EXPECT_EQ(file.body, "hello, world\n");
        const HttpAnswer program = browser.exchange(e2e::getRequest("/cgi-bin/hello"));
        EXPECT_EQ(program.status, 200);
        EXPECT_EQ(program.body, "hello from GET\n");
    }
    EXPECT_TRUE(tricklers.front()->waitForClose()) << "the first trickled head made room";
    ASSERT_TRUE(run.sendLine("quit"));
    EXPECT_TRUE(endedWithZero(run.waitForExit())) << run.errors();
    // The crowd at the limit is told once, not once a connection.
    EXPECT_EQ(run.errors(),
              "connection limit of 128 reached: a new connection takes the place of one that "
              "waits for nothing, or is closed\n");
}

}  // namespace
