#include "net/KrSocketIPvx.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DescriptorsTaken.h"
#include "platform/Poll.h"
#include "platform/Socket.h"

namespace {

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const KrSocketIPvx::AcceptFilter kAcceptAll = [](const KrHostInfo_t&) { return true; };

// A listener on a port of the system's choice.
struct Listener {
    explicit Listener(const std::string& address = "127.0.0.1") {
        EXPECT_EQ(socket.listen(address, port, 16), KrSocketIPvx::kSuccess);
    }
    KrSocketIPvx socket;
    std::uint16_t port = 0;
};

// Accepts one peer, waiting generously.
std::unique_ptr<KrSocketIPvx> acceptOne(KrSocketIPvx& listener,
                                        const KrSocketIPvx::AcceptFilter& filter = kAcceptAll) {
    auto accepted = std::make_unique<KrSocketIPvx>();
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (listener.accept(*accepted, 100, filter) >= 0) {
            return accepted;
        }
    }
    return nullptr;
}

// Receives until count bytes came, the peer closed or a receive failed.
std::string receiveUpTo(KrSocketIPvx& socket, std::size_t count) {
    std::string received;
    char buffer[2048];
    for (int attempt = 0; attempt < 5000 && received.size() < count; ++attempt) {
        std::size_t n = 0;
        EXPECT_EQ(socket.receiveWhenReady(buffer, sizeof buffer, n), 0);
        received.append(buffer, n);
        if (socket.closed() || socket.lastError() != 0) {
            break;
        }
    }
    return received;
}

// Waits until a receive on socket reports something other than "nothing yet".
void receiveUntilSomethingHappens(KrSocketIPvx& socket, std::size_t& received) {
    char buffer[64];
    for (int attempt = 0; attempt < 5000; ++attempt) {
        if (socket.waitReadable(1, socket.handle())) {
            socket.receive(buffer, sizeof buffer, received);
            return;
        }
    }
}

// A loopback listener with one client connected to it and accepted.
class KrSocketIPvxPair : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(client.connect("127.0.0.1", listener.port), KrSocketIPvx::kSuccess);
        server = acceptOne(listener.socket);
        ASSERT_TRUE(server);
    }

    Listener listener;
    KrSocketIPvx client;
    std::unique_ptr<KrSocketIPvx> server;
};

TEST(KrSocketIPvx, ListeningOnPortZeroReportsTheChosenPort) {
    KrSocketIPvx listener;
    std::uint16_t port = 0;
    ASSERT_EQ(listener.listen("127.0.0.1", port, 16), KrSocketIPvx::kSuccess);
    EXPECT_GT(port, 0);
    EXPECT_EQ(listener.port(), port);
    EXPECT_TRUE(listener.listening());
    EXPECT_GE(listener.handle(), 0);
}

