#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Pipe.h"
#include "platform/Poll.h"
#include "platform/Socket.h"

namespace {

using namespace std::chrono_literals;

bool isCloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

// A loopback listener, a client connected to it and the accepted server side.
class LoopbackPair : public ::testing::Test {
protected:
    void SetUp() override {
        auto resolved = platform::resolveTcp("127.0.0.1", "0", platform::ResolvePurpose::Listen);
        ASSERT_TRUE(resolved.ok()) << resolved.errorText();
        ASSERT_FALSE(resolved.value.empty());
        auto socket = platform::openTcpSocket(platform::AddressFamily::IPv4);
        ASSERT_TRUE(socket.ok());
        listener = std::move(socket.value);
        ASSERT_TRUE(platform::setReuseAddress(listener).ok());
        ASSERT_TRUE(platform::setNonBlocking(listener).ok());
        ASSERT_TRUE(platform::bindSocket(listener, resolved.value[0]).ok());
        ASSERT_TRUE(platform::listenSocket(listener, 16).ok());
        const auto local = platform::localAddress(listener);
        ASSERT_TRUE(local.ok());
        port = local.value.port();
        ASSERT_GT(port, 0);

        EXPECT_EQ(platform::acceptConnection(listener).error, EAGAIN);

        auto target = platform::resolveTcp("127.0.0.1", std::to_string(port),
                                           platform::ResolvePurpose::Connect);
        ASSERT_TRUE(target.ok());
        auto clientSocket = platform::openTcpSocket(platform::AddressFamily::IPv4);
        ASSERT_TRUE(clientSocket.ok());
        client = std::move(clientSocket.value);
        ASSERT_TRUE(platform::connectSocket(client, target.value[0]).ok());
        ASSERT_TRUE(platform::setNoDelay(client).ok());

        const auto ready = platform::pollOne(listener.get(), platform::kPollReadable, 5s);
        ASSERT_TRUE(ready.ok());
        ASSERT_TRUE(ready.value & platform::kPollReadable);
        auto accepted = platform::acceptConnection(listener);
        ASSERT_TRUE(accepted.ok());
        server = std::move(accepted.value.socket);
        peer = accepted.value.peer;
    }

    // Receives until count bytes came or the peer closed.
    std::string receiveSome(const platform::Fd& socket, std::size_t count) {
        std::string received;
        char buffer[4096];
        while (received.size() < count) {
            const auto ready = platform::pollOne(socket.get(), platform::kPollReadable, 5s);
            if (!ready.ok() || ready.value == 0) {
                break;
            }
            const auto result = platform::receiveBytes(socket, buffer);
            if (!result.ok() || result.bytes == 0) {
                break;
            }
            received.append(buffer, result.bytes);
        }
        return received;
    }

    platform::Fd listener;
    platform::Fd client;
    platform::Fd server;
    platform::SocketAddress peer;
    std::uint16_t port = 0;
};

TEST_F(LoopbackPair, EveryDescriptorIsCloseOnExec) {
    EXPECT_TRUE(isCloseOnExec(listener.get()));
    EXPECT_TRUE(isCloseOnExec(client.get()));
    EXPECT_TRUE(isCloseOnExec(server.get()));
    const auto wake = platform::WakeEvent::open();
    ASSERT_TRUE(wake.ok());
    EXPECT_TRUE(isCloseOnExec(wake.value.fd()));
}

TEST_F(LoopbackPair, PeerNameIsNumeric) {
    const auto name = platform::numericName(peer);
    ASSERT_TRUE(name.ok()) << name.errorText();
    EXPECT_EQ(name.value.host, "127.0.0.1");
    EXPECT_EQ(name.value.service, std::to_string(peer.port()));
    EXPECT_EQ(peer.family(), platform::AddressFamily::IPv4);
}

TEST_F(LoopbackPair, BuffersArriveInOrderFromOneGatheringWrite) {
    const std::vector<std::string_view> pieces{"HTTP/1.1 200 OK\r\n", "", "\r\n", "body"};
    const auto sent = platform::sendBuffers(server, pieces);
    ASSERT_TRUE(sent.ok());
    EXPECT_FALSE(sent.wouldBlock);
    EXPECT_EQ(sent.bytes, 23u);
    EXPECT_EQ(receiveSome(client, 23), "HTTP/1.1 200 OK\r\n\r\nbody");
}

TEST_F(LoopbackPair, ReceiveTellsNothingYetFromEndOfStream) {
    char buffer[16];
    const auto nothing = platform::receiveBytes(server, buffer);
    EXPECT_TRUE(nothing.ok());
    EXPECT_TRUE(nothing.wouldBlock);
    EXPECT_EQ(nothing.bytes, 0u);

    ASSERT_TRUE(platform::sendBytes(client, "x").ok());
    EXPECT_EQ(receiveSome(server, 1), "x");
    ASSERT_TRUE(platform::shutdownSocket(client).ok());
    ASSERT_TRUE(platform::pollOne(server.get(), platform::kPollReadable, 5s).ok());
    const auto end = platform::receiveBytes(server, buffer);
    EXPECT_TRUE(end.ok());
    EXPECT_FALSE(end.wouldBlock);
    EXPECT_EQ(end.bytes, 0u);
}

TEST_F(LoopbackPair, AFullSocketBufferSaysWouldBlockInsteadOfWaiting) {
    const std::string chunk(1 << 20, 'a');
    bool blocked = false;
    for (int i = 0; i < 256 && !blocked; ++i) {
        const auto sent = platform::sendBytes(server, chunk);
        ASSERT_TRUE(sent.ok());
        blocked = sent.wouldBlock;
    }
    EXPECT_TRUE(blocked);
    const auto ready = platform::pollOne(server.get(), platform::kPollWritable, 0ms);
    ASSERT_TRUE(ready.ok());
    EXPECT_FALSE(ready.value & platform::kPollWritable);
}

TEST_F(LoopbackPair, SendingToAClosedPeerFailsWithoutASignal) {
    client.reset();
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) {
        const auto sent = platform::sendBytes(server, "after close");
        failed = !sent.ok();
        if (failed) {
            EXPECT_TRUE(sent.error == EPIPE || sent.error == ECONNRESET) << sent.error;
        } else {
            (void)platform::pollOne(server.get(), platform::kPollError, 10ms);
        }
    }
    EXPECT_TRUE(failed);
}

