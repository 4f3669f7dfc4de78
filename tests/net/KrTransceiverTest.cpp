#include "net/KrTransceiver.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <map>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TransceiverTestSupport.h"
#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "jobs/HandOverSpin.h"
#include "jobs/KrCombinedTask.h"
#include "jobs/KrIdGenerator.h"
#include "platform/Clock.h"
#include "platform/Socket.h"

namespace {

using namespace nettest;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// The threads of this process.
std::size_t threadCount() {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(tasks);
    }
    return count;
}

// Voluntary context switches of each thread of this process but the calling one: a thread
// that blocks adds one each time it goes to sleep again.
std::map<std::string, long> sleepsPerThread() {
    std::map<std::string, long> sleeps;
    const std::string self = std::to_string(::gettid());
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            const std::string tid = entry->d_name;
            if (tid[0] == '.' || tid == self) {
                continue;
            }
            std::ifstream status("/proc/self/task/" + tid + "/status");
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                    sleeps[tid] = std::stol(line.substr(line.find(':') + 1));
                }
            }
        }
        ::closedir(tasks);
    }
    return sleeps;
}

class Hub : public testing::Test, public HubFixture {};

TEST_F(Hub, ListeningOnPortZeroReportsTheChosenPort) {
    const std::uint16_t port = listen();
    ASSERT_GT(port, 0);
    KrServerCallback_t created;
    ASSERT_TRUE(recorder.waitForState(KrServerCallback_t::kServerCreated, &created));
    EXPECT_EQ(created.values["protocol"], "DirectSocket");
    EXPECT_EQ(created.values["roll"], "server");
    KrServerCallback_t listening;
    ASSERT_TRUE(recorder.waitForState(KrServerCallback_t::kListening, &listening));
    EXPECT_EQ(listening.values["address"], "127.0.0.1");
    EXPECT_EQ(listening.values["protocolstring"], "socket");
    EXPECT_EQ(listening.values["ID"], created.values["ID"]);
    EXPECT_EQ(layer()->id(), created.values["ID"]);
    EXPECT_EQ(layer()->name(), handler->id());
    EXPECT_EQ(layer()->secondText(), description->descriptionId());
    EXPECT_EQ(layer()->linkName(), hub->id());
}

TEST_F(Hub, DataFromAPeerReachesTheServerAsANoticeAndIsTakenWhole) {
    const std::uint16_t port = listen();
    Client client;
    ASSERT_TRUE(client.connect(port));
    KrServerCallback_t accepted;
    ASSERT_TRUE(recorder.waitForState(KrServerCallback_t::kConnectionAccepted, &accepted));
    EXPECT_EQ(accepted.values["remoteaddress"], "127.0.0.1");
    EXPECT_FALSE(accepted.values["remoteport"].empty());
    EXPECT_EQ(accepted.values["localaddress"], "127.0.0.1");
    EXPECT_EQ(accepted.values["localport"], std::to_string(port));
    EXPECT_EQ(accepted.values["localprotocolstring"], "socket");
    KrServerDescription::Attributes attributes;
    ASSERT_TRUE(description->accepted.waitFor([](const auto&) { return true; }, &attributes));
    EXPECT_EQ(attributes["type"], "DirectSocket");
    EXPECT_EQ(attributes["hoststring"], "127.0.0.1");

    handler->answer = false;
    ASSERT_TRUE(client.send("hello"));
    std::pair<std::string, std::string> received;
    ASSERT_TRUE(
        layer()->received.waitFor([](const auto& r) { return !r.second.empty(); }, &received));
    EXPECT_EQ(received.second, "hello");
    const auto connection = hub->findConnection(received.first);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->target(), layer()->id());
    EXPECT_EQ(connection->secondName(), hub->id());
    EXPECT_EQ(connection->peerMap().at("remoteaddress"), "127.0.0.1");
    EXPECT_TRUE(layer()->messages.waitFor([&](const KrJobMessage& m) {
        return m.type == KrJobMessage::kDataArrived && m.text == received.first;
    }));
    std::pair<std::string, std::string> request;
    ASSERT_TRUE(handler->requests.waitFor([](const auto&) { return true; }, &request));
    EXPECT_EQ(request.first, description->descriptionId());
}

TEST_F(Hub, AnswersTravelBackThroughTheHubToTheirConnection) {
    const std::uint16_t port = listen();
    Client first;
    Client second;
    ASSERT_TRUE(first.connect(port));
    ASSERT_TRUE(second.connect(port));
    ASSERT_TRUE(first.send("one"));
    ASSERT_TRUE(second.send("two"));
    EXPECT_EQ(second.receive(3), "two");
    EXPECT_EQ(first.receive(3), "one");
}

TEST_F(Hub, ServesTwoHundredConnectionsWithOneReceiveAndOneSendJob) {
    const std::uint16_t port = listen();
    constexpr int kClients = 200;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_TRUE(clients.back()->connect(port)) << i;
    }
    ASSERT_TRUE(eventually([&] { return hub->connectionCount() == kClients; }));
    const auto receiveJob = hub->receiveJobId();
    const auto sendJob = hub->sendJobId();
    EXPECT_NE(receiveJob, 0u);
    EXPECT_NE(sendJob, 0u);
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(clients[i]->send("client " + std::to_string(i) + ";"));
    }
    for (int i = 0; i < kClients; ++i) {
        const std::string expected = "client " + std::to_string(i) + ";";
        EXPECT_EQ(clients[i]->receive(expected.size()), expected);
    }
    EXPECT_EQ(hub->receiveJobId(), receiveJob);
    EXPECT_EQ(hub->sendJobId(), sendJob);
}

