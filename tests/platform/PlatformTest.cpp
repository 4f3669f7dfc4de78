#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Random.h"

namespace {

TEST(PlatformFileSystem, ReportsErrnoOfAFailedCall) {
    const auto missing = platform::fileStatus("/nonexistent/gridlo");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(platform::makeDirectory("/nonexistent/gridlo/x").error, ENOENT);
    EXPECT_FALSE(platform::errorText(ENOENT).empty());
}

TEST(PlatformFileSystem, RootIsADirectoryOfSizeZero) {
    const auto root = platform::fileStatus("/");
    ASSERT_TRUE(root.ok());
    EXPECT_TRUE(root.value.isDirectory);
    EXPECT_EQ(root.value.size, 0u);
    EXPECT_TRUE(platform::currentWorkingDirectory().ok());
}

TEST(PlatformFileSystem, ResolvedPathFollowsLinksAndDotSegments) {
    const auto resolved = platform::resolvedPath("/usr/../usr/./bin");
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved.value, platform::resolvedPath("/usr/bin").value);
    EXPECT_EQ(resolved.value.find(".."), std::string::npos);
    EXPECT_EQ(platform::resolvedPath("/nonexistent/gridlo").error, ENOENT);
    const auto shell = platform::fileStatus("/bin/sh");
    ASSERT_TRUE(shell.ok());
    EXPECT_TRUE(shell.value.isRegular) << "stat follows the link";
    EXPECT_FALSE(platform::fileStatus("/").value.isRegular);
    EXPECT_FALSE(platform::fileStatus("/dev/null").value.isRegular);
}

TEST(PlatformFileSystem, OpenedBeneathADirectoryOnlyWhatResolvesWithinIt) {
    namespace fs = std::filesystem;
    // Under the working directory, so that "." can stand for it as a relative name.
    const fs::path top = fs::path("gridlo-beneath-" + std::to_string(::getpid()));
    fs::remove_all(top);
    fs::create_directories(top / "base" / "sub");
    std::ofstream(top / "base" / "file.txt") << "in";
    std::ofstream(top / "outside.txt") << "out";
    fs::create_symlink("file.txt", top / "base" / "rel-in");
    fs::create_symlink("../file.txt", top / "base" / "sub" / "up-in");
    fs::create_symlink("sub", top / "base" / "dir-in");
    fs::create_symlink("../outside.txt", top / "base" / "rel-out");
    fs::create_symlink(fs::absolute(top / "base" / "file.txt"), top / "base" / "abs-in");
    const std::string base = (top / "base").string();
    struct Case {
        std::string directory;
        std::string path;
        bool opens;
        bool linked;  // a link on the way: with links refused, the open stops there
    };
    const std::vector<Case> cases{
        {base, "file.txt", true, false},
        {base + "/", "file.txt", true, false},
        {base, "rel-in", true, true},
        {base, "sub/up-in", true, true},
        {base, "dir-in/../file.txt", true, true},
        {base, "dir-in", true, true},
        {base, "sub", true, false},  // a directory opens; whether it is served is the caller's
        {base, "rel-out", false, true},
        {base, "abs-in", false, true},  // absolute: leaves, even when it comes back
        {base, "../outside.txt", false, false},
        {base, "/etc/passwd", false, false},
        {base, "missing.txt", false, false},
        {(top / "missing").string(), "file.txt", false, false},
        {".", (top / "base" / "file.txt").string(), true, false},
        {"./", (top / "base" / "file.txt").string(), true, false},
        {".", "/etc/passwd", false, false},
    };
    for (const auto& [directory, path, opens, linked] : cases) {
        const auto opened = platform::openForReadingBeneath(directory, path);
        EXPECT_EQ(opened.ok(), opens) << directory << " " << path;
        if (opens && opened.ok() && path.ends_with("file.txt")) {
            char byte[3] = {};
            EXPECT_EQ(::read(opened.value.get(), byte, 2), 2);
            EXPECT_EQ(std::string(byte), "in") << directory << " " << path;
        }
        const auto linkless =
            platform::openForReadingBeneath(directory, path, platform::LinksBeneath::refused);
        EXPECT_EQ(linkless.ok(), opens && !linked) << directory << " " << path;
        EXPECT_EQ(!linkless.ok() && platform::beneathOpenMetLink(linkless.error), linked)
            << directory << " " << path;
    }
    fs::remove_all(top);
}

TEST(PlatformEnvironment, SnapshotSeesWhatWasSet) {
    ASSERT_TRUE(platform::setEnvironment("GRIDLO_PLATFORM_TEST", "1").ok());
    EXPECT_EQ(platform::environmentValue("GRIDLO_PLATFORM_TEST"), "1");
    const auto entries = platform::environmentSnapshot();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "GRIDLO_PLATFORM_TEST=1"), entries.end());
    ASSERT_TRUE(platform::setEnvironment("GRIDLO_PLATFORM_TEST", "").ok());
    EXPECT_EQ(platform::environmentValue("GRIDLO_PLATFORM_TEST"), "");
    EXPECT_FALSE(platform::setEnvironment("A=B", "x").ok());
}

TEST(PlatformClock, SteadyClockNeverGoesBack) {
    const auto first = platform::steadyNanoseconds();
    EXPECT_LE(first, platform::steadyNanoseconds());
}

TEST(PlatformRandom, FillsLargeBuffersAndDiffersBetweenCalls) {
    std::array<unsigned char, 4096> first{};
    std::array<unsigned char, 4096> second{};
    ASSERT_TRUE(platform::fillRandom(first.data(), first.size()).ok());
    ASSERT_TRUE(platform::fillRandom(second.data(), second.size()).ok());
    EXPECT_NE(first, second);
    EXPECT_TRUE(platform::fillRandom(nullptr, 0).ok());
}

TEST(PlatformProcess, WithSigpipeIgnoredAWriteWithoutAReaderFailsInstead) {
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &previous), 0);
    platform::ignoreBrokenPipeSignal();
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    // A plain write(2), as the C++ streams on standard output make it.
    errno = 0;
    EXPECT_EQ(::write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(ends[1]);
    ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
