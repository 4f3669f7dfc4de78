#include "net/KrTransceiverConnection.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "TransceiverTestSupport.h"
#include "jobs/KrCombinedTask.h"

namespace {

using namespace nettest;

// A job that keeps the messages it receives, as a connection's target.
class Target : public KrJob {
public:
    Target() { registerJob("target"); }
    bool onMessage(const KrJobMessage& message) override {
        messages.add(message);
        return true;
    }
    Log<KrJobMessage> messages;
};

// Returns once every message posted before has been delivered or dropped.
void flushDeliveries() {
    KrJobInstance<Target> marker;
    KrJobMessage flush;
    flush.text = "flush";
    KrCombinedTask::instance().enqueue(marker.id(), flush);
    ASSERT_TRUE(marker.messages.waitFor([](const KrJobMessage& m) { return m.text == "flush"; }));
}

std::shared_ptr<KrTransceiverConnection> connectionFor(
    const std::string& target, KrTransceiverConnection::ExpiryCallback expiry = {},
    std::uint64_t timeout = KrJobWithTimeout::kConnectionTimeout) {
    return kr::makeJob<KrTransceiverConnection>(nullptr, target, "second",
                                                KrTransceiverConnection::PeerMap{{"k", "v"}},
                                                std::move(expiry), timeout);
}

std::string unread(KrStringBuf& stream) {
    std::string bytes;
    stream.copyUnread(bytes);
    return bytes;
}

TEST(KrTransceiverConnection, AppendingNoBytesDoesNothing) {
    KrJobInstance<Target> target;
    auto connection = connectionFor(target.id());
    connection->appendInput("", 0);
    flushDeliveries();
    EXPECT_FALSE(connection->dataAvailable());
    EXPECT_TRUE(target.messages.values().empty());
}

TEST(KrTransceiverConnection, OneDataNoticeUntilTheLayerTakesTheInput) {
    KrJobInstance<Target> target;
    auto connection = connectionFor(target.id());
    connection->appendInput("ab", 2);
    connection->appendInput("cd", 2);
    flushDeliveries();
    ASSERT_EQ(target.messages.values().size(), 1u);
    EXPECT_EQ(target.messages.values()[0].type, KrJobMessage::kDataArrived);
    EXPECT_EQ(target.messages.values()[0].text, connection->id());
    EXPECT_TRUE(connection->dataAvailable());

    KrStringBuf taken;
    connection->takeInput(taken);
    EXPECT_EQ(unread(taken), "abcd");
    EXPECT_FALSE(connection->dataAvailable());

    connection->appendInput("e", 1);
    flushDeliveries();
    EXPECT_EQ(target.messages.values().size(), 2u) << "new bytes after a take are announced";
}

TEST(KrTransceiverConnection, TakingEmptyInputAppendsNothing) {
    auto connection = connectionFor("nobody");
    KrStringBuf taken;
    taken.write("kept");
    connection->takeInput(taken);
    EXPECT_EQ(unread(taken), "kept");
    EXPECT_FALSE(connection->dataAvailable());
}

TEST(KrTransceiverConnection, ConsumingLessThanTheFirstBufferKeepsTheRest) {
    auto connection = connectionFor("nobody");
    std::size_t queued = 0;
    connection->queueOutput("abcdef", 6, queued);
    connection->queueOutput("gh", 2, queued);
    EXPECT_EQ(queued, 2u);
    EXPECT_EQ(connection->outputSize(), 8u);

    connection->consumeOutput(2);
    std::string front;
    connection->peekOutput(front);
    EXPECT_EQ(front, "cdef");
    EXPECT_TRUE(connection->pendingOutput());

    connection->consumeOutput(5);  // the rest of the first buffer and one byte of the next
    front.clear();
    connection->peekOutput(front);
    EXPECT_EQ(front, "h");
    EXPECT_TRUE(connection->pendingOutput());

    connection->consumeOutput(100);
    front.clear();
    connection->peekOutput(front);
    EXPECT_EQ(front, "");
    EXPECT_FALSE(connection->pendingOutput());
    EXPECT_EQ(connection->outputSize(), 0u);
}

TEST(KrTransceiverConnection, QueueingAStreamHandsTheCallerAFreshOne) {
    auto connection = connectionFor("nobody");
    auto stream = std::make_unique<KrStringBuf>();
    stream->write("body");
    KrStringBuf* queuedStream = stream.get();
    connection->queueOutput(stream);
    ASSERT_TRUE(stream);
    EXPECT_NE(stream.get(), queuedStream);
    EXPECT_EQ(stream->unreadSize(), 0);
    std::string front;
    connection->peekOutput(front);
    EXPECT_EQ(front, "body");
}

// Timeouts are measured on the steady clock; the test only orders events around one.
TEST(KrTransceiverConnection, QueueingAnEmptyStreamQueuesNothingButRestartsTheTimeout) {
    constexpr std::uint64_t kTimeout = 300'000;  // µs
    auto idle = connectionFor("nobody", {}, kTimeout);
    auto active = connectionFor("nobody", {}, kTimeout);
    std::this_thread::sleep_for(std::chrono::microseconds(kTimeout) + 50ms);
    auto empty = std::make_unique<KrStringBuf>();
    active->queueOutput(empty);
    EXPECT_FALSE(active->pendingOutput());
    EXPECT_FALSE(active->checkTimeout());
    EXPECT_TRUE(idle->checkTimeout());
}

// Zero bytes queue no empty message: one at the front of the queue would keep the pending
// flag set with nothing to write, and the send job would come back for it again and again.
TEST(KrTransceiverConnection, QueueingZeroBytesQueuesNothing) {
    auto connection = connectionFor("nobody");
    std::size_t queued = 99;
    connection->queueOutput("", 0, queued);
    EXPECT_EQ(queued, 0u);
    EXPECT_FALSE(connection->pendingOutput());
    EXPECT_EQ(connection->outputSize(), 0u);
    connection->queueOutput("next", 4, queued);
    std::string front;
    connection->peekOutput(front);
    EXPECT_EQ(front, "next");
}

TEST(KrTransceiverConnection, ExpiringDisarmsAndCallsTheCallback) {
    KrTransceiverConnection* expired = nullptr;
    auto connection = connectionFor(
        "nobody", [&expired](KrTransceiver*, KrTransceiverConnection& c) { expired = &c; });
    connection->expire();
    EXPECT_EQ(expired, connection.get());
    EXPECT_FALSE(connection->timeoutArmed());

    auto withoutCallback = connectionFor("nobody");
    EXPECT_THROW(withoutCallback->expire(), std::bad_function_call);
}

TEST(KrTransceiverConnection, ResetEmptiesInputAndOutput) {
    auto connection = connectionFor("nobody");
    connection->appendInput("in", 2);
    std::size_t queued = 0;
    connection->queueOutput("out", 3, queued);
    connection->reset();
    EXPECT_FALSE(connection->dataAvailable());
    EXPECT_FALSE(connection->pendingOutput());
    EXPECT_EQ(connection->inputSize(), 0u);
    EXPECT_EQ(connection->outputSize(), 0u);
}

TEST(KrTransceiverConnection, StopsAskingForInputAboveTheLimitAndResumesAfterATake) {
    auto connection = connectionFor("nobody");
    const std::string chunk(KrTransceiverConnection::kInputLimit, 'x');
    EXPECT_TRUE(connection->wantsInput());
    connection->appendInput(chunk.data(), chunk.size());
    EXPECT_FALSE(connection->wantsInput());
    KrStringBuf taken;
    connection->takeInput(taken);
    EXPECT_TRUE(connection->wantsInput());
}

TEST(KrTransceiverConnection, DrainNoticeComesOnceTheOutputIsBelowItsLimit) {
    KrJobInstance<Target> target;
    auto connection = connectionFor(target.id());
    const std::string answers(KrTransceiverConnection::kOutputLimit, 'a');
    std::size_t queued = 0;
    connection->queueOutput(answers.data(), answers.size(), queued);
    connection->noticeWhenDrained();
    flushDeliveries();
    EXPECT_TRUE(target.messages.values().empty()) << "still over the limit";
    connection->consumeOutput(1);
    flushDeliveries();
    ASSERT_EQ(target.messages.values().size(), 1u);
    EXPECT_EQ(target.messages.values()[0].type, KrJobMessage::kDataArrived);
    EXPECT_EQ(target.messages.values()[0].text, connection->id());

    KrStringBuf taken;
    connection->takeInput(taken);
    connection->noticeWhenDrained();
    flushDeliveries();
    EXPECT_EQ(target.messages.values().size(), 2u) << "below the limit: at once";
}

TEST(KrTransceiverConnection, WritesEveryQueuedBufferInOneGoAndReadsUntilThePeerCloses) {
    KrSocketIPvx listener;
    std::uint16_t port = 0;
    ASSERT_EQ(listener.listen("127.0.0.1", port, 16), KrSocketIPvx::kSuccess);
    auto peer = std::make_unique<Client>();
    ASSERT_TRUE(peer->connect(port));
    KrSocketIPvx accepted;
    ASSERT_GE(listener.accept(accepted, 30'000, [](const KrHostInfo_t&) { return true; }), 0);

    KrJobInstance<Target> target;
    auto connection = connectionFor(target.id());
    std::size_t queued = 0;
    connection->queueOutput("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", 38, queued);
    connection->queueOutput("ok", 2, queued);
    EXPECT_EQ(connection->writeToSocket(accepted), KrSocketIPvx::kSuccess);
    EXPECT_FALSE(connection->pendingOutput()) << "head and body left in one write";
    EXPECT_EQ(peer->receive(40), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");

    ASSERT_TRUE(peer->send("ping"));
    peer.reset();
    std::int64_t read = 0;
    for (int i = 0; i < 30'000 && !connection->inputEnded(); ++i) {
        if (accepted.waitReadable(1, accepted.handle())) {
            read = connection->readFromSocket(accepted);
        }
    }
    EXPECT_TRUE(connection->inputEnded()) << "the peer's end of stream ends the input";
    EXPECT_EQ(read, 0) << "and is no failure";
    EXPECT_FALSE(connection->wantsInput());
    KrStringBuf taken;
    connection->takeInput(taken);
    EXPECT_EQ(unread(taken), "ping");
}

}  // namespace
