#include "net/KrURLHookService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TransceiverTestSupport.h"

namespace {

using namespace nettest;

// Holds the threads that pass it until it is opened.
class Gate {
public:
    void pass() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }

    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

    // Waits until a thread has come to the gate.
    bool waitUntilReached() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [this] { return waiting_ > 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int waiting_ = 0;
};

// A client-role worker that connects nowhere and keeps the messages handed to it. With a
// gate set, its start (a connect that does not return) or its shutdown (jobs that do not
// end) waits there.
class FakeWorker : public KrTransceiverServerL0 {
public:
    explicit FakeWorker(const KrServerSetup& setup) : KrTransceiverServerL0(setup) {}
    bool start() override {
        if (Gate* gate = startGate) {
            gate->pass();
        }
        return startResult;
    }
    void shutdown() override {
        if (Gate* gate = shutdownGate) {
            gate->pass();
        }
        KrTransceiverServerL0::shutdown();
        ++shutdowns;
    }
    bool handle(const std::string& /*connectionName*/,
                const std::shared_ptr<KrTransceiverMessage>& message) override {
        handled.add(message->id());
        return true;
    }
    std::string connectionName() const override { return "fake connection"; }

    std::atomic<bool> startResult{true};
    std::atomic<Gate*> startGate{nullptr};
    std::atomic<Gate*> shutdownGate{nullptr};
    std::atomic<int> shutdowns{0};
    Log<std::string> handled;
};

TEST(KrTransceiverServer, TheBaseStopOnlyPrintsAndAHubIsAttachedOnce) {
    KrRarediScheduler2 scheduler;
    KrServerSetup setup;
    setup.scheduler = &scheduler;
    auto server = kr::makeJob<FakeWorker>(setup);
    testing::internal::CaptureStdout();
    server->stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "KrTransceiverServer::stop()\n");

    KrJobInstance<KrTransceiver> firstHub(scheduler);
    KrJobInstance<KrTransceiver> secondHub(scheduler);
    KrTransceiver* first = &firstHub;
    KrTransceiver* second = &secondHub;
    EXPECT_TRUE(server->attachHub(first));
    EXPECT_FALSE(server->attachHub(second));
    server->detachHub(second);
    EXPECT_EQ(server->hub(), first) << "only the attached hub detaches itself";
    server->detachHub(first);
    EXPECT_TRUE(server->attachHub(second));
    server->detachHub(second);
}

// A job that keeps its messages; it stands for the request handler that the service is
// named after.
class Recipient : public KrJob {
public:
    Recipient() { registerJob("recipient"); }
    bool onMessage(const KrJobMessage& message) override {
        messages.add(message);
        return true;
    }
    Log<KrJobMessage> messages;
};

class URLHookService : public testing::Test {
protected:
    static constexpr std::uint32_t kMarkerType = 99;

    URLHookService()
        : hub(kr::makeUniqueJob<KrTransceiver>(scheduler)),
          service(kr::makeJob<KrURLHookService>(
              setup(), [this](const KrServerSetup& s) -> std::shared_ptr<FakeWorker> {
                  if (!buildWorkers) {
                      return nullptr;
                  }
                  auto worker = kr::makeJob<FakeWorker>(s);
                  worker->startResult = workersStart;
                  worker->startGate = startGate;
                  workers.add(worker);
                  return worker;
              })) {}

    ~URLHookService() override {
        gate.open();
        service->shutdown();
    }

    KrServerSetup setup() {
        KrServerSetup s;
        s.scheduler = &scheduler;
        s.hub = hub.get();
        s.name = recipient.id();
        s.secondText = "http://example.invalid:80";
        s.linkName = hub->id();
        s.typeName = "HTTP";
        return s;
    }

