#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "foundation/KrLogStreams.h"

namespace {

TEST(KrException, WhatIsTheMessageAlone) {
    const KrException e("can't read that type from direct string", 26, "src");
    EXPECT_STREQ(e.what(), "can't read that type from direct string");

    const KrException copy(e);
    EXPECT_STREQ(copy.what(), e.what());
    const KrException passedOn(e, 0, "n.a.");
    EXPECT_STREQ(passedOn.what(), e.what());

    try {
        throw KrException("caught as standard", 1, "src");
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "caught as standard");
    }
}

TEST(KrLogStreams, EveryLevelIsTheOneSilentStream) {
    std::ostream& first = KrLogStreams::stream(1);
    for (const int level : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, 100}) {
        EXPECT_EQ(&KrLogStreams::stream(level), &first) << "level " << level;
    }
    first << "bound at port number " << 8080 << std::endl;
    EXPECT_TRUE(first.good());
}

TEST(KrLogStreams, ManyThreadsWriteAtOnce) {
    std::vector<std::jthread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                KrLogStreams::stream(i % 10) << "thread " << t << " line " << i << std::endl;
            }
            EXPECT_TRUE(KrLogStreams::stream(1).good());
        });
    }
}

TEST(Diagnostics, LinesAreShownWholeUntilSwitchedOff) {
    struct Case {
        bool shown;
        std::string out;
        std::string err;
    };
    for (const Case& c : {Case{true, "port 8080\n", "oh oh ... problem...\n"}, Case{false, "", ""},
                          Case{true, "port 8080\n", "oh oh ... problem...\n"}}) {
        kr::showDiagnostics(c.shown);
        EXPECT_EQ(kr::diagnosticsShown(), c.shown);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        kr::outLine("port ", 8080);
        kr::errLine("oh oh ... problem...");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << "shown " << c.shown;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << "shown " << c.shown;
    }
}

}  // namespace
