#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleProgramFixture.h"
#include "HttpClient.h"
#include "ProgramRun.h"

// The console program started under descriptor limits of the test's choosing (prlimit), as
// desktops and services start it, while crowds of cheap clients come: the descriptors it
// may hold go to real users.
namespace {

namespace fs = std::filesystem;
using e2e::HttpAnswer;
using e2e::HttpConnection;
using namespace std::chrono_literals;

constexpr const char* kPrlimit = "/usr/bin/prlimit";
constexpr const char* kLimitLine = "connection limit of ";

// The descriptors the process holds now, from /proc.
std::size_t openDescriptors(int pid) {
    std::size_t count = 0;
    std::error_code error;
    for (fs::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && entry != end; entry.increment(error)) {
        ++count;
    }
    return count;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class ProgramUnderDescriptorLimits : public e2e::ConsoleProgramFixture {
protected:
    // Starts the program with the soft and hard descriptor limits given.
    void startWithLimits(int soft, int hard) {
        if (!fs::exists(kPrlimit)) {
            GTEST_SKIP() << kPrlimit << " is not installed";
        }
        run_ = std::make_unique<e2e::ProgramRun>(e2e::ProgramRun::Options{
            .program = kPrlimit,
            .arguments = {"--nofile=" + std::to_string(soft) + ":" + std::to_string(hard),
                          GRIDLO_CONSOLE_PROGRAM},
            .environment = {},
        });
        ASSERT_EQ(run_->startError(), "");
        port_ = run_->port();
        ASSERT_NE(port_, 0) << run_->errors();
        write("hello.txt", "hello, world\n");
    }

    void write(const std::string& relative, const std::string& content) const {
        const fs::path path = run_->workingDirectory() / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    void writeProgram(const std::string& name, const std::string& script) const {
        write("cgi-bin/" + name, "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n" + script);
        fs::permissions(run_->workingDirectory() / "cgi-bin" / name, fs::perms::owner_all);
    }

    void quit() {
        ASSERT_TRUE(run_->sendLine("quit"));
        const auto exit = run_->waitForExit();
        ASSERT_TRUE(exit);
        EXPECT_EQ(exit->exitCode, 0) << run_->errors();
    }
};

// A desktop starts programs with a soft limit far below the hard one: the program raises its
// own, and the programs it runs start with what it was given.
TEST_F(ProgramUnderDescriptorLimits, RaisesItsSoftLimitToTheHardOneButNotItsChildren) {
    ASSERT_NO_FATAL_FAILURE(startWithLimits(256, 4096));
    writeProgram("limit", "ulimit -Sn\nulimit -Hn\n");
    EXPECT_EQ(e2e::fetch(port_, e2e::getRequest("/cgi-bin/limit")).body, "256\n4096\n");

    // Far more users than 256 descriptors would leave room for, each served twice on a
    // connection of its own.
    constexpr int kUsers = 600;
    std::vector<std::unique_ptr<HttpConnection>> users;
    for (int user = 0; user < kUsers; ++user) {
        users.push_back(std::make_unique<HttpConnection>(port_));
        ASSERT_TRUE(users.back()->connected()) << user;
        ASSERT_EQ(users.back()->exchange(e2e::getRequest("/hello.txt")).status, 200) << user;
    }
    for (int user = 0; user < kUsers; ++user) {
        const HttpAnswer again = users[static_cast<std::size_t>(user)]->exchange(
            e2e::getRequest("/hello.txt"));
        ASSERT_EQ(again.status, 200) << "user " << user << " lost its connection";
        EXPECT_EQ(again.body, "hello, world\n");
    }
    users.clear();
    quit();
    EXPECT_EQ(run_->errors(), "");
}

// Slow readers of a large file each hold a descriptor for the file beside their socket's;
// together they can bring the process no nearer its descriptor limit than its connection
// limit allows, and whoever comes next is answered or closed at once, never kept waiting.
TEST_F(ProgramUnderDescriptorLimits, SlowReadersOfLargeFilesNeverExhaustTheDescriptors) {
    constexpr int kDescriptors = 256;
    ASSERT_NO_FATAL_FAILURE(startWithLimits(kDescriptors, kDescriptors));
    {
        std::ofstream(run_->workingDirectory() / "large.bin").close();
        fs::resize_file(run_->workingDirectory() / "large.bin", std::uint64_t{1} << 30);
        write("index.html", "<p>index</p>");
    }
    constexpr int kReaders = 200;
    std::vector<std::unique_ptr<HttpConnection>> readers;
    int sending = 0;
    for (int reader = 0; reader < kReaders; ++reader) {
        readers.push_back(std::make_unique<HttpConnection>(port_));
        ASSERT_TRUE(readers.back()->connected()) << reader;
        (void)readers.back()->send(e2e::getRequest("/large.bin"));
        // The head and what fits beside it, and never the rest: the file stays open. A
        // reader that finds no room is closed, or told that the server is busy.
        const HttpAnswer head = readers.back()->readHead();
        EXPECT_NE(head.status, 404) << reader;
        sending += head.status == 200 ? 1 : 0;
        EXPECT_LT(openDescriptors(run_->pid()), static_cast<std::size_t>(kDescriptors)) << reader;
    }
    EXPECT_GT(sending, 0);
    for (const char* path : {"/hello.txt", "/index.html", "/hello.txt"}) {
        SCOPED_TRACE(path);
        HttpConnection newcomer(port_);
        ASSERT_TRUE(newcomer.connected());
        ASSERT_TRUE(newcomer.send(e2e::getRequest(path)));
        // Answered, or closed without an answer: either comes at once. An existing file is
        // never the 404 page.
        const HttpAnswer answer = newcomer.readAnswer();
        EXPECT_NE(answer.status, 404);
        if (answer.status == 0) {
            EXPECT_TRUE(newcomer.waitForClose());
        }
        EXPECT_LT(openDescriptors(run_->pid()), static_cast<std::size_t>(kDescriptors));
    }

    // Once the readers go, users are served again.
    readers.clear();
    bool served = false;
    for (int attempt = 0; attempt < 600 && !served; ++attempt) {
        served = e2e::fetch(port_, e2e::getRequest("/hello.txt")).body == "hello, world\n";
        if (!served) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(e2e::fetch(port_, e2e::getRequest("/index.html")).body, "<p>index</p>");
    quit();
    // The crowd is told of on standard error, once a minute at most (readers that leave
    // with their answers unread reset their connections, which is told of too).
    const std::string errors = run_->errors();
    EXPECT_GE(occurrences(errors, kLimitLine), 1u) << errors;
    EXPECT_LE(occurrences(errors, kLimitLine), 2u) << errors;
}

// A program that runs holds the server's buffer job; the heads that trickle in meanwhile wait
// unread. At the connection limit they are still the first to make room, before the
// keep-alive connections of users between their requests.
TEST_F(ProgramUnderDescriptorLimits, WhileAProgramRunsTrickledHeadsMakeRoomBeforeUsers) {
    ASSERT_NO_FATAL_FAILURE(startWithLimits(200, 200));  // room for 100 connections
    const fs::path started = run_->workingDirectory() / "started";
    const fs::path release = run_->workingDirectory() / "release";
    writeProgram("wait", "touch '" + started.string() + "'\nwhile [ ! -e '" + release.string() +
                             "' ]; do sleep 0.05; done\necho done\n");
    constexpr int kUsers = 61;
    constexpr int kTricklers = 38;
    constexpr int kNewcomers = 5;
    // Connected before the users, so that a head whose bytes were not read yet when a
    // newcomer comes is the one idle longest all the same.
    std::vector<std::unique_ptr<HttpConnection>> tricklers;
    for (int i = 0; i < kTricklers; ++i) {
        tricklers.push_back(std::make_unique<HttpConnection>(port_));
        ASSERT_TRUE(tricklers.back()->connected()) << i;
    }
    std::vector<std::unique_ptr<HttpConnection>> users;
    for (int user = 0; user < kUsers; ++user) {
        users.push_back(std::make_unique<HttpConnection>(port_));
        ASSERT_EQ(users.back()->exchange(e2e::getRequest("/hello.txt")).status, 200) << user;
    }
    HttpConnection program(port_);
    ASSERT_TRUE(program.send(e2e::getRequest("/cgi-bin/wait")));
    for (int wait = 0; wait < 600 && !fs::exists(started); ++wait) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(fs::exists(started)) << run_->errors();

    for (auto& trickler : tricklers) {
        ASSERT_TRUE(trickler->send("GET /hello.txt HTTP/1.1\r\nHost: 127"));
    }
    std::vector<std::unique_ptr<HttpConnection>> newcomers;
    for (int i = 0; i < kNewcomers; ++i) {
        newcomers.push_back(std::make_unique<HttpConnection>(port_));
        ASSERT_TRUE(newcomers.back()->send(e2e::getRequest("/hello.txt"))) << i;
    }
    // Every newcomer gets in, and no user goes out: each newcomer took the place of a head.
    std::ofstream(release).close();

    EXPECT_EQ(program.readAnswer().body, "done\n");
    for (auto& newcomer : newcomers) {
        EXPECT_EQ(newcomer->readAnswer().status, 200);
    }
    for (int user = 0; user < kUsers; ++user) {
        EXPECT_EQ(users[static_cast<std::size_t>(user)]->exchange(e2e::getRequest("/hello.txt")).status,
                  200)
            << "user " << user << " lost its connection";
    }
    tricklers.clear();
    quit();
}

}  // namespace