TEST_F(Hub, APeerThatClosesIsRemovedAndItsServerTold) {
    const std::uint16_t port = listen();
    auto client = std::make_unique<Client>();
    ASSERT_TRUE(client->connect(port));
    ASSERT_TRUE(eventually([&] { return hub->connectionCount() == 1; }));
    client.reset();
    ASSERT_TRUE(eventually([&] { return hub->connectionCount() == 0; }));
    EXPECT_TRUE(layer()->messages.waitFor(
        [](const KrJobMessage& m) { return m.type == KrJobMessage::kConnectionRemoved; }));
}

TEST_F(Hub, AResetPeerPrintsTheErrnoLineAndIsRemoved) {
    const std::uint16_t port = listen();
    // A raw socket: KrSocketIPvx shuts its socket down before closing it, which ends the
    // stream in order instead of resetting it.
    auto target =
        platform::resolveTcp("127.0.0.1", std::to_string(port), platform::ResolvePurpose::Connect);
    ASSERT_TRUE(target.ok());
    auto peer = platform::openTcpSocket(platform::AddressFamily::IPv4);
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(platform::connectSocket(peer.value, target.value[0]).ok());
    ASSERT_TRUE(platform::sendBytes(peer.value, "unread").ok());
    ASSERT_NE(platform::pollOne(peer.value.get(), platform::kPollReadable, kPatience).value, 0);
    ASSERT_TRUE(eventually([&] { return hub->connectionCount() == 1; }));

    CaptureStderr();
    peer.value.reset();  // closing with the echo unread resets the connection
    const bool removed = eventually([&] { return hub->connectionCount() == 0; });
    const std::string printed = GetCapturedStderr();
    EXPECT_TRUE(removed);
    EXPECT_EQ(printed,
              "KrSocketIPvx::Receive(): error in read (errno=104) Connection reset by peer\n");
}

// A burst of connects that the listener cannot accept as fast as they come waits in the
// listen backlog. When the backlog is full the system drops the SYN, and the client sends it
// again only after 1 s (then 3 s, 7 s): a retransmitted SYN is what a too short backlog
// leaves behind on the client's socket.
TEST_F(Hub, ABurstOfAThousandConnectsIsTakenWithoutARetransmittedSyn) {
    const std::uint16_t port = listen();
    const auto target =
        platform::resolveTcp("127.0.0.1", std::to_string(port), platform::ResolvePurpose::Connect);
    ASSERT_TRUE(target.ok());
    constexpr std::size_t kConnects = 1000;
    std::vector<platform::Fd> peers;
    std::vector<platform::PollEntry> pending;
    for (std::size_t i = 0; i < kConnects; ++i) {
        auto peer = platform::openTcpSocket(platform::AddressFamily::IPv4);
        ASSERT_TRUE(peer.ok()) << i;
        ASSERT_TRUE(platform::setNonBlocking(peer.value).ok());
        const auto started = platform::connectSocket(peer.value, target.value[0]);
        ASSERT_TRUE(started.ok() || started.error == EINPROGRESS) << i << ": " << started.error;
        pending.push_back({.fd = peer.value.get(), .wanted = platform::kPollWritable});
        peers.push_back(std::move(peer.value));
    }
    // Every handshake completes (a generous wait: a dropped SYN comes again within 7 s).
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!pending.empty() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(platform::pollDescriptors(pending, 100ms).ok());
        std::erase_if(pending, [](const platform::PollEntry& e) { return e.ready != 0; });
    }
    ASSERT_TRUE(pending.empty()) << pending.size() << " connects never completed";
    std::size_t retransmitted = 0;
    for (const platform::Fd& peer : peers) {
        tcp_info info{};
        socklen_t size = sizeof info;
        ASSERT_EQ(::getsockopt(peer.get(), IPPROTO_TCP, TCP_INFO, &info, &size), 0);
        ASSERT_EQ(info.tcpi_state, TCP_ESTABLISHED);
        retransmitted += info.tcpi_total_retrans > 0 ? 1 : 0;
    }
    EXPECT_EQ(retransmitted, 0u) << "connects whose SYN was dropped and sent again";
    EXPECT_TRUE(eventually([&] { return hub->connectionCount() == kConnects; }));
}

class IdleHub : public testing::Test, public HubFixture {
protected:
    IdleHub() : HubFixture(KrTransceiver::Timing{.connectionTimeout = 100'000}) {}
};

TEST_F(IdleHub, AnIdleConnectionExpires) {
    const std::uint16_t port = listen();
    Client client;
    ASSERT_TRUE(client.connect(port));
    // The report that the hub serves the connection, which stays: the count of 1 lasts only
    // until the idle time is up, which a test thread held up that long would miss.
    ASSERT_TRUE(recorder.waitForState(KrServerCallback_t::kConnectionAccepted));
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(hub->connectionCount(), 0u);
    EXPECT_TRUE(layer()->messages.waitFor(
        [](const KrJobMessage& m) { return m.type == KrJobMessage::kExpired; }));
    EXPECT_TRUE(layer()->messages.waitFor(
        [](const KrJobMessage& m) { return m.type == KrJobMessage::kConnectionRemoved; }));
}

// Small socket buffers on both ends, so that a large answer reaches a slow reader in many
// small writes, each as the reader makes room.
constexpr int kSmallSocketBuffer = 8 * 1024;

void setSocketBuffer(int fd, int option) {
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, option, &kSmallSocketBuffer, sizeof kSmallSocketBuffer),
              0);
}

