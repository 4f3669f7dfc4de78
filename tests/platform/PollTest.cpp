#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/Poll.h"

namespace {

using namespace std::chrono_literals;

platform::WakeEvent openEvent() {
    auto event = platform::WakeEvent::open();
    EXPECT_TRUE(event.ok());
    return std::move(event.value);
}

TEST(WakeEvent, ASignalSentBeforeTheWaitIsNotLost) {
    const auto event = openEvent();
    event.signal();
    event.signal();
    const auto ready =
        platform::pollOne(event.fd(), platform::kPollReadable, platform::kWaitForever);
    ASSERT_TRUE(ready.ok());
    EXPECT_TRUE(ready.value & platform::kPollReadable);

    event.drain();
    const auto drained = platform::pollOne(event.fd(), platform::kPollReadable, 0ms);
    ASSERT_TRUE(drained.ok());
    EXPECT_EQ(drained.value, 0);
}

TEST(WakeEvent, AnotherThreadEndsAWaitWithoutLimit) {
    const auto event = openEvent();
    std::jthread waker([&event] {
        std::this_thread::sleep_for(20ms);
        event.signal();
    });
    const auto ready =
        platform::pollOne(event.fd(), platform::kPollReadable, platform::kWaitForever);
    ASSERT_TRUE(ready.ok());
    EXPECT_TRUE(ready.value & platform::kPollReadable);
}

TEST(WakeEvent, AnEventThatIsNotOpenDoesNothing) {
    const platform::WakeEvent closed;
    EXPECT_FALSE(closed.valid());
    closed.signal();
    closed.drain();
}

TEST(Poll, ManyDescriptorsReportOnlyTheReadyOnes) {
    std::vector<platform::WakeEvent> events;
    std::vector<platform::PollEntry> entries;
    for (int i = 0; i < 300; ++i) {
        events.push_back(openEvent());
        entries.push_back({.fd = events.back().fd(), .wanted = platform::kPollReadable});
    }
    entries.push_back({.fd = -1, .wanted = platform::kPollReadable});
    events[7].signal();
    events[299].signal();

    const auto polled = platform::pollDescriptors(entries, 5s);
    ASSERT_TRUE(polled.ok());
    EXPECT_EQ(polled.value, 2);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].ready != 0, i == 7 || i == 299) << "entry " << i;
    }
}

TEST(Poll, ATimeLimitWithNothingReadyReportsNone) {
    const auto event = openEvent();
    const auto ready = platform::pollOne(event.fd(), platform::kPollReadable, 10ms);
    ASSERT_TRUE(ready.ok());
    EXPECT_EQ(ready.value, 0);
}

TEST(Poll, AClosedDescriptorIsReportedInvalid) {
    int fd;
    {
        const auto event = openEvent();
        fd = event.fd();
    }
    const auto ready = platform::pollOne(fd, platform::kPollReadable, 0ms);
    ASSERT_TRUE(ready.ok());
    EXPECT_TRUE(ready.value & platform::kPollInvalid);
}

}  // namespace
