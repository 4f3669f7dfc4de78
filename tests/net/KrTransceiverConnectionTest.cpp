#include "net/KrTransceiverConnection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "TransceiverTestSupport.h"
#include "jobs/KrCombinedTask.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"

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

// Bytes that wait unread are a head still coming, unless the end of a head (an empty line)
// is among them, wherever the reads split it; the layer's taking them starts the request at
// the time the first of them came.
TEST(KrTransceiverConnection, UnreadBytesAreAHeadStillComingUntilAHeadsEndArrives) {
    constexpr std::string_view kTaken = "|";  // the layer takes the input here
    const struct {
        std::vector<std::string_view> reads;
        bool serving;  // a whole head waits for the layer
    } cases[] = {
        {{"GET / HTTP/1.1\r\nHost: x"}, false},
        {{"GET / HTTP/1.1\r\n\r\n"}, true},
        {{"GET / HTTP/1.1\r\nHost: x\r\n\r\nGET /next"}, true},
        {{"GET / HTTP/1.1\r\n\r", "\n"}, true},
        {{"GET / HTTP/1.1\r\n", "\r\n"}, true},
        {{"GET / HTTP/1.1\r", "\n", "\r", "\n"}, true},
        {{"GET / HTTP/1.1\r\n", kTaken, "\r\n"}, true},  // split by a take
        {{"GET / HTTP/1.1\r\n\r\n", kTaken, "GET /next HTTP"}, false},
        {{"GET / HTTP/1.1\n\n"}, false},  // a lone LF ends no line here
        {{"GET / HTTP/1.1\r\nX: \r\r\n"}, false},
    };
    for (const auto& c : cases) {
        auto connection = connectionFor("nobody");
        std::string described;
        KrStringBuf taken;
        for (const std::string_view read : c.reads) {
            described += read == kTaken ? std::string("|") : std::string(read) + "+";
            if (read == kTaken) {
                connection->takeInput(taken);
            } else {
                connection->appendInput(read.data(), read.size());
            }
        }
        EXPECT_EQ(connection->servingRequest(), c.serving) << described;
        // A head still coming is due at its time limit from its first byte, before the idle
        // time; a whole one waits for the layer under the idle time only.
        EXPECT_EQ(connection->dueTime() < connection->deadline(), !c.serving) << described;
    }
}