class SlowReaderHub : public testing::Test, public HubFixture {
protected:
    SlowReaderHub() : HubFixture(KrTransceiver::Timing{.connectionTimeout = kTimeout}) {}

    static constexpr std::uint64_t kTimeout = 500'000;  // µs

    // A peer with a small receive window, served by the hub over a server socket with a
    // small send buffer, with a flood queued for it before the hub serves it. The flood is
    // made before the connection: the making of 16 MiB counts as idle time (as a handler's
    // answer it took longer than kTimeout under a sanitizer and load, and the connection
    // was cut before its first byte, however fast the peer read).
    platform::Fd floodedPeer() {
        auto flood = std::make_unique<KrStringBuf>();
        flood->write(std::string(kFloodSize, 'f'));
        KrSocketIPvx listener;
        std::uint16_t port = 0;
        EXPECT_EQ(listener.listen("127.0.0.1", port, 16), KrSocketIPvx::kSuccess);
        auto peer = platform::openTcpSocket(platform::AddressFamily::IPv4);
        EXPECT_TRUE(peer.ok());
        setSocketBuffer(peer.value.get(), SO_RCVBUF);
        const auto target = platform::resolveTcp("127.0.0.1", std::to_string(port),
                                                 platform::ResolvePurpose::Connect);
        EXPECT_TRUE(target.ok() && platform::connectSocket(peer.value, target.value[0]).ok());
        auto server = std::make_shared<KrSocketIPvx>();
        EXPECT_GE(listener.accept(*server, 30'000, [](const KrHostInfo_t&) { return true; }), 0);
        setSocketBuffer(server->handle(), SO_SNDBUF);
        const auto connection = layer()->makeConnection(hub.get(), layer()->id(), {});
        connection->queueOutput(flood);
        hub->addConnection(server, connection);
        return std::move(peer.value);
    }

    // Far more than the slow reader takes in several idle times.
    static constexpr std::size_t kFloodSize = std::size_t{16} << 20;
};

// Reads what is there, waiting up to wait for it; -1 at the end of the stream.
std::int64_t readSome(const platform::Fd& peer, std::chrono::milliseconds wait) {
    char buffer[16 * 1024];
    if (platform::pollOne(peer.get(), platform::kPollReadable, wait).value == 0) {
        return 0;
    }
    const auto read = platform::receiveBytes(peer, buffer);
    return !read.ok() || (!read.wouldBlock && read.bytes == 0)
               ? -1
               : static_cast<std::int64_t>(read.bytes);
}

// Idle time counts from the last progress: every write that moves bytes restarts it, so a
// slow reader is served for as long as bytes flow; a reader that takes nothing is still cut.
TEST_F(SlowReaderHub, AReaderThatKeepsTakingIsServedOneThatStopsIsCut) {
    listen();
    // The slow reader last, so that its first read follows its connection at once.
    const platform::Fd stopped = floodedPeer();
    const platform::Fd slow = floodedPeer();
    std::size_t received = 0;
    // A few bytes every 20 ms for several idle times; the answer is far from through then.
    const auto slowUntil =
        std::chrono::steady_clock::now() + 5 * std::chrono::microseconds(kTimeout);
    while (std::chrono::steady_clock::now() < slowUntil) {
        const std::int64_t read = readSome(slow, 0ms);
        ASSERT_GE(read, 0) << "cut after " << received << " bytes";
        received += static_cast<std::size_t>(read);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_LT(received, kFloodSize);
    for (std::int64_t read = 0; received < kFloodSize && read >= 0;) {
        read = readSome(slow, kPatience);
        received += read > 0 ? static_cast<std::size_t>(read) : 0;
    }
    EXPECT_EQ(received, kFloodSize);

    std::int64_t read = 0;
    while ((read = readSome(stopped, kPatience)) > 0) {
    }
    EXPECT_EQ(read, -1) << "the reader that took nothing was cut";
}

TEST_F(Hub, AConnectionClosedWhenDrainedGetsItsWholeAnswerFirst) {
    const std::uint16_t port = listen();
    Client client;
    ASSERT_TRUE(client.connect(port));
    ASSERT_TRUE(client.send("close"));
    const std::string expected = "close" + std::string(std::size_t{1} << 20, '.') + "end";
    EXPECT_EQ(client.receive(expected.size()), expected);
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(eventually([&] { return hub->connectionCount() == 0; }));
}

// The server end of a loopback connection, made by the test, so that the hub can serve it
// with a connection of the test's choice; peer is the client end.
struct ServedPair {
    ServedPair() {
        std::uint16_t port = 0;
        EXPECT_EQ(listener.listen("127.0.0.1", port, 16), KrSocketIPvx::kSuccess);
        EXPECT_TRUE(peer.connect(port));
        EXPECT_GE(listener.accept(*server, 30'000, [](const KrHostInfo_t&) { return true; }), 0);
    }
    KrSocketIPvx listener;
    Client peer;
    std::shared_ptr<KrSocketIPvx> server = std::make_shared<KrSocketIPvx>();
};

// A connection that acts in the send job's window: the first time the job finds its output
// drained, the connection's last answer is queued and the connection marked to close right
// after that read, as a buffer job does that sends a "Connection: close" answer then. Both
// answers are larger than a socket takes at once, so that the send job writes them.
class LastAnswerInTheWindow : public KrTransceiverConnection {
public:
    static constexpr std::size_t kAnswerSize = std::size_t{8} << 20;

    explicit LastAnswerInTheWindow(KrTransceiver* hub)
        : KrTransceiverConnection(hub, "nobody", "nobody", {}, {}) {
        std::size_t queued = 0;
        const std::string first(kAnswerSize, 'f');
        queueOutput(first.data(), first.size(), queued);
    }

    bool pendingOutput() const override {
        const bool pending = KrTransceiverConnection::pendingOutput();
        if (!pending && !sent_.exchange(true)) {
            auto& self = const_cast<LastAnswerInTheWindow&>(*this);
            const std::string last(kAnswerSize, 'l');
            std::size_t queued = 0;
            self.queueOutput(last.data(), last.size(), queued);
            self.closeWhenDrained();
        }
        return pending;
    }

private:
    mutable std::atomic<bool> sent_{false};
};

TEST_F(Hub, ALastAnswerQueuedWhileTheSendJobLooksIsWrittenBeforeTheClose) {
    ServedPair pair;
    hub->addConnection(std::move(pair.server), kr::makeJob<LastAnswerInTheWindow>(hub.get()));
    const std::string expected = std::string(LastAnswerInTheWindow::kAnswerSize, 'f') +
                                 std::string(LastAnswerInTheWindow::kAnswerSize, 'l');
    const std::string received = pair.peer.receive(expected.size());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    EXPECT_TRUE(pair.peer.waitForClose());
    EXPECT_TRUE(eventually([&] { return hub->connectionCount() == 0; }));
}

// A connection served by the hub for nothing but output.
class OutputOnly : public KrTransceiverConnection {
public:
    explicit OutputOnly(KrTransceiver* hub)
        : KrTransceiverConnection(hub, "nobody", "nobody", {}, {}) {}
};

TEST_F(Hub, AnswersLeftToTheSendJobArriveWholeAndInOrderWhetherItSleepsOrNot) {
    using Writer = KrTransceiverConnection::Writer;
    ServedPair pair;
    const auto connection = kr::makeJob<OutputOnly>(hub.get());
    hub->addConnection(std::move(pair.server), connection);
    struct Step {
        Writer writer;
        std::size_t bodySize;  // beyond what a socket takes at once for the large ones
        std::chrono::milliseconds pauseBefore;  // long enough for the send job to sleep
    };
    const std::vector<Step> steps{
        {Writer::SendJob, 10, 0ms},         {Writer::SendJob, 10, 0ms},
        {Writer::ThisThread, 10, 0ms},      {Writer::SendJob, 10, 200ms},
        {Writer::SendJob, 4 << 20, 0ms},    {Writer::ThisThread, 10, 0ms},
        {Writer::ThisThread, 4 << 20, 0ms}, {Writer::SendJob, 10, 0ms},
        {Writer::SendJob, 10, 200ms},
    };
    std::string expected;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        std::this_thread::sleep_for(steps[i].pauseBefore);
        auto head = std::make_unique<KrStringBuf>();
        head->write("head " + std::to_string(i) + ":");
        auto body = std::make_unique<KrStringBuf>();
        body->write(std::string(steps[i].bodySize, static_cast<char>('a' + i)));
        expected += "head " + std::to_string(i) + ":" +
                    std::string(steps[i].bodySize, static_cast<char>('a' + i));
        connection->queueOutput(head, body, steps[i].writer);
        if (steps[i].pauseBefore > 0ms) {
            // Nothing else comes: the send job must be woken for it.
            EXPECT_EQ(pair.peer.receive(expected.size()).size(), expected.size()) << i;
            expected.clear();
        }
    }
    connection->closeWhenDrained();
    const std::string received = pair.peer.receive(expected.size());
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    EXPECT_TRUE(pair.peer.waitForClose());
}

TEST_F(Hub, AConnectionIsFoundExactlyWhileItIsServedHoweverOftenItIsLookedUp) {
    ServedPair firstPair;
    ServedPair secondPair;
    const auto first = kr::makeJob<OutputOnly>(hub.get());
    const auto second = kr::makeJob<OutputOnly>(hub.get());
    EXPECT_EQ(hub->findConnection(first->id()), nullptr);
    hub->addConnection(std::move(firstPair.server), first);
    EXPECT_EQ(hub->findConnection(first->id()), first);
    EXPECT_EQ(hub->findConnection(first->id()), first);
    EXPECT_EQ(hub->findConnection(second->id()), nullptr);
    hub->addConnection(std::move(secondPair.server), second);
    EXPECT_EQ(hub->findConnection(second->id()), second);
    EXPECT_EQ(hub->findConnection(first->id()), first);
    {
        // Another hub's registry is another: what this one just found is nothing there.
        KrRarediScheduler2 otherScheduler;
        const auto other = kr::makeUniqueJob<KrTransceiver>(otherScheduler);
        EXPECT_EQ(other->findConnection(first->id()), nullptr);
    }
    EXPECT_EQ(hub->findConnection(second->id()), second);
    hub->removeConnection(second->id());
    EXPECT_EQ(hub->findConnection(second->id()), nullptr);
    EXPECT_EQ(hub->findConnection(first->id()), first);
    hub->removeConnection(first->id());
    EXPECT_EQ(hub->findConnection(first->id()), nullptr);
}

TEST_F(Hub, ASlowReaderDoesNotHoldUpOtherConnections) {
    const std::uint16_t port = listen();
    Client slow;
    Client quick;
    ASSERT_TRUE(slow.connect(port));
    ASSERT_TRUE(quick.connect(port));
    ASSERT_TRUE(slow.send("flood"));
    ASSERT_TRUE(layer()->handled.waitFor([](const std::string& b) { return b[0] == 'f'; }));
    for (int i = 0; i < 20; ++i) {
        const std::string text = "ping " + std::to_string(i);
        ASSERT_TRUE(quick.send(text));
        ASSERT_EQ(quick.receive(text.size()), text);
    }
    const auto flooded = hub->findConnection(layer()->received.values()[0].first);
    ASSERT_TRUE(flooded);
    EXPECT_TRUE(flooded->pendingOutput()) << "the slow reader still has output waiting";
    EXPECT_EQ(slow.receive(EchoHandler::kFloodSize).size(), EchoHandler::kFloodSize);
}

TEST_F(Hub, ABusyPortIsRetriedWithState3UntilItIsFree) {
    auto busy = std::make_unique<KrSocketIPvx>();
    std::uint16_t port = 0;
    ASSERT_EQ(busy->listen("127.0.0.1", port, 16), KrSocketIPvx::kSuccess);
    hub = kr::makeUniqueJob<KrTransceiver>(scheduler,
                                           KrTransceiver::Timing{.listenRetryPause = 20ms});
    hub->setServerLayer(kTestProtocol, TestLayer::layer());
    hub->addClient(handler);

    CaptureStderr();
    description = std::make_shared<TestDescription>(std::map<std::string, std::string>{
        {"tcp_address", "127.0.0.1"}, {"tcp_port", std::to_string(port)}});
    hub->createServer(handler.get(), description, recorder.callback());
    const bool retried =
        eventually([&] { return recorder.countState(KrServerCallback_t::kListenFailed) >= 2; });
    busy.reset();
    KrServerCallback_t listening;
    const bool listened = recorder.waitForState(KrServerCallback_t::kListening, &listening);
    const std::string printed = GetCapturedStderr();
    EXPECT_TRUE(retried);
    ASSERT_TRUE(listened);
    EXPECT_EQ(listening.values["port"], std::to_string(port));
    EXPECT_EQ(printed.rfind("Could not bind\n", 0), 0u) << printed;
    KrServerCallback_t failed;
    ASSERT_TRUE(recorder.waitForState(KrServerCallback_t::kListenFailed, &failed));
    EXPECT_EQ(failed.values["address"], "127.0.0.1");
    EXPECT_EQ(failed.values["protocolstring"], "socket");
    EXPECT_EQ(failed.values.count("port"), 0u);
}

TEST_F(Hub, ARefusedConnectionLeavesNoOpenSocket) {
    const std::uint32_t before = KrSocketIPvx::objectCount();
    const std::uint16_t port = listen();
    description->refuseAll = true;
    // The listening object, and the one that waits for the next peer.
    ASSERT_TRUE(eventually([&] { return KrSocketIPvx::objectCount() == before + 2; }));
    Client client;
    ASSERT_TRUE(client.connect(port));
    EXPECT_TRUE(client.waitForClose()) << "the refused peer sees the end of the stream";
    EXPECT_EQ(hub->connectionCount(), 0u);
    EXPECT_EQ(recorder.countState(KrServerCallback_t::kConnectionAccepted), 0u);
    EXPECT_TRUE(eventually([&] { return KrSocketIPvx::objectCount() == before + 3; }))
        << "the client's own object is the only one added";
}

TEST_F(Hub, ATcpPortThatDoesNotConvertEndsTheListener) {
    for (const std::string port : {"70000", "none"}) {
        auto server = std::make_shared<TestDescription>(
            std::map<std::string, std::string>{{"tcp_address", "127.0.0.1"}, {"tcp_port", port}});
        hub->createServer(handler.get(), server, recorder.callback());
        const auto layer = std::dynamic_pointer_cast<TestLayer>(server->server());
        ASSERT_TRUE(layer);
        ASSERT_TRUE(eventually([&] { return scheduler.isFinished(layer->listenerJobId()); }));
    }
    EXPECT_EQ(recorder.countState(KrServerCallback_t::kListening), 0u);
    EXPECT_EQ(recorder.countState(KrServerCallback_t::kListenFailed), 0u);
}

TEST_F(Hub, WithoutAPortSettingTheListenerUses2098) {
    listen({{"tcp_address", "127.0.0.1"}});
    KrServerCallback_t event;
    ASSERT_TRUE(recorder.events.waitFor(
        [](const KrServerCallback_t& e) {
            return e.state == KrServerCallback_t::kListening ||
                   e.state == KrServerCallback_t::kListenFailed;
        },
        &event));
    if (event.state == KrServerCallback_t::kListenFailed) {
        GTEST_SKIP() << "port 2098 is taken on this machine";
    }
    EXPECT_EQ(event.values["port"], "2098");
}

TEST_F(Hub, StoppingAListenerThatNobodyCallsEndsItsJob) {
    listen();
    const auto server = layer();
    const auto job = server->listenerJobId();
    ASSERT_FALSE(scheduler.isFinished(job));
    server->endTransport();
    EXPECT_TRUE(scheduler.isFinished(job));
}

TEST_F(Hub, CreatingTheSameServerTwiceBuildsOne) {
    description = std::make_shared<TestDescription>(
        std::map<std::string, std::string>{{"tcp_address", "127.0.0.1"}, {"tcp_port", "0"}});
    EXPECT_EQ(hub->createServer(handler.get(), description, recorder.callback()),
              description->descriptionId());
    const auto first = description->server();
    EXPECT_EQ(hub->createServer(handler.get(), description, recorder.callback()),
              description->descriptionId());
    EXPECT_EQ(description->server(), first);
    EXPECT_EQ(recorder.countState(KrServerCallback_t::kServerCreated), 1u);
    EXPECT_EQ(hub->createServer(handler.get(), nullptr, recorder.callback()), "");
}

TEST_F(Hub, AProtocolWithoutALayerBuildsNothing) {
    const auto https =
        std::make_shared<TestDescription>(std::map<std::string, std::string>{}, kr::kProtocolHTTPS);
    CaptureStdout();
    EXPECT_EQ(hub->createServer(handler.get(), https, recorder.callback()), https->descriptionId());
    EXPECT_EQ(GetCapturedStdout(), "unknown protocol!! (3)\n");
    EXPECT_FALSE(https->server());
    EXPECT_EQ(recorder.countState(KrServerCallback_t::kServerCreated), 0u);
}

TEST_F(Hub, AHandlerThatWasNeverAddedSendsAndBuildsNothing) {
    auto stranger = kr::makeJob<EchoHandler>();
    auto answer = kr::makeJob<TestMessage>();
    answer->setMessageKind(KrTransceiverMessage::kAnswer);
    EXPECT_EQ(hub->sendMessage(stranger.get(), answer, nullptr, "reply"), kr::commonErrorName());
    EXPECT_EQ(answer->connectionName(), "");
    const auto server = std::make_shared<TestDescription>();
    EXPECT_EQ(hub->createServer(stranger.get(), server, nullptr), server->descriptionId());
    EXPECT_FALSE(server->server());
}

TEST_F(Hub, MessagesOfProtocolsWithoutARouteAreDropped) {
    auto answer = kr::makeJob<TestMessage>(kr::kProtocolNUXELS);
    answer->setMessageKind(KrTransceiverMessage::kAnswer);
    CaptureStdout();
    EXPECT_EQ(hub->sendMessage(handler.get(), answer, nullptr, "reply"), answer->id());
    EXPECT_EQ(GetCapturedStdout(), "unknown protocol!! (1)\n");
    EXPECT_EQ(answer->connectionName(), "reply");

    auto request = kr::makeJob<TestMessage>(kr::kProtocolHTTP, "example.invalid", 80);
    request->setMessageKind(KrTransceiverMessage::kRequest);
    CaptureStdout();
    EXPECT_EQ(hub->sendMessage(handler.get(), request, nullptr, "reply"), request->id());
    EXPECT_EQ(GetCapturedStdout(), "unknown protocol!! (2)\n");
}

TEST_F(Hub, AnAnswerWhoseServerOrConnectionIsGoneIsDropped) {
    listen();
    auto answer = kr::makeJob<TestMessage>();
    answer->setMessageKind(KrTransceiverMessage::kAnswer);
    answer->appendRoute(layer()->id());
    answer->appendRoute("no connection");
    EXPECT_EQ(hub->sendMessage(handler.get(), answer, nullptr, "reply"), answer->id());
    EXPECT_TRUE(layer()->handled.values().empty());
}

TEST_F(Hub, PrintsTheLoggingLineOfAnAccessLogEventOnly) {
    const struct {
        int state;
        std::map<std::string, std::string> values;
        std::string printed;
    } cases[] = {
        {7, {{"logging", "127.0.0.1 - http - [x]"}}, "127.0.0.1 - http - [x]\n"},
        {7, {{"other", "x"}}, ""},
        {4, {{"logging", "x"}}, ""},
    };
    for (const auto& c : cases) {
        KrServerCallback_t event;
        event.state = c.state;
        event.values = c.values;
        CaptureStdout();
        hub->printLog(event);
        kr::flushOutLines();  // a line for every request may be held back briefly
        EXPECT_EQ(GetCapturedStdout(), c.printed);
    }
}

TEST_F(Hub, AddingAConnectionWithoutASocketThrows) {
    EXPECT_THROW(hub->addConnection(nullptr, nullptr), KrException);
}

TEST_F(Hub, ReportsTheRemovedServerWhenItGoes) {
    listen();
    const std::string serverId = layer()->id();
    hub.reset();
    KrServerCallback_t removed;
    ASSERT_TRUE(recorder.waitForState(KrServerCallback_t::kServerRemoved, &removed));
    EXPECT_EQ(removed.values["ID"], serverId);
    EXPECT_EQ(removed.values["roll"], "server");
}

// Two notices of one connection reach receive in order, and several connections share one
// buffer job: driven directly, without sockets.
TEST_F(Hub, NoticesReachReceiveInOrderOnOneBufferJob) {
    listen();
    const auto server = layer();
    auto first = server->makeConnection(hub.get(), server->id(), {});
    auto second = server->makeConnection(hub.get(), server->id(), {});
    // Not served by the hub: the layer finds no connection and records the names only.
    handler->answer = false;
    server->pushBuffer(first->id(), server->name());
    const auto job = server->bufferJobId();
    server->pushBuffer(second->id(), server->name());
    server->pushBuffer(first->id(), server->name());
    EXPECT_EQ(server->bufferJobId(), job);
    EXPECT_NE(job, 0u);
    ASSERT_TRUE(eventually([&] { return server->received.values().size() == 3; }));
    const std::vector<std::pair<std::string, std::string>> expected{
        {first->id(), ""}, {second->id(), ""}, {first->id(), ""}};
    EXPECT_EQ(server->received.values(), expected);
    EXPECT_FALSE(server->busy());
}

// A server whose buffer job stops in receive until it is let go, so that notices pile up
// behind it.
class HeldServer : public KrTransceiverServerL0 {
public:
    explicit HeldServer(const KrServerSetup& setup) : KrTransceiverServerL0(setup) {}
    bool start() override { return true; }

    void receive(const std::string& /*connectionName*/,
                 const std::string& /*serverName*/) override {
        std::unique_lock lock(mutex_);
        ++received_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
    }

    bool waitForReceived(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return received_ >= count; });
    }

    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int received_ = 0;
    bool released_ = false;
};

// The receive job and the delivery thread sleep instead of looking for work while notices
// wait at a buffer job: the count must follow the queue, and must not outlive a server that
// ends with notices still queued, or those jobs would never look again.
TEST(BufferJob, CountsTheNoticesWaitingForItUntilTakenOrEnded) {
    kr::HandOverBacklog& backlog = kr::HandOverBacklog::process();
    ASSERT_FALSE(backlog.behind());
    // A request costs so much here that two waiting are behind.
    backlog.served(std::chrono::milliseconds(1));
    KrRarediScheduler2 scheduler;
    KrServerSetup setup;
    setup.scheduler = &scheduler;
    {
        auto server = kr::makeJob<HeldServer>(setup);
        server->pushBuffer("first", server->name());
        ASSERT_TRUE(server->waitForReceived(1));
        server->pushBuffer("second", server->name());
        EXPECT_FALSE(backlog.behind()) << "one waiting";
        server->pushBuffer("third", server->name());
        EXPECT_TRUE(backlog.behind()) << "two waiting";
        server->release();
        ASSERT_TRUE(server->waitForReceived(3));
        EXPECT_TRUE(eventually([&] { return !server->busy(); }));
        EXPECT_FALSE(backlog.behind());
    }
    {
        auto server = kr::makeJob<HeldServer>(setup);
        server->pushBuffer("first", server->name());
        ASSERT_TRUE(server->waitForReceived(1));
        server->pushBuffer("second", server->name());
        server->pushBuffer("third", server->name());
        ASSERT_TRUE(backlog.behind());
        std::thread letGo([&] {
            // Let go once the shutdown has begun: the job ends with two notices untaken.
            EXPECT_TRUE(eventually([&] { return server->bufferJobId() == 0; }));
            server->release();
        });
        server->shutdown();
        letGo.join();
        EXPECT_FALSE(backlog.behind()) << "the untaken notices count out with the job";
    }
}

TEST(HubShutdown, WithOpenConnectionsEndsEveryJobAndThread) {
    (void)KrCombinedTask::instance();  // its delivery thread lives as long as the process
    const std::size_t threadsBefore = threadCount();
    const std::int64_t jobsBefore = KrJob::liveCount();
    const std::uint32_t socketsBefore = KrSocketIPvx::objectCount();
    std::vector<std::unique_ptr<Client>> clients;
    {
        HubFixture fixture;
        const std::uint16_t port = fixture.listen();
        ASSERT_GT(port, 0);
        for (int i = 0; i < 8; ++i) {
            clients.push_back(std::make_unique<Client>());
            ASSERT_TRUE(clients.back()->connect(port));
            ASSERT_TRUE(clients.back()->send("hello"));
        }
        for (auto& client : clients) {
            ASSERT_EQ(client->receive(5), "hello");
        }
        const auto layer = fixture.layer();
        const std::vector<KrRarediScheduler2::JobId> jobs{
            fixture.hub->receiveJobId(), fixture.hub->sendJobId(), layer->listenerJobId(),
            layer->bufferJobId()};
        fixture.hub.reset();
        for (const auto job : jobs) {
            EXPECT_TRUE(fixture.scheduler.isFinished(job)) << job;
        }
    }
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitForClose());
    }
    clients.clear();
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(KrJob::liveCount(), jobsBefore);
    EXPECT_EQ(KrSocketIPvx::objectCount(), socketsBefore);
}

