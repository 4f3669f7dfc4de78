#include "net/IncompleteBodies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using kr::IncompleteBodies;

constexpr std::int64_t kSecond = 1'000'000'000;  // ns

TEST(IncompleteBodies, ABodyHoldsWhatHasArrivedAndGivesItBackWhereverItGoes) {
    const auto table = IncompleteBodies::make(1000);
    auto body = table->begin("c1", 0);
    ASSERT_TRUE(body);
    EXPECT_EQ(table->held(), 0u) << "a body that has begun holds nothing yet";
    EXPECT_TRUE(table->hold(body.id(), 100, kSecond).held);
    EXPECT_EQ(table->held(), 100u);
    EXPECT_TRUE(table->hold(body.id(), 40, kSecond).held);
    EXPECT_EQ(table->held(), 100u) << "never shrinks";
    EXPECT_TRUE(table->hold(body.id(), 1000, kSecond).held) << "up to the total";
    EXPECT_TRUE(body.finish());
    EXPECT_FALSE(body);
    EXPECT_EQ(table->held(), 0u);
    EXPECT_EQ(table->size(), 0u);
    EXPECT_FALSE(table->hold(body.id(), 1, kSecond).held) << "a finished body holds nothing";

    {
        auto dropped = table->begin("c2", 0);
        ASSERT_TRUE(table->hold(dropped.id(), 300, kSecond).held);
    }
    EXPECT_EQ(table->held(), 0u) << "destroyed";
    auto replaced = table->begin("c3", 0);
    ASSERT_TRUE(table->hold(replaced.id(), 300, kSecond).held);
    replaced = table->begin("c3", kSecond);
    EXPECT_EQ(table->held(), 0u) << "the replaced body gave its bytes back";
    EXPECT_EQ(table->size(), 1u);
}

TEST(IncompleteBodies, ABodyMayOutliveTheTableItsHubMade) {
    auto table = IncompleteBodies::make(10);
    auto body = table->begin("c", 0);
    ASSERT_TRUE(table->hold(body.id(), 10, 1).held);
    table.reset();
    EXPECT_TRUE(body);
    EXPECT_TRUE(body.finish());  // gives back to a table nobody else holds any more
}

// Bodies of a table of 1000 bytes, begun at their start (in seconds) and holding their
// bytes, in that order; then the asking one grows to its bytes at 10 s.
struct Holder {
    std::string connection;
    std::int64_t start;
    std::uint64_t bytes;
    IncompleteBodies::Cut cut = IncompleteBodies::Cut::kAllowed;
};
struct RoomCase {
    const char* name;
    std::vector<Holder> others;
    Holder asker;
    bool held;
    std::vector<std::string> cut;  // in the order they were cut
};

TEST(IncompleteBodies, RoomIsMadeByCuttingTheSlowestBodiesThatAreSlowerThanTheOneAsking) {
    using Cut = IncompleteBodies::Cut;
    constexpr std::int64_t kNow = 10;
    const std::vector<RoomCase> cases{
        {"room enough: nobody is cut", {{"a", 0, 300}}, {"new", kNow, 700}, true, {}},
        {"the slowest other makes room",
         {{"fast", 5, 400}, {"slow", 0, 400}},
         {"new", kNow, 300},
         true,
         {"slow"}},
        {"as many as needed, slowest first",
         {{"s3", 2, 300}, {"s1", 0, 300}, {"s2", 1, 300}},
         {"new", kNow, 600},
         true,
         {"s1", "s2"}},
        {"of two alike the older is slower",
         {{"younger", 4, 450}, {"older", 3, 450}},
         {"new", kNow, 200},
         true,
         {"older"}},
        {"one that grows slower than every other goes itself, cutting nobody",
         {{"fast", 9, 500}},
         {"trickler", 0, 600},
         false,
         {}},
        {"only the slower ones count: when they would not free enough, nobody is cut",
         {{"slow", 0, 200}, {"fast", 9, 700}},
         {"asker", 5, 400},
         false,
         {}},
        {"and when they would, only they are cut",
         {{"slow", 0, 200}, {"fast", 9, 700}},
         {"asker", 5, 300},
         true,
         {"slow"}},
        {"a body that holds nothing frees nothing and is left alone",
         {{"empty", 0, 0}, {"slow", 1, 900}},
         {"new", kNow, 200},
         true,
         {"slow"}},
        {"an answer this process waits for is never cut",
         {{"outgoing", 0, 600, Cut::kNever}},
         {"new", kNow, 500},
         false,
         {}},
        {"a rate equal to the asker's is not slower",
         {{"same", 0, 900}},
         {"new", 0, 900},
         false,
         {}},
        {"a body of no age is the fastest",
         {{"instant", kNow, 900}},
         {"new", kNow, 200},
         false,
         {}},
        {"more than the total can never be held", {{"slow", 0, 10}}, {"new", kNow, 1001}, false, {}},
    };
    for (const RoomCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto table = IncompleteBodies::make(1000);
        std::map<std::string, IncompleteBodies::Body> bodies;
        for (const Holder& holder : c.others) {
            auto body = table->begin(holder.connection, holder.start * kSecond, holder.cut);
            ASSERT_TRUE(table->hold(body.id(), holder.bytes, holder.start * kSecond).held);
            bodies.emplace(holder.connection, std::move(body));
        }
        auto asker = table->begin(c.asker.connection, c.asker.start * kSecond);
        const auto holding = table->hold(asker.id(), c.asker.bytes, kNow * kSecond);
        EXPECT_EQ(holding.held, c.held);
        EXPECT_EQ(holding.cut, c.cut);

        EXPECT_LE(table->held(), table->total());
        // A cut body learns it when it finishes; the others finish as whole.
        for (const Holder& holder : c.others) {
            const bool cut = std::find(c.cut.begin(), c.cut.end(), holder.connection) != c.cut.end();
            EXPECT_EQ(bodies.at(holder.connection).finish(), !cut) << holder.connection;
        }
        EXPECT_EQ(table->held(), c.held ? c.asker.bytes : 0u) << "what the asker holds is left";
    }
}

