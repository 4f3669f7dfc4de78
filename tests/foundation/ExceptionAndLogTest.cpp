#include <gtest/gtest.h>

#include <thread>
#include <vector>

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

}  // namespace