// A client of the hub's listener that has said its name: an echoed word, with which the test
// layer learnt the id of its connection.
struct NamedClient {
    Client client;
    std::string connectionId;
};

std::unique_ptr<NamedClient> connectNamed(HubFixture& fixture, std::uint16_t port,
                                          const std::string& word) {
    auto named = std::make_unique<NamedClient>();
    if (!named->client.connect(port) || !named->client.send(word) ||
        named->client.receive(word.size()) != word) {
        return nullptr;
    }
    std::pair<std::string, std::string> received;
    if (!fixture.layer()->received.waitFor([&](const auto& r) { return r.second == word; },
                                           &received)) {
        return nullptr;
    }
    named->connectionId = received.first;
    return named;
}

// Whether the client's connection still echoes.
bool echoes(Client& client, const std::string& word) {
    return client.send(word) && client.receive(word.size()) == word;
}

TEST_F(Hub, ARequestDeadlineClosesAConnectionWhoseBytesKeepComing) {
    const std::uint16_t port = listen();
    auto named = connectNamed(*this, port, "trickle");
    ASSERT_TRUE(named);
    const auto connection = hub->findConnection(named->connectionId);
    ASSERT_TRUE(connection);
    // Far earlier than the idle time, which every byte restarts: the hub must file the
    // connection anew under it.
    connection->setRequestDeadline(platform::steadyNanoseconds() + 200'000'000);
    EXPECT_TRUE(named->client.trickleUntilClosed("x", 50ms));
    EXPECT_TRUE(layer()->messages.waitFor([&](const KrJobMessage& m) {
        return m.type == KrJobMessage::kExpired && m.text == named->connectionId;
    }));
}