TEST(KrTransceiverConnection, ARequestStartsWhenTheFirstOfItsBytesCame) {
    auto connection = connectionFor("nobody");
    const std::int64_t before = platform::steadyNanoseconds();
    connection->appendInput("GET / HT", 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    connection->appendInput("TP/1.1\r\n", 8);
    EXPECT_EQ(connection->requestStart(), 0) << "nothing taken yet";
    const std::int64_t beforeTake = platform::steadyNanoseconds();
    KrStringBuf taken;
    connection->takeInput(taken);
    const std::int64_t start = connection->requestStart();
    EXPECT_GE(start, before);
    EXPECT_LT(start, beforeTake) << "the first bytes' time, not the take's";
    connection->appendInput("Host: x", 7);
    connection->takeInput(taken);
    EXPECT_EQ(connection->requestStart(), start) << "the same request goes on";
    connection->clearRequestDeadline();
    EXPECT_EQ(connection->requestStart(), 0) << "the request ended";
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

// Once the layer has taken an answer the peer sent, the connection leaves the subscription of
// that exchange; what it holds belongs to other messages and stays: the bytes received behind
// the answer, with the notice outstanding for them, and the answers queued for the peer.
TEST(KrTransceiverConnection, ResetLeavesTheSubscriptionAndKeepsInputAndOutput) {
    KrJobInstance<Target> target;
    auto connection = connectionFor(target.id());
    const std::string exchange = target.registerJob("exchange");
    ASSERT_TRUE(connection->subscribe(exchange));
    connection->appendInput("in", 2);
    std::size_t queued = 0;
    connection->queueOutput("out", 3, queued);
    connection->reset();
    EXPECT_EQ(connection->subscription(), "");
    EXPECT_TRUE(connection->dataAvailable());
    KrStringBuf taken;
    connection->takeInput(taken);
    EXPECT_EQ(unread(taken), "in");
    EXPECT_TRUE(connection->pendingOutput());
    std::string front;
    connection->peekOutput(front);
    EXPECT_EQ(front, "out");
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

// ---- files in the output queue ----

// An accepted socket and the peer that connected to it.
struct SocketPair {
    // How much the socket takes at a time.
    enum class Buffers {
        Small,    // a small buffer's worth: a large answer goes out in many small writes
        AsTuned,  // what the system's tuning gives loopback, soon more than a file's step
    };

    explicit SocketPair(Buffers buffers = Buffers::Small) {
        std::uint16_t port = 0;
        EXPECT_EQ(listener.listen("127.0.0.1", port, 16), KrSocketIPvx::kSuccess);
        EXPECT_TRUE(peer.connect(port));
        EXPECT_GE(listener.accept(*accepted, 30'000, [](const KrHostInfo_t&) { return true; }), 0);
        if (buffers == Buffers::Small) {
            constexpr int kSmallBuffer = 16 * 1024;
            EXPECT_EQ(::setsockopt(accepted->handle(), SOL_SOCKET, SO_SNDBUF, &kSmallBuffer,
                                   sizeof kSmallBuffer),
                      0);
            EXPECT_EQ(::setsockopt(peer.socket.handle(), SOL_SOCKET, SO_RCVBUF, &kSmallBuffer,
                                   sizeof kSmallBuffer),
                      0);
        }
    }

    // Writes the connection to the accepted socket until its queue is empty or a write
    // fails, taking what reaches the peer meanwhile into received; the last write's code.
    // largestWrite: the most that one write took off the queue.
    int drain(KrTransceiverConnection& connection, std::size_t& largestWrite) {
        int code = KrSocketIPvx::kSuccess;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (connection.pendingOutput() && std::chrono::steady_clock::now() < deadline) {
            const std::size_t before = connection.outputSize();
            code = connection.writeToSocket(*accepted);
            largestWrite = std::max(largestWrite, before - connection.outputSize());
            if (code == KrSocketIPvx::kSendFailed) {
                break;
            }
            char buffer[64 * 1024];
            std::size_t n = 0;
            (void)peer.socket.receiveWhenReady(buffer, sizeof buffer, n);
            received.append(buffer, n);
        }
        return code;
    }

    KrSocketIPvx listener;
    Client peer;
    std::unique_ptr<KrSocketIPvx> accepted = std::make_unique<KrSocketIPvx>();
    std::string received;
};

// A file under the test's temporary directory, removed with the object.
struct TestFile {
    explicit TestFile(const std::string& content)
        : path(testing::TempDir() + "connection-file-" + std::to_string(::getpid())) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }
    ~TestFile() { std::remove(path.c_str()); }

    platform::Fd openForReading() const {
        auto opened = platform::openForReading(path);
        EXPECT_TRUE(opened.ok()) << path;
        return std::move(opened.value);
    }

    const std::string path;
};

std::unique_ptr<KrStringBuf> bytesOf(std::string_view text) {
    auto stream = std::make_unique<KrStringBuf>();
    stream->write(text);
    return stream;
}

// The head and then the file's first length bytes, in writes of at most one step of the
// file each, as the socket takes them; a file that has grown beyond length sends no more,
// and what is queued behind the file follows it.
TEST(KrTransceiverConnection, AFileGoesOutBehindItsHeadInBoundedWritesAsThePeerTakesIt) {
    std::string content(24 * KrTransceiverConnection::kFileSendStep + 1234, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i % 253 + i / 4099);
    }
    const TestFile file(content + "grown since");
    for (const auto buffers : {SocketPair::Buffers::Small, SocketPair::Buffers::AsTuned}) {
        SCOPED_TRACE(buffers == SocketPair::Buffers::Small ? "small buffers" : "tuned buffers");
        SocketPair sockets(buffers);
        auto connection = connectionFor("nobody");
        auto head = bytesOf("HEAD\r\n\r\n");
        connection->queueOutput(head, file.openForReading(), content.size(),
                                KrTransceiverConnection::Writer::ThisThread);
        EXPECT_EQ(connection->outputSize(),
                  8 + content.size() + KrTransceiverConnection::kFileCharge)
            << "the file counts with its bytes and its descriptor";
        EXPECT_TRUE(connection->pendingOutput());

        std::size_t largestWrite = 0;
        EXPECT_NE(sockets.drain(*connection, largestWrite), KrSocketIPvx::kSendFailed);
        EXPECT_FALSE(connection->pendingOutput());
        EXPECT_EQ(connection->outputSize(), 0u);
        // The last write takes the descriptor's charge off as well.
        EXPECT_LE(largestWrite,
                  KrTransceiverConnection::kFileSendStep + KrTransceiverConnection::kFileCharge);

        std::size_t queued = 0;
        connection->queueOutput("next", 4, queued);
        EXPECT_EQ(sockets.drain(*connection, largestWrite), KrSocketIPvx::kSuccess);
        const std::string expected = "HEAD\r\n\r\n" + content + "next";
        sockets.received += sockets.peer.receive(expected.size() - sockets.received.size());
        EXPECT_EQ(sockets.received.size(), expected.size());
        EXPECT_TRUE(sockets.received == expected);
    }
}

// A file that cannot be read, or that ends before the length its head announced, breaks
// the connection: the peer gets what there was and then the end of the stream, never a
// shorter answer that looks whole.
TEST(KrTransceiverConnection, AFileThatFailsOrEndsEarlyBreaksTheConnection) {
    const std::string large(2 * KrTransceiverConnection::kFileSendStep + 5, 'x');
    const struct {
        const char* name;
        std::string content;   // in the file
        std::uint64_t length;  // announced
        bool readable;
    } cases[] = {
        {"shorter", "12345", 10, true},
        {"empty", "", 10, true},
        {"large, shorter", large, large.size() + 1, true},
        {"not readable", "1234567890", 10, false},
    };
    for (const auto& [name, content, length, readable] : cases) {
        SCOPED_TRACE(name);
        const TestFile file(content);
        SocketPair sockets;
        auto connection = connectionFor("nobody");
        auto head = bytesOf("HEAD\r\n\r\n");
        connection->queueOutput(head,
                                readable
                                    ? file.openForReading()
                                    : platform::Fd(::open(file.path.c_str(), O_WRONLY | O_CLOEXEC)),
                                length, KrTransceiverConnection::Writer::ThisThread);
        std::size_t largestWrite = 0;
        EXPECT_EQ(sockets.drain(*connection, largestWrite), KrSocketIPvx::kSendFailed);
        sockets.accepted.reset();  // as the hub closes a broken connection's socket
        sockets.received += sockets.peer.receive(std::string::npos);
        EXPECT_EQ(sockets.received, "HEAD\r\n\r\n" + (readable ? content : ""));
        EXPECT_TRUE(sockets.peer.socket.closed());
    }
}

// What a peer that reads nothing makes the connection hold: each queued file counts toward
// the output limit with a charge for its descriptor, so that reading stops (and with it new
// requests) after a few of them, however small; an empty file holds nothing.
TEST(KrTransceiverConnection, QueuedFilesCountTowardTheOutputLimit) {
    const TestFile file("x");
    auto connection = connectionFor("nobody");
    auto head = bytesOf("");
    connection->queueOutput(head, file.openForReading(), 0,
                            KrTransceiverConnection::Writer::ThisThread);
    EXPECT_FALSE(connection->pendingOutput()) << "an empty file queues nothing";
    EXPECT_EQ(connection->outputSize(), 0u);

    std::size_t files = 0;
    while (connection->wantsInput() && files < 64) {
        head = bytesOf("H");
        connection->queueOutput(head, file.openForReading(), 1,
                                KrTransceiverConnection::Writer::ThisThread);
        ++files;
    }
    EXPECT_EQ(files, KrTransceiverConnection::kOutputLimit / KrTransceiverConnection::kFileCharge);
    // Sent, they hold nothing more.
    SocketPair sockets;
    std::size_t largestWrite = 0;
    EXPECT_NE(sockets.drain(*connection, largestWrite), KrSocketIPvx::kSendFailed);
    EXPECT_EQ(connection->outputSize(), 0u);
    EXPECT_TRUE(connection->wantsInput());
}
