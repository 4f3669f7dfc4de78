#include "platform/EventPoll.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Poll.h"

namespace {

using namespace std::chrono_literals;
using Report = platform::EventPoll::Report;

platform::EventPoll openSet() {
    auto set = platform::EventPoll::open();
    EXPECT_TRUE(set.ok());
    return std::move(set.value);
}

platform::WakeEvent openEvent() {
    auto event = platform::WakeEvent::open();
    EXPECT_TRUE(event.ok());
    return std::move(event.value);
}

// The tokens a wait without waiting reports.
std::vector<std::uint64_t> readyTokens(const platform::EventPoll& set) {
    std::vector<platform::PollEvent> ready(16);
    const auto waited = set.wait(ready, 0ms);
    EXPECT_TRUE(waited.ok());
    std::vector<std::uint64_t> tokens;
    for (std::size_t i = 0; i < waited.value; ++i) {
        tokens.push_back(ready[i].token);
    }
    return tokens;
}

TEST(EventPoll, OfManyMembersReportsTheReadyOnesByTheirTokens) {
    const auto set = openSet();
    std::vector<platform::WakeEvent> events;
    for (int i = 0; i < 1000; ++i) {
        events.push_back(openEvent());
        ASSERT_TRUE(
            set.add(events.back().fd(), platform::kPollReadable, 5000 + i, Report::WhileReady)
                .ok());
    }
    EXPECT_TRUE(readyTokens(set).empty());
    events[3].signal();
    events[998].signal();
    std::vector<platform::PollEvent> ready(16);
    const auto waited = set.wait(ready, 5s);
    ASSERT_TRUE(waited.ok());
    ASSERT_EQ(waited.value, 2u);
    std::vector<std::uint64_t> tokens{ready[0].token, ready[1].token};
    std::sort(tokens.begin(), tokens.end());
    EXPECT_EQ(tokens, (std::vector<std::uint64_t>{5003, 5998}));
    EXPECT_TRUE(ready[0].ready & platform::kPollReadable);
}

TEST(EventPoll, ReportsAMemberWhileItIsReadyOrOnceUntilChanged) {
    const auto set = openSet();
    const auto level = openEvent();
    const auto once = openEvent();
    ASSERT_TRUE(set.add(level.fd(), platform::kPollReadable, 1, Report::WhileReady).ok());
    ASSERT_TRUE(set.add(once.fd(), platform::kPollReadable, 2, Report::Once).ok());
    level.signal();
    once.signal();
    auto first = readyTokens(set);
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(readyTokens(set), std::vector<std::uint64_t>{1}) << "the one-shot member is quiet";
    ASSERT_TRUE(set.change(once.fd(), platform::kPollReadable, 3, Report::Once).ok());
    auto again = readyTokens(set);
    std::sort(again.begin(), again.end());
    EXPECT_EQ(again, (std::vector<std::uint64_t>{1, 3})) << "changed, it reports again";
}

TEST(EventPoll, ARemovedMemberIsNoLongerReported) {
    const auto set = openSet();
    const auto event = openEvent();
    ASSERT_TRUE(set.add(event.fd(), platform::kPollReadable, 7, Report::WhileReady).ok());
    event.signal();
    EXPECT_EQ(readyTokens(set), std::vector<std::uint64_t>{7});
    ASSERT_TRUE(set.remove(event.fd()).ok());
    EXPECT_TRUE(readyTokens(set).empty());
    EXPECT_EQ(set.remove(event.fd()).error, ENOENT);
    EXPECT_EQ(set.change(event.fd(), platform::kPollReadable, 7, Report::Once).error, ENOENT);
    ASSERT_TRUE(set.add(event.fd(), platform::kPollReadable, 8, Report::WhileReady).ok());
    EXPECT_EQ(set.add(event.fd(), platform::kPollReadable, 8, Report::WhileReady).error, EEXIST);
}

TEST(EventPoll, AnotherThreadEndsAWaitWithoutLimit) {
    const auto set = openSet();
    const auto event = openEvent();
    ASSERT_TRUE(set.add(event.fd(), platform::kPollReadable, 9, Report::WhileReady).ok());
    std::jthread waker([&event] {
        std::this_thread::sleep_for(20ms);
        event.signal();
    });
    std::vector<platform::PollEvent> ready(4);
    const auto waited = set.wait(ready, platform::kWaitForever);
    ASSERT_TRUE(waited.ok());
    ASSERT_EQ(waited.value, 1u);
    EXPECT_EQ(ready[0].token, 9u);
}

}  // namespace
