#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/SharedText.h"

namespace {

using kr::SharedText;

TEST(SharedText, CopiesShareOneTextAndOutliveTheOriginal) {
    auto original = std::make_unique<SharedText>("shared words");
    const SharedText copy = *original;
    EXPECT_EQ(&copy.str(), &original->str());
    original.reset();
    EXPECT_EQ(copy.view(), "shared words");

    SharedText assigned(std::string_view("before"));
    assigned = copy;
    EXPECT_EQ(assigned.str(), "shared words");
    SharedText moved = std::move(assigned);
    EXPECT_EQ(moved.str(), "shared words");
    EXPECT_TRUE(assigned.empty());  // a moved-from text holds nothing
    EXPECT_TRUE(SharedText(std::string_view()).empty());
    EXPECT_EQ(SharedText().str(), "");
}

TEST(SharedText, ANameIsKeptOnceAndAnOverlongOneIsNot) {
    const SharedText first = SharedText::name("div");
    const SharedText second = SharedText::name("div");
    EXPECT_EQ(&first.str(), &second.str());
    EXPECT_NE(&SharedText::name("span").str(), &first.str());
    EXPECT_TRUE(SharedText::name("").empty());
    // A kept name copied, assigned over a counted text and back, and dropped many times is
    // never counted nor freed.
    for (int round = 0; round < 3; ++round) {
        SharedText copy = first;
        copy = SharedText(std::string_view("counted"));
        copy = second;
        SharedText moved = std::move(copy);
        EXPECT_EQ(&moved.str(), &first.str());
    }
    EXPECT_EQ(SharedText::name("div").view(), "div");

    const std::string overlong(SharedText::kMaxNameLength + 1, 'n');
    const SharedText one = SharedText::name(overlong);
    const SharedText other = SharedText::name(overlong);
    EXPECT_EQ(one.str(), overlong);
    EXPECT_NE(&one.str(), &other.str());
}

// Names and texts are copied and dropped by the pages of many sessions at once.
TEST(SharedText, CopiesOnSeveralThreadsAtOnce) {
    const SharedText text(std::string_view("a text of the page"));
    constexpr int kThreads = 4;
    constexpr int kRounds = 10000;
    std::vector<int> same(kThreads, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    const SharedText copy = text;
                    const SharedText name = SharedText::name("name" + std::to_string(round % 7));
                    same[t] += copy.view() == "a text of the page" && name.view().size() == 5;
                }
            });
        }
    }
    EXPECT_EQ(same, std::vector<int>(kThreads, kRounds));
    EXPECT_EQ(text.view(), "a text of the page");
}

}  // namespace
