#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PageEnvironment.h"
#include "platform/Environment.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using apptest::getRequest;

using SessionLock = apptest::PageEnvironment;

TEST_F(SessionLock, ANewSessionsFirstRequestRunsUnderTheSessionLock) {
    auto context = newContext();
    bool lockedOut = false;
    context->setHook("/", [&](KrXHeader&, KrXResponseHeader& response, const std::string&) {
        // The dispatch calls a new context directly; another thread must still be kept out.
        std::async(std::launch::async, [&] {
            std::unique_lock lock(application_.sessionMutex(), std::try_to_lock);
            lockedOut = !lock.owns_lock();
        }).wait();
        response.writeAnswer("first");
    });
    EXPECT_EQ(apptest::run(*context, "/", "&new").body(), "first");
    EXPECT_TRUE(lockedOut);
}

TEST_F(SessionLock, TheHooksOfAllSessionsRunOneAtATime) {
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::atomic<int> served{0};
    for (int s = 0; s < 4; ++s) {
        auto context = newContext("nuxelid" + std::to_string(s));
        context->setHook("/", [&](KrXHeader&, KrXResponseHeader& response, const std::string&) {
            const int now = ++inside;
            most = std::max(most.load(), now);
            std::this_thread::yield();
            --inside;
            ++served;
            response.writeAnswer("ok");
        });
        application_.registerContext(std::move(context));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) {
                const auto request = getRequest("/");
                const auto response = request->createAnswer();
                application_.dispatchToContext("nuxelid" + std::to_string((t + i) % 4), *request,
                                               *response, "");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(served.load(), 200);
    EXPECT_EQ(most.load(), 1);
}

// Records the address it is started with into the file "opened" beside itself.
constexpr const char* kStubLauncher = R"(#!/bin/sh
printf '%s' "$1" > "$(dirname "$0")/opened.part"
mv "$(dirname "$0")/opened.part" "$(dirname "$0")/opened"
)";

// An application whose browser launcher is a stub first on PATH (or, with noLauncher, no
// launcher at all). PATH is changed before the application's threads exist and put back
// after they have ended.
class StartPage : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() / ("gridlo-app-" + std::to_string(::getpid()));
        fs::create_directories(directory_ / "bin");
        const fs::path stub = directory_ / "bin" / "xdg-open";
        std::ofstream(stub) << kStubLauncher;
        fs::permissions(stub, fs::perms::owner_all);
        savedPath_ = platform::environmentValue("PATH");
    }

    void TearDown() override {
        application_.reset();
        ASSERT_TRUE(platform::setEnvironment("PATH", savedPath_).ok());
        fs::remove_all(directory_);
    }

    void startApplication(KrNuxelApplication2::Settings settings, bool noLauncher = false) {
        const std::string path = noLauncher ? (directory_ / "none").string()
                                            : (directory_ / "bin").string() + ":" + savedPath_;
        ASSERT_TRUE(platform::setEnvironment("PATH", path).ok());
        application_ = std::make_unique<KrNuxelApplication2>(
            &storage_, std::vector<KrListenerEndpoint>{{"127.0.0.1", 0, 3}}, std::move(settings));
    }

    // What the listener reports once it is bound.
    static KrServerCallback_t bound(const std::string& protocol) {
        return {KrServerCallback_t::kListening,
                {{"address", "127.0.0.1"},
                 {"port", "4711"},
                 {"protocolstring", protocol},
                 {"ID", "x"}}};
    }

    // The address the stub was started with; "" when it was not started in time.
    std::string openedAddress() {
        const fs::path opened = directory_ / "bin" / "opened";
        for (int i = 0; i < 3000 && !fs::exists(opened); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        std::ifstream in(opened);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Whether the stub ran, once every job of the application has ended.
    bool launched() {
        application_.reset();
        return fs::exists(directory_ / "bin" / "opened") ||
               fs::exists(directory_ / "bin" / "opened.part");
    }

    fs::path directory_;
    std::string savedPath_;
    KrPersistentAppStorage storage_;
    std::unique_ptr<KrNuxelApplication2> application_;
};

TEST_F(StartPage, ABoundHttpListenerIsRecordedAndOpensTheStartPage) {
    startApplication({{"_app_context_commandurl", "/"}});
    auto event = bound("http");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(application_->onServerEvent(event));
    EXPECT_EQ(openedAddress(), "http://127.0.0.1:4711/");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const auto settings = application_->settings();
    EXPECT_EQ(settings.at("tcp_port_http"), "4711");
    EXPECT_EQ(settings.at("tcp_address_http"), "127.0.0.1");
}

TEST_F(StartPage, TheCommandUrlEndsTheStartAddressAndDefaultsToTheRoot) {
    startApplication({{"_app_context_commandurl", "/game"}});
    auto event = bound("http");
    application_->onServerEvent(event);
    EXPECT_EQ(openedAddress(), "http://127.0.0.1:4711/game");
    fs::remove(directory_ / "bin" / "opened");

    startApplication({{"_app_context_commandurl", ""}});
    application_->onServerEvent(event);
    EXPECT_EQ(openedAddress(), "http://127.0.0.1:4711/");
}

TEST_F(StartPage, NoBrowserPopupStillRecordsTheListener) {
    startApplication({{"no_browser_popup", "1"}});
    auto event = bound("http");
    testing::internal::CaptureStdout();
    application_->onServerEvent(event);
    EXPECT_EQ(application_->settings().at("tcp_port_http"), "4711");
    EXPECT_FALSE(launched());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(StartPage, AnHttpsListenerIsRecordedAsSuchAndOpensNothing) {
    startApplication({});
    auto event = bound("https");
    application_->onServerEvent(event);
    const auto settings = application_->settings();
    EXPECT_EQ(settings.at("tcp_port_https"), "4711");
    EXPECT_EQ(settings.at("tcp_address_https"), "127.0.0.1");
    EXPECT_FALSE(settings.contains("tcp_port_http"));
    EXPECT_FALSE(launched());
}

TEST_F(StartPage, OtherEventsChangeNothing) {
    startApplication({});
    for (const int state : {1, 2, 3, 5, 6}) {
        KrServerCallback_t event = bound("http");
        event.state = state;
        EXPECT_TRUE(application_->onServerEvent(event));
    }
    EXPECT_FALSE(application_->settings().contains("tcp_port_http"));
    EXPECT_FALSE(launched());
}

TEST_F(StartPage, WithoutALauncherTheUserIsToldWhereThePageIs) {
    startApplication({{"_app_context_commandurl", "/"}}, true);
    auto event = bound("http");
    testing::internal::CaptureStdout();
    application_->onServerEvent(event);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nplease, open document at http://127.0.0.1:4711/\n\n");

    testing::internal::CaptureStdout();
    application_->openInBrowser("", 0, "http");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nplease, open document at http://127.0.0.1:0\n\n");
}

TEST_F(StartPage, SettingsAreReadWhileTheListenerWritesThem) {
    startApplication({{"no_browser_popup", "1"}});
    std::atomic<bool> done{false};
    std::thread listener([&] {
        for (int i = 0; i < 500; ++i) {
            KrServerCallback_t event = bound(i % 2 ? "http" : "https");
            event.values["port"] = std::to_string(i);
            application_->onServerEvent(event);
        }
        done = true;
    });
    // At least one read, even when the listener is through before this thread gets going.
    std::size_t reads = 0;
    do {
        reads += application_->settings().size();
    } while (!done);
    listener.join();
    EXPECT_GT(reads, 0u);
    EXPECT_EQ(application_->settings().at("tcp_port_http"), "499");
}

}  // namespace
