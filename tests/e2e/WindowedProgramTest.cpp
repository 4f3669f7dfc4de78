#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HttpClient.h"
#include "ProgramRun.h"
#include "XTools.h"
#include "game/BuiltInFiles.h"
#include "platform/XDisplay.h"

// The windowed program XGridlo as a user meets it: its window, the browser it opens, the
// key "q". Under ctest each test has an X server of its own.
namespace {

e2e::ProgramRun::Options windowedProgram() {
    e2e::ProgramRun::Options options;
    options.program = GRIDLO_WINDOWED_PROGRAM;
    return options;
}

std::uint32_t littleEndian(const std::string& bytes, std::size_t at, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
    }
    return value;
}

// The images of the browser icon, read straight from the file's bytes: each directory entry
// (16 bytes after a 6-byte header) points at a 40-byte bitmap header followed by rows of
// blue, green, red and alpha bytes from the bottom row up.
std::vector<platform::XArgbImage> browserIconImages() {
    const std::string file = kr::builtInIcon().contentString();
    std::vector<platform::XArgbImage> images;
    for (std::size_t entry = 0; entry < littleEndian(file, 4, 2); ++entry) {
        const std::size_t at = 6 + 16 * entry;
        platform::XArgbImage image;
        image.width = static_cast<int>(littleEndian(file, at, 1));
        image.height = static_cast<int>(littleEndian(file, at + 1, 1));
        const std::size_t pixels = littleEndian(file, at + 12, 4) + 40;
        for (int row = image.height - 1; row >= 0; --row) {
            for (int column = 0; column < image.width; ++column) {
                image.pixels.push_back(
                    littleEndian(file, pixels + 4 * (std::size_t(row) * image.width + column), 4));
            }
        }
        images.push_back(std::move(image));
    }
    return images;
}

TEST(WindowedProgram, ServesTheGameUntilTheKeyQEndsItWithZero) {
    if (!platform::XDisplay::open()) {
        return xtools::endTestWithoutServer();
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

// Used from the keyboard alone: Alt+H, I opens the About window; Alt+D, B ("Beenden") ends
// the program with 0.
TEST(WindowedProgram, TheMenusWorkFromTheKeyboard) {
    if (!platform::XDisplay::open()) {
        return xtools::endTestWithoutServer();
    }
    e2e::ProgramRun run(windowedProgram());
    ASSERT_EQ(run.startError(), "");
    const platform::XWindowId window = xtools::waitForWindow("^XGridlo$");
    ASSERT_NE(window, 0u) << "the window did not appear\n" << run.errors();
    xtools::pressKey(window, "alt+h");
    xtools::pressKey(window, "i");
    const platform::XWindowId about = xtools::waitForWindow("^Info about XGridlo$");
    ASSERT_NE(about, 0u) << "the About window did not appear\n" << run.errors();
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow("^Info about XGridlo$"));

    xtools::pressKey(window, "alt+d");
    xtools::pressKey(window, "b");
    const auto exit = run.waitForExit();
    ASSERT_TRUE(exit.has_value()) << "the program runs on after \"Beenden\"";
    EXPECT_EQ(exit->exitCode, 0);
    EXPECT_TRUE(xtools::waitUntilNoWindow("^XGridlo$"));
}

// The main window and the About window carry the browser icon for the window manager, in
// both its sizes, pixel for pixel.
TEST(WindowedProgram, BothWindowsCarryTheBrowserIconInItsTwoSizes) {
    if (!platform::XDisplay::open()) {
        return xtools::endTestWithoutServer();
    }
    const std::vector<platform::XArgbImage> expected = browserIconImages();
    ASSERT_EQ(expected.size(), 2u);
    ASSERT_EQ(expected[0].width, 64);
    ASSERT_EQ(expected[1].width, 32);

    e2e::ProgramRun run(windowedProgram());
    ASSERT_EQ(run.startError(), "");
    const platform::XWindowId window = xtools::waitForWindow("^XGridlo$");
    ASSERT_NE(window, 0u) << "the window did not appear\n" << run.errors();
    xtools::pressKey(window, "alt+question");
    const platform::XWindowId about = xtools::waitForWindow("^Info about XGridlo$");
    ASSERT_NE(about, 0u) << "the About window did not appear\n" << run.errors();

    for (const platform::XWindowId shown : {window, about}) {
        const std::vector<platform::XArgbImage> icons = xtools::icons(shown);
        ASSERT_EQ(icons.size(), expected.size()) << "window " << shown;
        for (std::size_t i = 0; i < icons.size(); ++i) {
            EXPECT_EQ(icons[i].width, expected[i].width);
            EXPECT_EQ(icons[i].height, expected[i].height);
            EXPECT_TRUE(icons[i].pixels == expected[i].pixels)
                << "window " << shown << ", the " << expected[i].width << " pixel image";
        }
    }

    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow("^Info about XGridlo$"));
    xtools::pressKey(window, "q");
    const auto exit = run.waitForExit();
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->exitCode, 0);
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
