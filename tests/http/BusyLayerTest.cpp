#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "LayerTestSupport.h"

// What a server whose buffer job is busy (a program that runs, an application that works)
// does with the bytes that come meanwhile and wait for it unread: a head among them is a
// head still coming, with its time limit from its first byte, and at the connection limit
// it makes room before an idle connection; a whole request among them never does.
namespace {

using namespace layertest;
using namespace std::chrono_literals;

// A handler that holds the server's buffer job inside the request for "/block" until the
// test lets it go.
class BlockingHTTPLayer : public testing::Test, public LayerFixture {
protected:
    explicit BlockingHTTPLayer(KrTransceiver::Timing timing = {}, KrTransceiver::Limits limits = {})
        : LayerFixture(timing, limits) {
        handler->respond = [this](KrXHeader& request, KrXResponseHeader& answer) {
            if (request.path() == "/block") {
                std::unique_lock lock(mutex_);
                blocked_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return released_; });
            }
            answer.writeAnswer(describe(request));
        };
    }

    void SetUp() override {
        port = listen();
        ASSERT_NE(port, 0);
    }

    void TearDown() override { release(); }

    // A connection whose request for "/block" holds the buffer job, once it does.
    std::unique_ptr<Client> block() {
        auto blocker = connect(port);
        if (!blocker || !blocker->send("GET /block HTTP/1.1\r\n\r\n")) {
            return nullptr;
        }
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, nettest::kPatience, [this] { return blocked_; })) {
            return nullptr;
        }
        return blocker;
    }

    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    static std::string plainAnswer(const std::string& path) {
        return answerTo("method 1 path " + path + "\n");
    }

    std::uint16_t port = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool blocked_ = false;
    bool released_ = false;
};

class ShortHeadLimitHTTPLayer : public BlockingHTTPLayer {
protected:
    ShortHeadLimitHTTPLayer() : BlockingHTTPLayer(KrTransceiver::Timing{.headTimeLimit = 1000ms}) {}
};

TEST_F(ShortHeadLimitHTTPLayer, AHeadThatWaitsUnreadIsCutAtItsTimeLimitFromItsFirstByte) {
    auto blocker = block();
    ASSERT_TRUE(blocker);
    auto trickling = connect(port);
    ASSERT_TRUE(trickling);
    ASSERT_TRUE(trickling->send("GET /late HTTP/1.1\r\nHo"));
    // Cut while the buffer job, which never read its bytes, is still held.
    EXPECT_TRUE(trickling->waitForClose());

    release();
    EXPECT_EQ(blocker->receive(plainAnswer("/block").size()), plainAnswer("/block"));
    for (const auto& request : handler->requests.values()) {
        EXPECT_NE(request->path(), "/late");
    }
}

// Room for four connections.
class CrowdedBlockingHTTPLayer : public BlockingHTTPLayer {
protected:
    CrowdedBlockingHTTPLayer() : BlockingHTTPLayer({}, {.connections = 4}) {}
};

TEST_F(CrowdedBlockingHTTPLayer, AHeadWaitingUnreadMakesRoomBeforeAnIdleConnectionAWholeOneNever) {
    // Connected first, so that it would be the idle one longest had its head not come.
    auto waitingHead = connect(port);
    ASSERT_TRUE(waitingHead);
    auto keptAlive = connect(port);
    ASSERT_TRUE(keptAlive);
    ASSERT_TRUE(keptAlive->send("GET /first HTTP/1.1\r\n\r\n"));
    ASSERT_EQ(keptAlive->receive(plainAnswer("/first").size()), plainAnswer("/first"));
    auto blocker = block();
    ASSERT_TRUE(blocker);

    // While the buffer job is held, a head comes in part, and a whole request.
    ASSERT_TRUE(waitingHead->send("GET /half HTTP/1.1\r\nHo"));
    auto waitingWhole = connect(port);
    ASSERT_TRUE(waitingWhole);
    ASSERT_TRUE(waitingWhole->send("GET /whole HTTP/1.1\r\n\r\n"));

    // The head, whose time limit runs out long before the idle time, makes room first; then
    // the keep-alive connection between its requests; never the whole request.
    auto first = connect(port);
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->send("GET /a HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(waitingHead->waitForClose());
    auto second = connect(port);
    ASSERT_TRUE(second);
    ASSERT_TRUE(second->send("GET /b HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(keptAlive->waitForClose());

    release();
    EXPECT_EQ(blocker->receive(plainAnswer("/block").size()), plainAnswer("/block"));
    EXPECT_EQ(waitingWhole->receive(plainAnswer("/whole").size()), plainAnswer("/whole"));
    EXPECT_EQ(first->receive(plainAnswer("/a").size()), plainAnswer("/a"));
    EXPECT_EQ(second->receive(plainAnswer("/b").size()), plainAnswer("/b"));
}

}  // namespace