    // A request whose reply name is a name the recipient owns, as a handler's send makes.
    std::shared_ptr<TestMessage> request() {
        auto message = kr::makeJob<TestMessage>(kr::kProtocolHTTP, "example.invalid", 80);
        message->setMessageKind(KrTransceiverMessage::kRequest);
        message->setConnectionName(recipient.registerJob("send_" + message->id()));
        return message;
    }

    bool dispatch(const std::shared_ptr<KrTransceiverMessage>& message) {
        bool failed = true;
        EXPECT_EQ(service->dispatch(message, failed), message);
        return !failed;
    }

    // The worker built n-th (from 0), once it has been built.
    std::shared_ptr<FakeWorker> worker(std::size_t n) {
        EXPECT_TRUE(eventually([&] { return workers.values().size() > n; }));
        const auto all = workers.values();
        return n < all.size() ? all[n] : nullptr;
    }

    // Waits until the worker has been handed the message; by then it has started and
    // belongs to the hub.
    static bool handedTo(const std::shared_ptr<FakeWorker>& worker,
                         const KrTransceiverMessage& message) {
        return worker &&
               worker->handled.waitFor([&](const std::string& id) { return id == message.id(); });
    }

    // Posts a type-5 message for a worker's task as the hub does when it took an answer.
    void finishTask(const FakeWorker& worker) { hub->reportTaskDone(worker.id()); }

    // Posts a type-1 message for the worker as housekeeping does when it has expired.
    void expire(const std::string& workerId) {
        KrJobMessage expired;
        expired.type = KrJobMessage::kExpired;
        expired.text = workerId;
        hub->postTo(service->id(), expired);
    }

    // Posts a message to the recipient and waits until it arrives. The registry delivers in
    // posting order, so every message posted before it has been handled by then.
    bool deliveredSoFar() {
        KrJobMessage marker;
        marker.type = kMarkerType;
        marker.text = "marker " + std::to_string(++markers);
        hub->postTo(recipient.id(), marker);
        return recipient.messages.waitFor(
            [&](const KrJobMessage& m) { return m.type == kMarkerType && m.text == marker.text; });
    }

    // The tasks the recipient has been told are over.
    std::vector<std::string> toldTasks() const {
        std::vector<std::string> tasks;
        for (const KrJobMessage& m : recipient.messages.values()) {
            if (m.type == KrJobMessage::kPartnerLeft && m.parameters.contains("ctask")) {
                tasks.push_back(m.parameters.at("ctask"));
            }
        }
        return tasks;
    }

    Gate gate;  // first: the hub shuts the workers down, which may pass it
    KrRarediScheduler2 scheduler;
    std::unique_ptr<KrTransceiver> hub;
    KrJobInstance<Recipient> recipient;
    Log<std::shared_ptr<FakeWorker>> workers;
    bool buildWorkers = true;
    bool workersStart = true;
    Gate* startGate = nullptr;  // given to the workers built from now on
    int markers = 0;
    std::shared_ptr<KrURLHookService> service;
};

TEST_F(URLHookService, TheEleventhMessageWaitsForOneOfTenBusyWorkers) {
    std::vector<std::shared_ptr<TestMessage>> messages;
    for (int i = 0; i < 11; ++i) {
        messages.push_back(request());
        ASSERT_TRUE(dispatch(messages.back()));
    }
    EXPECT_EQ(service->workerCount(), KrURLHookService::kWorkerLimit);
    EXPECT_EQ(service->waitingCount(), 1u);
    EXPECT_EQ(service->load(), 11);
    for (std::size_t i = 0; i < KrURLHookService::kWorkerLimit; ++i) {
        const auto w = worker(i);
        ASSERT_TRUE(handedTo(w, *messages[i]));
        EXPECT_EQ(w->handled.values().size(), 1u);
        EXPECT_EQ(w->subscription(), messages[i]->connectionName());
        EXPECT_FALSE(w->serverRole());
        EXPECT_EQ(w->linkName(), service->id());
        EXPECT_EQ(w->description()->setting("hoststring", ""), "example.invalid");
        EXPECT_EQ(w->description()->setting("port", ""), "80");
        EXPECT_EQ(hub->findServer(w->id()), w);
    }
    EXPECT_EQ(workers.values().size(), KrURLHookService::kWorkerLimit);

    // The third worker's task is done: it takes the waiting message, and the handler is told
    // to leave the reply name of the finished one.
    finishTask(*worker(2));
    ASSERT_TRUE(handedTo(worker(2), *messages[10]));
    EXPECT_EQ(service->waitingCount(), 0u);
    EXPECT_EQ(service->load(), 10);
    KrJobMessage told;
    ASSERT_TRUE(recipient.messages.waitFor(
        [](const KrJobMessage& m) {
            return m.type == KrJobMessage::kPartnerLeft && m.parameters.contains("ctask");
        },
        &told));
    EXPECT_EQ(told.text, service->id());
    EXPECT_EQ(told.parameters.at("ctask"), messages[2]->connectionName());
}

