#include "foundation/Paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(FileNameOf, TakesTheLastComponentAtEitherSeparator) {
    const std::pair<std::string, std::string> cases[] = {
        {"dir\\file.xml", "file.xml"},
        {"dir/file.xml", "file.xml"},
        {"file", "file"},
        {"a/b/", "b"},
        {"a\\b\\", "b"},
        {"b/", ""},
        {"/", ""},
        {"", ""},
        {"/x", "x"},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(kr::fileNameOf(path), expected) << "path '" << path << "'";
    }
}

TEST(Separators, NativeSeparatorIsSlash) {
    EXPECT_EQ(kr::toNativeSeparators("a\\b/c", true), "a/b/c");
    EXPECT_EQ(kr::toNativeSeparators("a\\b/c", false), "a\\b/c");

    const std::pair<std::string, std::string> cases[] = {
        {"a/b", "a/b/"}, {"a\\", "a/"}, {"a/b/", "a/b/"}, {"", ""}, {"a\\b", "a/b/"},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(kr::makeDirectoryPath(path), expected) << "path '" << path << "'";
        EXPECT_EQ(kr::makeDirectoryPathFrom(path), expected);
        EXPECT_EQ(kr::makeDirectoryPathOf(path), expected);
    }
}

TEST(BaseDirectories, AreTheCurrentDirectory) {
    EXPECT_EQ(kr::applicationBaseDirectory("spiel"), ".");
    EXPECT_EQ(kr::projectBaseDirectory("anything"), ".");
}

class TemporaryDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gridlo-paths-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
};

TEST_F(TemporaryDirectory, EnsureDirectoryCreatesOnlyWhenAsked) {
    const std::string missing = (root_ / "new").string();
    EXPECT_TRUE(kr::ensureDirectory(root_.string(), false));
    EXPECT_FALSE(kr::ensureDirectory(missing, false));
    EXPECT_FALSE(fs::exists(missing));

    EXPECT_TRUE(kr::ensureDirectory(missing, true));
    EXPECT_TRUE(fs::is_directory(missing));
    EXPECT_TRUE(kr::ensureDirectory(missing, true));

    // Only the last level is created.
    EXPECT_FALSE(kr::ensureDirectory((root_ / "x" / "y").string(), true));
}

TEST_F(TemporaryDirectory, EnsureDirectoryRefusesAFile) {
    const fs::path file = root_ / "plain";
    std::ofstream(file) << "x";
    EXPECT_FALSE(kr::ensureDirectory(file.string(), false));
    EXPECT_FALSE(kr::ensureDirectory(file.string(), true));
}

TEST_F(TemporaryDirectory, FileExistsReportsSizeAndZeroForADirectory) {
    const fs::path file = root_ / "data.bin";
    std::ofstream(file, std::ios::binary) << std::string(1234, 'x');

    std::uint64_t size = 99;
    EXPECT_TRUE(kr::fileExists(file.string(), &size));
    EXPECT_EQ(size, 1234u);
    EXPECT_TRUE(kr::fileExists(file.string()));

    size = 99;
    EXPECT_TRUE(kr::fileExists(root_.string(), &size));
    EXPECT_EQ(size, 0u);

    size = 99;
    EXPECT_FALSE(kr::fileExists((root_ / "missing").string(), &size));
    EXPECT_EQ(size, 99u);
}

TEST_F(TemporaryDirectory, CurrentDirectoryFollowsTheProcess) {
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    EXPECT_EQ(fs::path(kr::currentDirectory()), fs::canonical(root_));
    fs::current_path(before);
}

TEST(Environment, EmptyValueRemovesTheVariable) {
    kr::setEnvironmentVariable("GRIDLO_TEST_VARIABLE", "value");
    ASSERT_NE(getenv("GRIDLO_TEST_VARIABLE"), nullptr);
    EXPECT_STREQ(getenv("GRIDLO_TEST_VARIABLE"), "value");

    kr::setEnvironmentVariable("GRIDLO_TEST_VARIABLE", "");
    EXPECT_EQ(getenv("GRIDLO_TEST_VARIABLE"), nullptr);

    kr::setEnvironmentVariable("", "ignored");  // refused by the platform, no crash
}

TEST(TimeStampText, HasTheCtimeLayoutWithoutLineFeed) {
    setenv("TZ", "UTC", 1);
    tzset();
    const auto time = std::chrono::system_clock::from_time_t(0);
    EXPECT_EQ(kr::timeStampText(time), "Thu Jan  1 00:00:00 1970");

    const std::string now = kr::timeStampText(std::chrono::system_clock::now());
    EXPECT_TRUE(std::regex_match(
        now, std::regex(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d \d{4})")))
        << now;
}

TEST(TimeStampText, EachTimeGetsTheTextOfItsOwnSecond) {
    setenv("TZ", "UTC", 1);
    tzset();
    using namespace std::chrono_literals;
    const auto base = std::chrono::system_clock::from_time_t(1'700'000'000);
    // Asked in this order: the same second again, later in it, the next second, back.
    const std::vector<std::chrono::system_clock::duration> offsets{0s, 0s,  999ms, 1s,
                                                                   0s, 61s, 1000ms, -1s};
    for (const auto offset : offsets) {
        const auto time = base + offset;
        const time_t seconds = std::chrono::system_clock::to_time_t(time);
        char expected[32];
        ASSERT_NE(::ctime_r(&seconds, expected), nullptr);
        EXPECT_EQ(kr::timeStampText(time) + "\n", expected)
            << std::chrono::duration_cast<std::chrono::milliseconds>(offset).count();
    }
}

}  // namespace