// A file goes out from the offset asked for, the file's own position stays where it was, the
// end of the file is no error, and a full socket says so instead of waiting.
TEST_F(LoopbackPair, AFileGoesOutFromItsOffsetWithoutBlocking) {
    const std::string path = testing::TempDir() + "socket-file-" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary) << "0123456789";
    const auto file = platform::openForReading(path);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(platform::setNonBlocking(server).ok());

    const auto some = platform::sendFileBytes(server, file.value, 3, 4);
    ASSERT_TRUE(some.ok());
    EXPECT_EQ(some.bytes, 4u);
    EXPECT_EQ(receiveSome(client, 4), "3456");
    char first[2];
    const auto read = platform::readSome(file.value, first);
    EXPECT_EQ(std::string(first, read.bytes), "01") << "the file's position did not move";

    const auto atEnd = platform::sendFileBytes(server, file.value, 10, 5);
    EXPECT_TRUE(atEnd.ok());
    EXPECT_FALSE(atEnd.wouldBlock);
    EXPECT_EQ(atEnd.bytes, 0u);

    const std::string chunk(1 << 20, 'a');
    for (int i = 0; i < 256 && !platform::sendBytes(server, chunk).wouldBlock; ++i) {
    }
    const auto full = platform::sendFileBytes(server, file.value, 0, 10);
    EXPECT_TRUE(full.ok());
    EXPECT_TRUE(full.wouldBlock);
    std::remove(path.c_str());
}

TEST(PlatformResolver, ResolvesNumericAddressesAndNamesErrors) {
    const auto any = platform::resolveTcp("", "8080", platform::ResolvePurpose::Listen);
    ASSERT_TRUE(any.ok()) << any.errorText();
    ASSERT_FALSE(any.value.empty());
    for (const auto& address : any.value) {
        EXPECT_EQ(address.port(), 8080);
    }
    auto loopback = platform::resolveTcp("::1", "1", platform::ResolvePurpose::Connect);
    ASSERT_TRUE(loopback.ok());
    ASSERT_EQ(loopback.value.size(), 1u);
    EXPECT_EQ(loopback.value[0].family(), platform::AddressFamily::IPv6);
    loopback.value[0].setPort(65535);
    const auto name = platform::numericName(loopback.value[0]);
    ASSERT_TRUE(name.ok());
    EXPECT_EQ(name.value.host, "::1");
    EXPECT_EQ(name.value.service, "65535");

    const auto badService = platform::resolveTcp("127.0.0.1", "no-such-service-gridlo",
                                                 platform::ResolvePurpose::Connect);
    EXPECT_FALSE(badService.ok());
    EXPECT_FALSE(badService.errorText().empty());
}

TEST(PlatformSocket, FailuresComeBackAsErrno) {
    const platform::Fd none;
    EXPECT_EQ(platform::setNoDelay(none).error, EBADF);
    EXPECT_EQ(platform::sendBytes(none, "x").error, EBADF);
    char buffer[4];
    EXPECT_EQ(platform::receiveBytes(none, buffer).error, EBADF);
    EXPECT_EQ(platform::acceptConnection(none).error, EBADF);
}

}  // namespace
