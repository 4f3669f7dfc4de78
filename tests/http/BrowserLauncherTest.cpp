#include "http/KrBrowserLauncher.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "../platform/ProcessProbe.h"
#include "jobs/KrRarediScheduler2.h"
#include "platform/Environment.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Records how it was started, in "key=value" lines, into the file "record" beside itself.
constexpr const char* kStubLauncher = R"(#!/bin/sh
here=$(dirname "$0")
read -r pid comm state ppid pgrp session rest < /proc/$$/stat
if [ "$session" = "$$" ]; then leader=yes; else leader=no; fi
input=$(readlink /proc/$$/fd/0)
output=$(readlink /proc/$$/fd/1)
error=$(readlink /proc/$$/fd/2)
{
  printf 'count=%s\n' "$#"
  printf 'address=%s\n' "$1"
  printf 'leader=%s\n' "$leader"
  printf 'stdin=%s\nstdout=%s\nstderr=%s\n' "$input" "$output" "$error"
  printf 'mark=%s\n' "$GRIDLO_BROWSER_MARK"
} > "$here/record.part"
mv "$here/record.part" "$here/record"
)";

// Writes its process id into "pid" beside itself, then does what the file "behaviour"
// there says: "stay" runs on (as a browser in the foreground does), a number is the exit
// status.
constexpr const char* kAnsweringLauncher = R"(#!/bin/sh
here=$(dirname "$0")
echo $$ > "$here/pid"
behaviour=$(cat "$here/behaviour")
if [ "$behaviour" = stay ]; then exec sleep 1000; fi
exit "$behaviour"
)";

using Record = std::map<std::string, std::string>;

// A directory first on PATH, set on this thread before the scheduler starts and put back
// after it has stopped: the environment is never changed while a worker may read it.
class BrowserLauncherTest : public testing::Test {
protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() /
                     ("gridlo-browser-" + std::to_string(::getpid()) + "-" +
                      testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(directory_ / "bin");
        fs::create_directories(directory_ / "empty");
        savedPath_ = platform::environmentValue("PATH");
        savedMark_ = platform::environmentValue("GRIDLO_BROWSER_MARK");
    }

    void TearDown() override {
        scheduler_.reset();
        ASSERT_TRUE(platform::setEnvironment("PATH", savedPath_).ok());
        ASSERT_TRUE(platform::setEnvironment("GRIDLO_BROWSER_MARK", savedMark_).ok());
        fs::remove_all(directory_);
    }

    // Puts the stub launcher first on PATH and starts the scheduler.
    void withStubLauncher(const char* script = kStubLauncher) {
        const fs::path stub = directory_ / "bin" / "xdg-open";
        std::ofstream(stub) << script;
        fs::permissions(stub, fs::perms::owner_all);
        ASSERT_TRUE(
            platform::setEnvironment("PATH", (directory_ / "bin").string() + ":" + savedPath_)
                .ok());
        ASSERT_TRUE(platform::setEnvironment("GRIDLO_BROWSER_MARK", "passed on").ok());
        startScheduler();
    }

    // PATH holds only a directory without a launcher.
    void withoutLauncher() {
        ASSERT_TRUE(platform::setEnvironment("PATH", (directory_ / "empty").string()).ok());
        startScheduler();
    }

    void startScheduler() {
        scheduler_ = std::make_unique<KrRarediScheduler2>();
        launcher_.scheduler = scheduler_.get();
    }

