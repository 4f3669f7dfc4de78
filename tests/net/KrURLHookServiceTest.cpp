#include "net/KrURLHookService.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TransceiverTestSupport.h"

namespace {

using namespace nettest;

// A client-role worker that connects nowhere and keeps the messages handed to it.
class FakeWorker : public KrTransceiverServerL0 {
public:
    explicit FakeWorker(const KrServerSetup& setup) : KrTransceiverServerL0(setup) {}
    bool start() override { return startResult; }
    bool handle(const std::string& /*connectionName*/,
                const std::shared_ptr<KrTransceiverMessage>& message) override {
        handled.add(message->id());
        return true;
    }
    std::string connectionName() const override { return "fake connection"; }

    bool startResult = true;
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
    URLHookService()
        : hub(kr::makeUniqueJob<KrTransceiver>(scheduler)),
          service(kr::makeJob<KrURLHookService>(setup(), [this](const KrServerSetup& s) {
              auto worker = kr::makeJob<FakeWorker>(s);
              workers.push_back(worker);
              worker->startResult = workersStart;
              return worker;
          })) {}

    ~URLHookService() override { service->shutdown(); }

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

    // Posts a type-5 message for a worker's task as the hub does when it took an answer.
    void finishTask(const FakeWorker& worker) { hub->reportTaskDone(worker.id()); }

    KrRarediScheduler2 scheduler;
    std::unique_ptr<KrTransceiver> hub;
    KrJobInstance<Recipient> recipient;
    std::vector<std::shared_ptr<FakeWorker>> workers;
    bool workersStart = true;
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
    ASSERT_EQ(workers.size(), 10u);
    for (std::size_t i = 0; i < workers.size(); ++i) {
        EXPECT_EQ(workers[i]->handled.values(), std::vector<std::string>{messages[i]->id()});
        EXPECT_EQ(workers[i]->subscription(), messages[i]->connectionName());
        EXPECT_FALSE(workers[i]->serverRole());
        EXPECT_EQ(workers[i]->linkName(), service->id());
        EXPECT_EQ(workers[i]->description()->setting("hoststring", ""), "example.invalid");
        EXPECT_EQ(workers[i]->description()->setting("port", ""), "80");
        EXPECT_EQ(hub->findServer(workers[i]->id()), workers[i]);
    }

    // The third worker's task is done: it takes the waiting message, and the handler is told
    // to leave the reply name of the finished one.
    finishTask(*workers[2]);
    ASSERT_TRUE(workers[2]->handled.waitFor(
        [&](const std::string& id) { return id == messages[10]->id(); }));
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
    ASSERT_EQ(workers.size(), 1u);
    finishTask(*workers[0]);
    ASSERT_TRUE(eventually([&] { return service->load() == 0; })) << "one idle worker";
    ASSERT_TRUE(dispatch(request()));
    EXPECT_EQ(workers.size(), 1u) << "no new worker while one is idle";
    EXPECT_EQ(workers[0]->handled.values().size(), 2u);
}

TEST_F(URLHookService, ATaskThatIsNotInThePoolChangesNothing) {
    ASSERT_TRUE(dispatch(request()));
    KrJobMessage done;
    done.type = KrJobMessage::kTaskDone;
    done.parameters["ctask"] = "no such task";
    hub->postTo(service->id(), done);
    KrJobMessage marker;
    hub->postTo(service->id(), marker);
    ASSERT_TRUE(eventually([&] { return service->load() == 1; }));
    EXPECT_EQ(service->workerCount(), 1u);
    EXPECT_EQ(service->waitingCount(), 0u);
}

TEST_F(URLHookService, AnExpiredWorkerIsDroppedAndReplacedByTheNextMessage) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(dispatch(request()));
    }
    KrJobMessage expired;
    expired.type = KrJobMessage::kExpired;
    expired.text = workers[4]->id();
    hub->postTo(service->id(), expired);
    ASSERT_TRUE(eventually([&] { return service->workerCount() == 9; }));
    ASSERT_TRUE(dispatch(request()));
    EXPECT_EQ(service->workerCount(), 10u);
    EXPECT_EQ(workers.size(), 11u);
    EXPECT_EQ(service->waitingCount(), 0u);
}

TEST_F(URLHookService, FailsWithoutAMessageOrWhenAWorkerCannotStart) {
    bool failed = false;
    EXPECT_EQ(service->dispatch(nullptr, failed), nullptr);
    EXPECT_TRUE(failed);

    workersStart = false;
    EXPECT_FALSE(dispatch(request()));
    EXPECT_EQ(service->workerCount(), 0u);
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
    Log<std::string> workerIds;
    fixture.hub->setServerLayer(kr::kProtocolHTTP,
                                KrServerLayer{.typeName = "HTTP",
                                              .protocolText = "HTTP/HTTPS",
                                              .make = [&workerIds](const KrServerSetup& setup) {
                                                  auto worker = kr::makeJob<FakeWorker>(setup);
                                                  workerIds.add(worker->id());
                                                  return worker;
                                              }});
    auto message = kr::makeJob<TestMessage>(kr::kProtocolHTTP, "example.invalid", 80);
    message->setMessageKind(KrTransceiverMessage::kRequest);
    EXPECT_EQ(fixture.hub->sendMessage(fixture.handler.get(), message, nullptr, "reply"),
              message->id());
    ASSERT_EQ(workerIds.values().size(), 1u);
    const std::string worker = workerIds.values()[0];
    ASSERT_TRUE(fixture.hub->findServer(worker));
    EXPECT_TRUE(eventually([&] { return fixture.hub->findServer(worker) == nullptr; }));
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