TEST(IncompleteBodies, ACutBodyLearnsItWhenItGrowsOrFinishes) {
    const auto table = IncompleteBodies::make(100);
    auto slow = table->begin("slow", 0);
    auto slower = table->begin("slower", 0);
    ASSERT_TRUE(table->hold(slow.id(), 50, kSecond).held);
    ASSERT_TRUE(table->hold(slower.id(), 40, kSecond).held);
    auto fast = table->begin("fast", 2 * kSecond);
    const auto holding = table->hold(fast.id(), 100, 2 * kSecond);
    ASSERT_TRUE(holding.held);
    EXPECT_EQ(holding.cut, (std::vector<std::string>{"slower", "slow"}));
    EXPECT_EQ(table->held(), 100u) << "the cut ones gave their bytes back at once";
    EXPECT_FALSE(table->hold(slower.id(), 41, 3 * kSecond).held) << "it holds nothing more";
    EXPECT_FALSE(slower.finish()) << "its request must not be served";
    EXPECT_FALSE(slow.finish());
    EXPECT_EQ(table->held(), 100u) << "nothing is given back twice";
    EXPECT_TRUE(fast.finish());
    EXPECT_EQ(table->held(), 0u);
}

// Threads that begin bodies, grow them and finish them at once, cutting each other: the
// budget is never crossed, no body is both cut and finished as whole, and everything comes
// back.
TEST(IncompleteBodies, ThreadsGrowingAndCuttingAtOnceNeverCrossTheTotalNorServeACutBody) {
    constexpr std::uint64_t kTotal = 4096;
    const auto table = IncompleteBodies::make(kTotal);
    std::atomic<bool> crossed{false};
    std::mutex outcomesMutex;
    std::set<std::string> cut;
    std::set<std::string> finished;
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                const std::string name = std::to_string(t) + "." + std::to_string(i);
                auto body = table->begin(name, i);
                bool kept = true;
                for (std::uint64_t bytes = 64; bytes <= 1024 && kept; bytes += 64 * (1 + t % 3)) {
                    auto holding = table->hold(body.id(), bytes, i + 1);
                    kept = holding.held;
                    if (table->held() > kTotal) {
                        crossed = true;
                    }
                    std::lock_guard lock(outcomesMutex);
                    cut.insert(holding.cut.begin(), holding.cut.end());
                }
                if (kept && body.finish()) {
                    std::lock_guard lock(outcomesMutex);
                    finished.insert(name);
                }
            }
        });
    }
    threads.clear();
    EXPECT_FALSE(crossed);
    EXPECT_EQ(table->held(), 0u);
    EXPECT_EQ(table->size(), 0u);
    EXPECT_FALSE(finished.empty());
    for (const std::string& name : cut) {
        EXPECT_FALSE(finished.contains(name)) << name << " was cut and finished as whole";
    }
}

}  // namespace
