#include "net/ServeHere.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TransceiverTestSupport.h"
#include "jobs/KrRarediScheduler2.h"
#include "net/KrTransceiverServerL0.h"

namespace {

using namespace nettest;
using namespace std::chrono_literals;

// A server that records where each notice was served, from the start of its receive to the
// end; a notice named "hold" stays in receive until let go.
class WhereServer : public KrTransceiverServerL0 {
public:
    struct Served {
        std::string event;  // "start <name>" or "end <name>"
        std::thread::id thread;
        bool whereReceived;

        bool operator==(const Served&) const = default;
    };

    WhereServer(const KrServerSetup& setup, bool allows)
        : KrTransceiverServerL0(setup), allows_(allows) {}
    ~WhereServer() override { shutdown(); }
    bool start() override { return true; }

    void receive(const std::string& connectionName,
                 const std::string& /*serverName*/) override {
        std::unique_lock lock(mutex_);
        record("start " + connectionName);
        if (connectionName == "hold") {
            changed_.wait(lock, [this] { return released_; });
        }
        record("end " + connectionName);
    }

    std::vector<Served> served() const {
        std::lock_guard lock(mutex_);
        return served_;
    }

    std::vector<std::string> events() const {
        std::vector<std::string> events;
        for (const Served& served : served()) {
            events.push_back(served.event);
        }
        return events;
    }

    bool waitForEvents(std::size_t count, std::chrono::milliseconds patience = kPatience) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return served_.size() >= count; });
    }

    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

protected:
    bool servesWhereReceived() const override { return allows_; }

private:
    void record(std::string event) {
        served_.push_back({std::move(event), std::this_thread::get_id(), servingWhereReceived()});
        changed_.notify_all();
    }

    const bool allows_;
    mutable std::mutex mutex_;  // guards served_ and released_
    std::condition_variable changed_;
    std::vector<Served> served_;
    bool released_ = false;
};

class ServeHereTest : public testing::Test {
protected:
    std::shared_ptr<WhereServer> makeServer(bool allows = true) {
        KrServerSetup setup;
        setup.scheduler = &scheduler;
        return kr::makeJob<WhereServer>(setup, allows);
    }

    // A receiving thread that is left the notice "hold" and serves it, until released.
    static std::jthread serveHeldWhereReceived(WhereServer& server) {
        return std::jthread([&server] {
            kr::ServeHere here(true);
            server.pushBuffer("hold", server.name());
            (void)here.serve();
        });
    }

    KrRarediScheduler2 scheduler;
};

TEST_F(ServeHereTest, ANoticeLeftHereIsServedOnThisThreadAndNoBufferJobStarts) {
    const auto server = makeServer();
    {
        kr::ServeHere here(true);
        server->pushBuffer("a", server->name());
        EXPECT_TRUE(server->served().empty()) << "left, not served, while it is delivered";
        EXPECT_EQ(kr::ServeHere::open(), nullptr) << "one notice at a time";
        EXPECT_TRUE(here.serve());
        EXPECT_FALSE(here.serve());
    }
    const auto me = std::this_thread::get_id();
    const std::vector<WhereServer::Served> expected{{"start a", me, true}, {"end a", me, true}};
    EXPECT_EQ(server->served(), expected);
    EXPECT_EQ(server->bufferJobId(), 0u);
    EXPECT_FALSE(server->servingWhereReceived()) << "only while it serves";
}

TEST_F(ServeHereTest, OtherwiseTheBufferJobServesIt) {
    const struct {
        const char* name;
        bool allows;
        bool offered;  // a ServeHere that may take notices is installed
    } cases[] = {
        {"a thread that does not offer", true, false},
        {"a server that does not allow it", false, true},
    };
    for (const auto& c : cases) {
        const auto server = makeServer(c.allows);
        kr::ServeHere here(c.offered);
        server->pushBuffer("a", server->name());
        EXPECT_FALSE(here.serve()) << c.name;
        ASSERT_TRUE(server->waitForEvents(2)) << c.name;
        const auto served = server->served();
        EXPECT_NE(served[0].thread, std::this_thread::get_id()) << c.name;
        EXPECT_FALSE(served[0].whereReceived) << c.name;
        EXPECT_NE(server->bufferJobId(), 0u) << c.name;
    }
}

// While one notice is served where it was received, every other goes to the buffer job and
// waits behind it: notices are served one at a time, in order.
TEST_F(ServeHereTest, NoticesQueuedWhileOneIsServedHereWaitForIt) {
    const auto server = makeServer();
    const std::jthread receiving = serveHeldWhereReceived(*server);
    ASSERT_TRUE(server->waitForEvents(1));
    {
        kr::ServeHere alsoHere(true);  // another thread that offers: not while one is served
        server->pushBuffer("b", server->name());
        EXPECT_FALSE(alsoHere.serve());
    }
    server->pushBuffer("c", server->name());
    EXPECT_FALSE(server->waitForEvents(2, 100ms)) << "nothing starts beside the one held";
    server->release();
    ASSERT_TRUE(server->waitForEvents(6));
    const std::vector<std::string> expected{"start hold", "end hold", "start b",
                                            "end b",      "start c",  "end c"};
    EXPECT_EQ(server->events(), expected);
    EXPECT_TRUE(server->served()[0].whereReceived);
    EXPECT_FALSE(server->served()[2].whereReceived);
}

// The other way round: while the buffer job serves a notice (its first, before it ever
// slept), one offered to be served where it was received waits behind it all the same.
TEST_F(ServeHereTest, ANoticeOfferedWhileTheBufferJobServesWaitsForIt) {
    const auto server = makeServer();
    server->pushBuffer("hold", server->name());
    ASSERT_TRUE(server->waitForEvents(1));
    {
        kr::ServeHere here(true);
        server->pushBuffer("b", server->name());
        EXPECT_FALSE(here.serve()) << "served beside the buffer job's notice";
    }
    EXPECT_FALSE(server->waitForEvents(2, 100ms)) << "nothing starts beside the one held";
    server->release();
    ASSERT_TRUE(server->waitForEvents(4));
    const std::vector<std::string> expected{"start hold", "end hold", "start b", "end b"};
    EXPECT_EQ(server->events(), expected);
    for (const auto& served : server->served()) {
        EXPECT_FALSE(served.whereReceived) << served.event;
    }
}

// The layer must not go while one of its notices is being served where it was received.
TEST_F(ServeHereTest, ShutdownWaitsForANoticeBeingServedHere) {
    const auto server = makeServer();
    const std::jthread receiving = serveHeldWhereReceived(*server);
    ASSERT_TRUE(server->waitForEvents(1));
    std::atomic<bool> shutDown{false};
    std::jthread ending([&] {
        server->shutdown();
        shutDown = true;
    });
    EXPECT_FALSE(eventually([&] { return shutDown.load(); }, 100ms));
    server->release();
    EXPECT_TRUE(eventually([&] { return shutDown.load(); }));
    EXPECT_EQ(server->served().size(), 2u);
    // A notice after the end is neither left here nor served.
    kr::ServeHere here(true);
    server->pushBuffer("late", server->name());
    EXPECT_FALSE(here.serve());
    EXPECT_EQ(server->served().size(), 2u);
}

}  // namespace