    // The stub's record once it has written one; empty after a generous wait.
    Record awaitRecord() const {
        const fs::path path = directory_ / "bin" / "record";
        for (auto waited = 0ms; waited < 30s; waited += 10ms) {
            if (fs::exists(path)) {
                return readRecord(path);
            }
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }

    bool recordExists() const { return fs::exists(directory_ / "bin" / "record"); }

    // What the answering launcher does next.
    void setBehaviour(const std::string& behaviour) const {
        fs::remove(directory_ / "bin" / "pid");
        std::ofstream(directory_ / "bin" / "behaviour") << behaviour;
    }

    // The process id the answering launcher wrote; 0 when none came.
    int launcherPid() const {
        const auto pids = processprobe::awaitPids((directory_ / "bin" / "pid").string(), 1);
        return pids.empty() ? 0 : pids.front();
    }

    // Opens the page and returns the outcome the launch job reports; nothing when none came
    // within a generous wait.
    std::optional<bool> openAndAwaitOutcome() {
        const auto reported = std::make_shared<std::promise<bool>>();
        std::future<bool> outcome = reported->get_future();
        EXPECT_TRUE(kr::openUrlInBrowser(launcher_, "http://127.0.0.1:80/", "text/html",
                                         [reported](bool opened) { reported->set_value(opened); }));
        if (outcome.wait_for(60s) != std::future_status::ready) {
            return std::nullopt;
        }
        return outcome.get();
    }

    // True when the scheduler never had a job: its workers start with the first one.
    bool nothingSubmitted() const { return scheduler_->workerPasses() == 0; }

    void stopScheduler() { scheduler_.reset(); }

    KrBrowserLauncher launcher_;

private:
    static Record readRecord(const fs::path& path) {
        Record record;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            const auto equals = line.find('=');
            if (equals != std::string::npos) {
                record[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        return record;
    }

    fs::path directory_;
    std::string savedPath_;
    std::string savedMark_;
    std::unique_ptr<KrRarediScheduler2> scheduler_;
};

TEST_F(BrowserLauncherTest, HandsTheAddressToTheLauncherAsItsOneArgument) {
    withStubLauncher();
    // Blanks and shell syntax reach the launcher untouched: no shell stands between.
    const std::string address = "http://127.0.0.1:4711/?a=1&b=$(touch x) 'c' ; d";
    ASSERT_TRUE(kr::openUrlInBrowser(launcher_, address, "text/html"));

    const Record record = awaitRecord();
    ASSERT_FALSE(record.empty()) << "the launcher never ran";
    EXPECT_EQ(record.at("count"), "1");
    EXPECT_EQ(record.at("address"), address);
}

TEST_F(BrowserLauncherTest, LauncherLeadsItsOwnSessionWithQuietStreamsAndOurEnvironment) {
    withStubLauncher();
    ASSERT_TRUE(kr::openUrlInBrowser(launcher_, "http://127.0.0.1:80/", "text/html"));

    const Record record = awaitRecord();
    ASSERT_FALSE(record.empty()) << "the launcher never ran";
    EXPECT_EQ(record.at("leader"), "yes");
    EXPECT_EQ(record.at("stdin"), "/dev/null");
    EXPECT_EQ(record.at("stdout"), "/dev/null");
    EXPECT_EQ(record.at("stderr"), "/dev/null");
    EXPECT_EQ(record.at("mark"), "passed on");
}

TEST_F(BrowserLauncherTest, ALauncherThatExitsWithAStatusOtherThanZeroRefusedTheAddress) {
    withStubLauncher(kAnsweringLauncher);
    const std::pair<std::string, bool> cases[] = {
        {"0", true}, {"3", false}, {"1", false}, {"255", false}};
    for (const auto& [status, opened] : cases) {
        setBehaviour(status);
        EXPECT_EQ(openAndAwaitOutcome(), opened) << "exit " << status;
        EXPECT_TRUE(processprobe::waitUntilGone(launcherPid())) << "exit " << status;
    }
}

TEST_F(BrowserLauncherTest, ALauncherStillRunningAfterTheWaitCountsAsOpenedAndIsReapedLater) {
    launcher_.wait = 300ms;
    withStubLauncher(kAnsweringLauncher);
    setBehaviour("stay");
    EXPECT_EQ(openAndAwaitOutcome(), true);
    const int pid = launcherPid();
    ASSERT_NE(pid, 0);
    EXPECT_TRUE(processprobe::processRuns(pid)) << "the outcome came before the launcher ended";
    ::kill(pid, SIGKILL);
    EXPECT_TRUE(processprobe::waitUntilGone(pid)) << "reaped, no zombie";
}

TEST_F(BrowserLauncherTest, AStoppingSchedulerCutsTheWaitShort) {
    launcher_.wait = std::chrono::minutes(30);
    withStubLauncher(kAnsweringLauncher);
    setBehaviour("stay");
    const auto reported = std::make_shared<std::promise<bool>>();
    std::future<bool> outcome = reported->get_future();
    ASSERT_TRUE(kr::openUrlInBrowser(launcher_, "http://127.0.0.1:80/", "text/html",
                                     [reported](bool opened) { reported->set_value(opened); }));
    const int pid = launcherPid();
    ASSERT_NE(pid, 0);
    stopScheduler();  // waits for the launch job to end
    ASSERT_EQ(outcome.wait_for(0s), std::future_status::ready);
    EXPECT_TRUE(outcome.get());
    EXPECT_TRUE(processprobe::processRuns(pid));
    ::kill(pid, SIGKILL);
    EXPECT_TRUE(processprobe::waitUntilGone(pid));
}

TEST_F(BrowserLauncherTest, OnlyTheExactTypeTextHtmlIsOpened) {
    withStubLauncher();
    const std::string refused[] = {
        "TEXT/HTML",  "text/HTML",
        "Text/html",  "text/html; charset=utf-8",
        "text/html ", " text/html",
        "",           "text/htm",
        "text/plain", std::string("text/html\0", 10),
    };
    for (const std::string& type : refused) {
        EXPECT_FALSE(kr::openUrlInBrowser(launcher_, "http://127.0.0.1:80/", type))
            << "'" << type << "'";
    }
    EXPECT_TRUE(nothingSubmitted());
    stopScheduler();
    EXPECT_FALSE(recordExists());
}

TEST_F(BrowserLauncherTest, RefusesWhenNoLauncherCanBeFound) {
    withoutLauncher();
    EXPECT_FALSE(kr::openUrlInBrowser(launcher_, "http://127.0.0.1:80/", "text/html"));
    EXPECT_TRUE(nothingSubmitted());
    EXPECT_FALSE(kr::shellOpenUrl("http://127.0.0.1:80/"));
}

TEST_F(BrowserLauncherTest, RefusesWithoutAScheduler) {
    withStubLauncher();
    EXPECT_FALSE(kr::openUrlInBrowser(KrBrowserLauncher{}, "http://127.0.0.1:80/", "text/html"));
    stopScheduler();
    EXPECT_FALSE(recordExists());
}

}  // namespace