TEST_F(URLHookService, AnIdleWorkerTakesTheNextMessage) {
    const auto first = request();
    ASSERT_TRUE(dispatch(first));
    ASSERT_TRUE(handedTo(worker(0), *first));
    finishTask(*worker(0));
    ASSERT_TRUE(eventually([&] { return service->load() == 0; })) << "one idle worker";
    const auto second = request();
    ASSERT_TRUE(dispatch(second));
    EXPECT_TRUE(handedTo(worker(0), *second));
    EXPECT_EQ(workers.values().size(), 1u) << "no new worker while one is idle";
}

TEST_F(URLHookService, ATaskThatIsNotInThePoolChangesNothing) {
    const auto first = request();
    ASSERT_TRUE(dispatch(first));
    ASSERT_TRUE(handedTo(worker(0), *first));
    KrJobMessage done;
    done.type = KrJobMessage::kTaskDone;
    done.parameters["ctask"] = "no such task";
    hub->postTo(service->id(), done);
    ASSERT_TRUE(deliveredSoFar());

    EXPECT_EQ(service->load(), 1) << "the one worker is still busy";
    EXPECT_EQ(service->workerCount(), 1u);
    EXPECT_EQ(service->waitingCount(), 0u);
    EXPECT_TRUE(toldTasks().empty());
    // The busy worker takes nothing more: the next message gets a worker of its own.
    const auto second = request();
    ASSERT_TRUE(dispatch(second));
    EXPECT_TRUE(handedTo(worker(1), *second));
    EXPECT_EQ(worker(0)->handled.values().size(), 1u);
}

TEST_F(URLHookService, AnExpiredWorkerIsDroppedAndReplacedByTheNextMessage) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(dispatch(request()));
    }
    expire(worker(4)->id());
    ASSERT_TRUE(eventually([&] { return service->workerCount() == 9; }));
    EXPECT_TRUE(eventually([&] { return worker(4)->shutdowns == 1; }));
    const auto next = request();
    ASSERT_TRUE(dispatch(next));
    EXPECT_EQ(service->workerCount(), 10u);
    EXPECT_EQ(service->waitingCount(), 0u);
    EXPECT_TRUE(handedTo(worker(10), *next));
}

TEST_F(URLHookService, FailsWithoutAMessageOrAWorker) {
    bool failed = false;
    EXPECT_EQ(service->dispatch(nullptr, failed), nullptr);
    EXPECT_TRUE(failed);

    buildWorkers = false;
    EXPECT_FALSE(dispatch(request()));
    EXPECT_EQ(service->workerCount(), 0u);
    EXPECT_EQ(service->load(), 0);
}