TEST_F(KrSocketIPvxPair, ConnectsAndTransfersBothWays) {
    EXPECT_FALSE(client.closed());
    EXPECT_TRUE(server->connected());
    EXPECT_FALSE(server->closed());
    EXPECT_EQ(server->peerHost(), "127.0.0.1");
    EXPECT_GT(std::stoi(server->peerPort()), 0);

    std::size_t sent = 99;
    ASSERT_EQ(client.send("GET / HTTP/1.1\r\n\r\n", 18, sent), KrSocketIPvx::kSuccess);
    EXPECT_EQ(sent, 18u);
    EXPECT_EQ(receiveUpTo(*server, 18), "GET / HTTP/1.1\r\n\r\n");

    const std::vector<std::string_view> answer{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n",
                                               "ok"};
    ASSERT_EQ(server->sendBuffers(answer, sent), KrSocketIPvx::kSuccess);
    EXPECT_EQ(sent, 40u);
    EXPECT_EQ(receiveUpTo(client, 40), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
}

class WildcardAddress : public testing::TestWithParam<std::string> {};

TEST_P(WildcardAddress, ListensForBothFamiliesOnOnePort) {
    Listener listener(GetParam());
    ASSERT_GT(listener.port, 0);
    for (const std::string host : {"127.0.0.1", "::1"}) {
        KrSocketIPvx client;
        ASSERT_EQ(client.connect(host, listener.port), KrSocketIPvx::kSuccess) << host;
        auto server = acceptOne(listener.socket);
        ASSERT_TRUE(server) << host;
        std::size_t sent = 0;
        ASSERT_EQ(client.send("x", 1, sent), KrSocketIPvx::kSuccess);
        EXPECT_EQ(receiveUpTo(*server, 1), "x") << host;
    }
}

INSTANTIATE_TEST_SUITE_P(KrSocketIPvx, WildcardAddress, testing::Values("", "*", "0.0.0.0", "::"));

TEST(KrSocketIPvx, AListenerOnTheIPv4LoopbackIsNotReachableOverIPv6) {
    Listener listener("127.0.0.1");
    KrSocketIPvx client;
    CaptureStderr();
    EXPECT_EQ(client.connect("::1", listener.port), KrSocketIPvx::kConnectFailed);
    EXPECT_EQ(GetCapturedStderr(), "Could not connect, fd: -1\n");
    EXPECT_TRUE(client.closed());
}

TEST(KrSocketIPvx, ABusyPortFailsTheBind) {
    for (const std::string address : {"127.0.0.1", "::"}) {
        Listener first(address);
        KrSocketIPvx second;
        std::uint16_t port = first.port;
        CaptureStderr();
        EXPECT_EQ(second.listen(address, port, 16), KrSocketIPvx::kListenFailed) << address;
        EXPECT_EQ(GetCapturedStderr(), "Could not bind\n") << address;
        EXPECT_FALSE(second.listening());
        EXPECT_EQ(second.handle(), -1);
    }
}

// A name with empty labels fails in the resolver itself, without asking a name server.
TEST(KrSocketIPvx, AnAddressThatDoesNotResolvePrintsTheResolverText) {
    KrSocketIPvx socket;
    std::uint16_t port = 0;
    CaptureStderr();
    EXPECT_EQ(socket.listen("no..such..host", port, 16), KrSocketIPvx::kListenFailed);
    const std::string printed = GetCapturedStderr();
    EXPECT_EQ(printed.rfind("getaddrinfo: ", 0), 0u) << printed;
    EXPECT_GT(printed.size(), std::string("getaddrinfo: \n").size());
}

TEST(KrSocketIPvx, NobodyListeningFailsTheConnect) {
    std::uint16_t freePort;
    {
        Listener probe;
        freePort = probe.port;
    }
    KrSocketIPvx client;
    CaptureStderr();
    EXPECT_EQ(client.connect("127.0.0.1", freePort), KrSocketIPvx::kConnectFailed);
    EXPECT_EQ(GetCapturedStderr(), "Could not connect, fd: -1\n");
    EXPECT_EQ(client.handle(), -1);
}

TEST(KrSocketIPvx, AcceptWithNobodyConnectingTimesOut) {
    for (const std::string address : {"127.0.0.1", ""}) {
        Listener listener(address);
        KrSocketIPvx accepted;
        EXPECT_EQ(listener.socket.accept(accepted, 20, kAcceptAll), -1) << address;
        EXPECT_FALSE(listener.socket.lastWait());
        EXPECT_FALSE(accepted.connected());
        EXPECT_EQ(accepted.handle(), -1);
    }
}

TEST(KrSocketIPvx, AWakeEventEndsAnAcceptWithoutTimeLimit) {
    Listener listener;
    auto wake = platform::WakeEvent::open();
    ASSERT_TRUE(wake.ok());
    wake.value.signal();
    KrSocketIPvx accepted;
    EXPECT_EQ(listener.socket.accept(accepted, -1, kAcceptAll, wake.value.fd()), -1);
    EXPECT_FALSE(listener.socket.lastWait()) << "no peer was waiting";
    EXPECT_EQ(accepted.handle(), -1);
}

TEST(KrSocketIPvx, ARefusedPeerIsClosedAndNotKept) {
    Listener listener;
    KrSocketIPvx client;
    ASSERT_EQ(client.connect("127.0.0.1", listener.port), KrSocketIPvx::kSuccess);
    KrHostInfo_t seen;
    const auto refuse = [&seen](const KrHostInfo_t& peer) {
        seen = peer;
        return false;
    };
    KrSocketIPvx accepted;
    int result = -1;
    for (int attempt = 0; attempt < 50 && !listener.socket.lastWait(); ++attempt) {
        result = listener.socket.accept(accepted, 100, refuse);
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(listener.socket.lastWait());
    EXPECT_EQ(seen.host, "127.0.0.1");
    EXPECT_FALSE(seen.port.empty());
    EXPECT_EQ(accepted.handle(), -1);
    EXPECT_FALSE(accepted.connected());

    std::size_t received = 99;
    receiveUntilSomethingHappens(client, received);
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(client.closed()) << "the refused peer sees the end of the stream";
}

// A process that has run out of descriptors still answers a peer that waits in the backlog,
// by closing it at once with the descriptor it keeps spare, instead of leaving it waiting.
TEST(KrSocketIPvx, APeerThatFindsTheProcessOutOfDescriptorsIsClosedAtOnce) {
    Listener listener;
    KrSocketIPvx client;
    ASSERT_EQ(client.connect("127.0.0.1", listener.port), KrSocketIPvx::kSuccess);

    nettest::DescriptorsTaken taken(256);
    ASSERT_EQ(taken.lastError(), EMFILE);
    KrSocketIPvx accepted;
    int result = 0;
    for (int attempt = 0; attempt < 50 && result != -1; ++attempt) {
        result = listener.socket.accept(accepted, 100, kAcceptAll);
    }
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(listener.socket.lastWait()) << "the peer was answered: nothing to pause for";
    std::size_t received = 99;
    receiveUntilSomethingHappens(client, received);
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(client.closed()) << "the peer sees the end of the stream";

    // Once descriptors come free, peers are accepted as before.
    taken.release();
    KrSocketIPvx next;
    ASSERT_EQ(next.connect("127.0.0.1", listener.port), KrSocketIPvx::kSuccess);
    EXPECT_TRUE(acceptOne(listener.socket));
}

TEST(KrSocketIPvx, APeerThatClosesSetsTheClosedFlagQuietly) {
    Listener listener;
    auto client = std::make_unique<KrSocketIPvx>();
    ASSERT_EQ(client->connect("127.0.0.1", listener.port), KrSocketIPvx::kSuccess);
    auto server = acceptOne(listener.socket);
    ASSERT_TRUE(server);
    client.reset();

    CaptureStderr();
    std::size_t received = 99;
    receiveUntilSomethingHappens(*server, received);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(server->closed());
    EXPECT_EQ(server->lastError(), 0);
}

TEST(KrSocketIPvx, AResetPeerPrintsTheErrnoLine) {
    Listener listener;
    auto target = platform::resolveTcp("127.0.0.1", std::to_string(listener.port),
                                       platform::ResolvePurpose::Connect);
    ASSERT_TRUE(target.ok());
    auto peer = platform::openTcpSocket(platform::AddressFamily::IPv4);
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(platform::connectSocket(peer.value, target.value[0]).ok());
    auto server = acceptOne(listener.socket);
    ASSERT_TRUE(server);

    // Closing a socket with unread data resets the connection.
    std::size_t sent = 0;
    ASSERT_EQ(server->send("unread", 6, sent), KrSocketIPvx::kSuccess);
    ASSERT_TRUE(platform::pollOne(peer.value.get(), platform::kPollReadable, 5s).ok());
    peer.value.reset();

    CaptureStderr();
    std::size_t received = 99;
    receiveUntilSomethingHappens(*server, received);
    EXPECT_EQ(GetCapturedStderr(),
              "KrSocketIPvx::Receive(): error in read (errno=104) Connection reset by peer\n");
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(server->lastError(), ECONNRESET);
    EXPECT_FALSE(server->closed());

    std::size_t sentAfterReset = 99;
    EXPECT_EQ(server->send("more", 4, sentAfterReset), KrSocketIPvx::kSendFailed);
    EXPECT_EQ(sentAfterReset, 0u);
}

TEST_F(KrSocketIPvxPair, NothingThereYetIsNeitherClosedNorAnError) {
    char buffer[16];
    std::size_t received = 99;
    EXPECT_EQ(server->receive(buffer, sizeof buffer, received), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(server->closed());
    EXPECT_EQ(server->lastError(), 0);
}

TEST(KrSocketIPvx, SendingWithoutASocketPrintsAndFails) {
    KrSocketIPvx socket;
    std::size_t sent = 7;
    CaptureStderr();
    EXPECT_EQ(socket.send("x", 1, sent), KrSocketIPvx::kSendFailed);
    EXPECT_EQ(GetCapturedStderr(), "no socket\n");
    EXPECT_EQ(sent, 7u);
}

TEST_F(KrSocketIPvxPair, ASlowReaderMakesASendPartialInsteadOfBlocking) {
    const std::string chunk(1 << 20, 'z');
    int result = KrSocketIPvx::kSuccess;
    std::size_t sent = 0;
    for (int i = 0; i < 256 && result == KrSocketIPvx::kSuccess; ++i) {
        result = server->send(chunk.data(), chunk.size(), sent);
    }
    EXPECT_EQ(result, KrSocketIPvx::kPartialSend);
    EXPECT_LT(sent, chunk.size());
}

TEST_F(KrSocketIPvxPair, UrgentDataIsReadApart) {
    char buffer[4];
    std::size_t received = 99;
    EXPECT_EQ(server->receiveUrgent(buffer, sizeof buffer, received), 0);
    EXPECT_EQ(received, 0u) << "no urgent data yet";

    ASSERT_EQ(::send(client.handle(), "!", 1, MSG_OOB), 1);
    const auto ready = platform::pollOne(server->handle(), platform::kPollUrgent, 5s);
    ASSERT_TRUE(ready.ok());
    ASSERT_TRUE(ready.value & platform::kPollUrgent);
    EXPECT_EQ(server->receiveUrgent(buffer, sizeof buffer, received), 0);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(buffer[0], '!');
}

TEST(KrSocketIPvx, CountsTheLiveObjects) {
    const std::uint32_t before = KrSocketIPvx::objectCount();
    {
        KrSocketIPvx first;
        KrSocketIPvx second;
        EXPECT_EQ(KrSocketIPvx::objectCount(), before + 2);
    }
    EXPECT_EQ(KrSocketIPvx::objectCount(), before);
}

struct PortCase {
    std::string text;
    int expected;  // -1: invalid argument, -2: out of range
};

TEST(TcpPortFromText, ConvertsAsStoulWithinThePortRange) {
    const PortCase cases[] = {
        {"0", 0},          {"2098", 2098}, {"65535", 65535}, {" 80", 80},
        {"8080abc", 8080}, {"65536", -2},  {"-1", -2},       {"99999999999999999999999", -2},
        {"", -1},          {"abc", -1},    {" ", -1},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(kr::tcpPortFromText(c.text), c.expected) << '"' << c.text << '"';
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(c.expected, -1) << '"' << c.text << '"';
            EXPECT_STREQ(e.what(), "invalid stoul argument");
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(c.expected, -2) << '"' << c.text << '"';
            EXPECT_STREQ(e.what(), "stoul argument out of range");
        }
    }
}

}  // namespace
