#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "HttpClient.h"
#include "ProgramRun.h"
#include "XTools.h"
#include "platform/XDisplay.h"

// The windowed program XGridlo as a user meets it: its window, the browser it opens, the
// key "q". Under ctest each test runs inside xvfb-run, an X server of its own.
namespace {

e2e::ProgramRun::Options windowedProgram() {
    e2e::ProgramRun::Options options;
    options.program = GRIDLO_WINDOWED_PROGRAM;
    return options;
}

TEST(WindowedProgram, ServesTheGameUntilTheKeyQEndsItWithZero) {
    if (!platform::XDisplay::open()) {
        GTEST_SKIP() << "no X server can be reached (DISPLAY is not set or not running)";
    }
    e2e::ProgramRun run(windowedProgram());
    ASSERT_EQ(run.startError(), "");
    const std::uint16_t port = run.port();
    ASSERT_NE(port, 0) << run.errors();
    EXPECT_EQ(run.browserAddress(), "http://127.0.0.1:" + std::to_string(port) + "/");
    const platform::XWindowId window = xtools::waitForWindow("^XGridlo$");
    ASSERT_NE(window, 0u) << "the window did not appear\n" << run.errors();

    const e2e::HttpAnswer start = e2e::fetch(port, e2e::getRequest("/"));
    EXPECT_EQ(start.status, 200);
    EXPECT_NE(start.body.find("Online-Game (GET)"), std::string::npos);

    xtools::pressKey(window, "q");
    const auto exit = run.waitForExit();
    ASSERT_TRUE(exit.has_value()) << "the program runs on after \"q\"";
    EXPECT_EQ(exit->exitCode, 0);
    EXPECT_EQ(run.output().rfind("Fesko++ 1.6.0 based on NuxelFrame 1.28.1 release#: 96\n"
                                 "App Constructed\n"
                                 "going to run app\n",
                                 0),
              0u)
        << run.output();
    EXPECT_TRUE(xtools::waitUntilNoWindow("^XGridlo$"));
}

// The front end cannot open its window: the program says why on standard error and ends
// with 1, before any listener or browser.
TEST(WindowedProgram, WithoutAnXServerItSaysWhyAndEndsWithOne) {
    e2e::ProgramRun::Options options = windowedProgram();
    options.environment["DISPLAY"] = "";
    e2e::ProgramRun run(std::move(options));
    ASSERT_EQ(run.startError(), "");
    const auto exit = run.waitForExit();
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->exitCode, 1);
    EXPECT_EQ(run.errors(), "can't initialise instance\n");
    EXPECT_EQ(run.output(), "");
    EXPECT_EQ(run.browserAddress(), "");
}

}  // namespace