// A worker that cannot connect leaves the pool and is shut down; its sender is told that
// the task is over, and its place goes to the waiting message.
TEST_F(URLHookService, AWorkerThatCannotStartLeavesThePoolAndItsTaskEnds) {
    startGate = &gate;
    std::vector<std::shared_ptr<TestMessage>> messages;
    for (int i = 0; i < 11; ++i) {
        messages.push_back(request());
    }
    // Sent from a thread of its own, so that a dispatch that waits for a start cannot hold
    // up the test.
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        for (const auto& message : messages) {
            EXPECT_TRUE(dispatch(message));
        }
        sent = true;
    });
    const bool allSent = eventually([&] { return sent.load(); });
    EXPECT_TRUE(allSent) << "a dispatch waits for a start";
    if (allSent) {
        // Ten workers wait for their start, the eleventh message for a worker.
        startGate = nullptr;
        worker(9)->startResult = false;
    }
    gate.open();
    sender.join();
    ASSERT_TRUE(allSent);

    EXPECT_TRUE(handedTo(worker(10), *messages[10]));
    EXPECT_TRUE(eventually([&] { return worker(9)->shutdowns == 1; }));
    // The sender was told before the waiting message went out.
    ASSERT_TRUE(deliveredSoFar());
    EXPECT_EQ(toldTasks(), std::vector<std::string>{messages[9]->connectionName()});
    EXPECT_TRUE(worker(9)->handled.values().empty());
    EXPECT_EQ(service->workerCount(), KrURLHookService::kWorkerLimit);
    EXPECT_EQ(service->waitingCount(), 0u);
    EXPECT_EQ(hub->findServer(worker(9)->id()), nullptr);
}

// The registry has one delivery thread: while a worker connects, or waits for its jobs to
// end, messages for the service and for every other job must still arrive.
TEST_F(URLHookService, ASlowStartHoldsUpNoMessage) {
    startGate = &gate;
    const auto message = request();
    std::thread sender([&] { EXPECT_TRUE(dispatch(message)); });
    EXPECT_TRUE(gate.waitUntilReached());
    expire("no such worker");  // a message for the service
    EXPECT_TRUE(deliveredSoFar()) << "delivery waits for a connect";
    gate.open();
    sender.join();
    EXPECT_TRUE(handedTo(worker(0), *message));
}

TEST_F(URLHookService, ASlowShutdownHoldsUpNoMessage) {
    const auto message = request();
    ASSERT_TRUE(dispatch(message));
    ASSERT_TRUE(handedTo(worker(0), *message));
    worker(0)->shutdownGate = &gate;
    expire(worker(0)->id());
    EXPECT_TRUE(deliveredSoFar()) << "delivery waits for a worker's shutdown";
    gate.open();
    EXPECT_EQ(service->workerCount(), 0u);
    EXPECT_TRUE(eventually([&] { return worker(0)->shutdowns == 1; }));
}

// A worker of the test layer in the client role connects to a listener of the same hub;
// what the service hands it reaches the listening side.
TEST(URLHookServiceOverLoopback, AWorkerConnectsToTheTargetAndSendsTheMessage) {
    HubFixture fixture;
    const std::uint16_t port = fixture.listen();
    ASSERT_GT(port, 0);
    fixture.handler->answer = false;

    auto message = kr::makeJob<TestMessage>(kTestProtocol, "127.0.0.1", port);
    message->setMessageKind(KrTransceiverMessage::kRequest);
    message->body = "to another host";
    EXPECT_EQ(fixture.hub->sendMessage(fixture.handler.get(), message, nullptr, "reply"),
              message->id());
    std::pair<std::string, std::string> request;
    ASSERT_TRUE(fixture.handler->requests.waitFor(
        [](const auto& r) { return r.second == "to another host"; }, &request));
    EXPECT_EQ(fixture.hub->connectionCount(), 2u) << "the worker's and the accepted one";
}