class CrowdedHub : public testing::Test, public HubFixture {
protected:
    CrowdedHub() : HubFixture({}, KrTransceiver::Limits{.connections = 2}) {}
};

TEST_F(CrowdedHub, AtTheLimitTheConnectionIdleLongestMakesRoom) {
    const std::uint16_t port = listen();
    auto first = connectNamed(*this, port, "first");
    auto second = connectNamed(*this, port, "second");
    ASSERT_TRUE(first && second);
    // The first connection was filed first, but is the last one active.
    ASSERT_TRUE(echoes(first->client, "again"));
    auto third = connectNamed(*this, port, "third");
    ASSERT_TRUE(third) << "a new connection gets in at the limit";
    EXPECT_TRUE(second->client.waitForClose());
    EXPECT_TRUE(echoes(first->client, "still"));
    EXPECT_EQ(hub->connectionCount(), 2u);
    EXPECT_TRUE(layer()->messages.waitFor([&](const KrJobMessage& m) {
        return m.type == KrJobMessage::kConnectionRemoved && m.text == second->connectionId;
    }));
}

TEST_F(CrowdedHub, ConnectionsInARequestOrOutgoingStayAndTheNewOneIsClosed) {
    const std::uint16_t port = listen();
    auto busy = connectNamed(*this, port, "busy");
    auto outgoing = connectNamed(*this, port, "outgoing");
    ASSERT_TRUE(busy && outgoing);
    const auto busyConnection = hub->findConnection(busy->connectionId);
    ASSERT_TRUE(busyConnection);
    busyConnection->setRequestInProgress(true);
    hub->findConnection(outgoing->connectionId)->markOutgoing();

    Client refused;
    ASSERT_TRUE(refused.connect(port));
    EXPECT_TRUE(refused.waitForClose()) << "no connection could make room";
    EXPECT_TRUE(echoes(busy->client, "busy"));
    EXPECT_TRUE(echoes(outgoing->client, "outgoing"));

    busyConnection->setRequestInProgress(false);
    auto admitted = connectNamed(*this, port, "admitted");
    ASSERT_TRUE(admitted);
    EXPECT_TRUE(busy->client.waitForClose());
    EXPECT_TRUE(echoes(outgoing->client, "again"));
    EXPECT_EQ(hub->connectionCount(), 2u);
}

// With a listener and an open connection but no traffic, every thread of the process
// sleeps without a time limit, except housekeeping, which runs once a second.
TEST_F(Hub, IdleMakesNoWakeUpsButHousekeeping) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    GTEST_SKIP() << "ThreadSanitizer's own thread wakes up periodically";
#endif
#endif
    const std::uint16_t port = listen();
    Client client;
    ASSERT_TRUE(client.connect(port));
    ASSERT_TRUE(client.send("warm up"));
    ASSERT_EQ(client.receive(7), "warm up");
    std::this_thread::sleep_for(200ms);

    const auto before = sleepsPerThread();
    std::this_thread::sleep_for(2s);
    const auto after = sleepsPerThread();
    long total = 0;
    int waking = 0;
    for (const auto& [tid, count] : after) {
        const auto old = before.find(tid);
        const long woken = count - (old != before.end() ? old->second : 0);
        total += woken;
        waking += woken > 0 ? 1 : 0;
    }
    EXPECT_GE(after.size(), 8u) << "delivery, scheduler, jobs and housekeeping threads";
    EXPECT_LE(waking, 1) << "only housekeeping wakes";
    EXPECT_LE(total, 3) << "housekeeping wakes once a second";
}

}  // namespace
