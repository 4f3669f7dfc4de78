#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
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

TEST(Diagnostics, LinesHeldBackGoOutInOrderBeforeALaterLineOrWhenFlushed) {
    const std::string full(kr::kHeldBackBytes, 'x');
    struct Case {
        std::string name;
        std::vector<std::string> soon;
        bool thenLine;  // an outLine "now" follows
        bool thenFlush;
        std::string out;
    };
    const std::vector<Case> cases{
        {"held until flushed", {"a", "b"}, false, false, ""},
        {"flushed", {"a", "b"}, false, true, "a\nb\n"},
        {"before a later line", {"a", "b"}, true, false, "a\nb\nnow\n"},
        {"at the limit", {"a", full}, false, false, "a\n" + full + "\n"},
        {"nothing held", {}, true, true, "now\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        for (const std::string& line : c.soon) {
            kr::outLineSoon(line);
        }
        if (c.thenLine) {
            kr::outLine("now");
        }
        if (c.thenFlush) {
            kr::flushOutLines();
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.name;
        testing::internal::CaptureStdout();
        kr::flushOutLines();  // what a case left held back is no other case's
        (void)testing::internal::GetCapturedStdout();
    }
}

TEST(Diagnostics, LinesHeldBackByManyThreadsAreWrittenWholeAndEachOnce) {
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    testing::internal::CaptureStdout();
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) {
                    kr::outLineSoon("thread " + std::to_string(t) + " line " + std::to_string(i));
                    if (i % 500 == 0) {
                        kr::flushOutLines();
                    }
                }
            });
        }
    }
    kr::flushOutLines();
    std::istringstream out(testing::internal::GetCapturedStdout());
    std::vector<int> next(kThreads, 0);
    std::string line;
    while (std::getline(out, line)) {
        int thread = -1;
        int index = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &thread, &index), 2) << line;
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
        EXPECT_EQ(index, next[thread]++) << line;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

}  // namespace