// Housekeeping removes a client-role server once its timeout has passed and tells its link
// name, the service, which drops the worker; a listening server is never removed.
TEST(URLHookServiceOverLoopback, HousekeepingExpiresIdleWorkersButNotListeners) {
    HubFixture fixture(KrTransceiver::Timing{.serverTimeout = 50'000});
    fixture.listen();
    const auto listener = fixture.layer();
    ASSERT_TRUE(listener);
    Log<std::shared_ptr<FakeWorker>> workers;
    fixture.hub->setServerLayer(kr::kProtocolHTTP,
                                KrServerLayer{.typeName = "HTTP",
                                              .protocolText = "HTTP/HTTPS",
                                              .make = [&workers](const KrServerSetup& setup) {
                                                  auto worker = kr::makeJob<FakeWorker>(setup);
                                                  workers.add(worker);
                                                  return worker;
                                              }});
    auto message = kr::makeJob<TestMessage>(kr::kProtocolHTTP, "example.invalid", 80);
    message->setMessageKind(KrTransceiverMessage::kRequest);
    EXPECT_EQ(fixture.hub->sendMessage(fixture.handler.get(), message, nullptr, "reply"),
              message->id());
    ASSERT_EQ(workers.values().size(), 1u);
    const auto worker = workers.values()[0];
    // Handed the message, the worker has been started and given to the hub.
    ASSERT_TRUE(
        worker->handled.waitFor([&](const std::string& id) { return id == message->id(); }));
    EXPECT_TRUE(eventually([&] { return fixture.hub->findServer(worker->id()) == nullptr; }));
    EXPECT_GE(worker->shutdowns, 1) << "expired, not merely never added";
    EXPECT_EQ(fixture.hub->findServer(listener->id()), listener);
}

// A request to another host gets a URL hook service for http, nuxel and socket only. The
// server layers also answer for nuxels, as the hub's layer table does for listeners, but a
// request of that protocol (or of https) is refused before any worker is built.
TEST(URLHookServiceOverLoopback, OnlyHttpNuxelAndSocketRequestsGetAService) {
    const struct {
        std::uint32_t protocol;
        bool served;
    } cases[] = {
        {kr::kProtocolHTTP, true},    {kr::kProtocolHTTPS, false}, {kr::kProtocolNUXEL, true},
        {kr::kProtocolNUXELS, false}, {kr::kProtocolSocket, true},
    };
    Log<std::uint32_t> built;  // outlives the hub, whose layers write to it
    HubFixture fixture;
    for (const auto& c : cases) {
        fixture.hub->setServerLayer(
            c.protocol,
            KrServerLayer{.typeName = "fake",
                          .protocolText = "fake",
                          .make = [&built, protocol = c.protocol](const KrServerSetup& setup) {
                              built.add(protocol);
                              return kr::makeJob<FakeWorker>(setup);
                          }});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.protocol);
        const std::size_t before = built.values().size();
        auto message = kr::makeJob<TestMessage>(c.protocol, "127.0.0.1", 9);
        message->setMessageKind(KrTransceiverMessage::kRequest);
        testing::internal::CaptureStdout();
        EXPECT_EQ(fixture.hub->sendMessage(fixture.handler.get(), message, nullptr, "reply"),
                  message->id());
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.served ? "" : "unknown protocol!! (2)\n");
        const std::vector<std::uint32_t> after = built.values();
        EXPECT_EQ(after.size(), before + (c.served ? 1 : 0));
        if (c.served && after.size() > before) {
            EXPECT_EQ(after.back(), c.protocol);
        }
    }
}

TEST(URLHookServiceOverLoopback, ARemovedHandlerSendsNothing) {
    HubFixture fixture;
    fixture.hub->removeClient(*fixture.handler);
    auto message = kr::makeJob<TestMessage>(kTestProtocol, "127.0.0.1", 9);
    message->setMessageKind(KrTransceiverMessage::kRequest);
    EXPECT_EQ(fixture.hub->sendMessage(fixture.handler.get(), message, nullptr, "reply"),
              kr::commonErrorName());
}

}  // namespace
