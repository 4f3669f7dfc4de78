#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>

#include "../net/TransceiverTestSupport.h"
#include "PageEnvironment.h"

namespace {

using nettest::Client;
using nettest::eventually;

// An application whose sessions answer "/" with their identifier and can switch to a
// successor on "/switch".
class GreetingApp : public KrNuxelApplication2 {
public:
    GreetingApp(KrPersistentAppStorage* storage, Settings settings)
        : KrNuxelApplication2(storage, {{"127.0.0.1", 0, 3}}, std::move(settings)) {}

    KrHTMLKontextN* createContext(const std::string& keyName) override {
        return registerContext(makeContext(makeSessionId(keyName), "hello"));
    }

private:
    std::unique_ptr<KrHTMLKontextN> makeContext(const std::string& sessionId,
                                                const std::string& greeting) {
        auto context =
            std::make_unique<KrHTMLKontextN>(this, sessionId, true, "greeting", sharedSettings());
        KrHTMLKontextN* page = context.get();
        page->setHook(
            "/", [page, greeting](KrXHeader&, KrXResponseHeader& response, const std::string&) {
                response.writeAnswer(greeting + " " + page->sessionId());
            });
        page->setHook("/switch",
                      [this, page, greeting](KrXHeader& request, KrXResponseHeader& response,
                                             const std::string&) {
                          if (greeting == "switched") {
                              // The successor answers the switch that made it.
                              response.writeAnswer(greeting + " " + page->sessionId());
                              return;
                          }
                          auto next = makeContext(page->sessionId(), "switched");
                          next->handleRequest(request, response, "");
                          response.setNextContext(page->sessionId(), next.release());
                      });
        return context;
    }
};

struct Answer {
    int status = 0;
    std::string body;
};

class Network : public ::testing::Test {
protected:
    void SetUp() override {
        application_ = std::make_unique<GreetingApp>(
            &storage_, KrNuxelApplication2::Settings{{"no_browser_popup", "1"},
                                                     {"_app_context_commandurl", "/"},
                                                     {"_baseDirectoryHTTP", ""}});
        application_->start();
        ASSERT_TRUE(eventually([&] { return application_->settings().contains("tcp_port_http"); }));
        port_ =
            static_cast<std::uint16_t>(std::stoul(application_->settings().at("tcp_port_http")));
    }

    Answer get(const std::string& target) {
        Client client;
        EXPECT_TRUE(client.connect(port_));
        EXPECT_TRUE(client.send("GET " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
        const std::string wire = client.receive(std::numeric_limits<std::size_t>::max());
        Answer answer;
        if (wire.size() > 12) {
            answer.status = std::stoi(wire.substr(9, 3));
        }
        const auto bodyAt = wire.find("\r\n\r\n");
        if (bodyAt != std::string::npos) {
            answer.body = wire.substr(bodyAt + 4);
        }
        return answer;
    }

    // A new session's identifier, from its first answer.
    std::string newSession() {
        const Answer first = get("/");
        EXPECT_EQ(first.status, 200);
        EXPECT_EQ(first.body.rfind("hello nuxelid", 0), 0u) << first.body;
        return first.body.substr(first.body.find(' ') + 1);
    }

    KrPersistentAppStorage storage_;
    std::unique_ptr<GreetingApp> application_;
    std::uint16_t port_ = 0;
};

TEST_F(Network, TheListenerIsRecordedWhereItIsBound) {
    EXPECT_NE(port_, 0);
    EXPECT_EQ(application_->settings().at("tcp_address_http"), "127.0.0.1");
}

TEST_F(Network, ANewSessionOnTheCommandUrlIsReachedByItsIdentifier) {
    const std::string session = newSession();
    EXPECT_EQ(session.size(), 25u);
    const Answer again = get("/?nuxelid=" + session);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, "hello " + session);
    EXPECT_EQ(application_->contextCount(), 1u);
}

TEST_F(Network, AnEvictedSessionGetsTheNotFoundPage) {
    application_->setSessionLimit(1);
    const std::string first = newSession();
    const std::string second = newSession();
    EXPECT_EQ(get("/?nuxelid=" + first).status, 404);
    EXPECT_EQ(get("/?nuxelid=" + second).body, "hello " + second);
}

TEST_F(Network, ASchemeSwitchHandsTheSessionToItsNewContext) {
    const std::string session = newSession();
    const Answer switched = get("/switch?nuxelid=" + session);
    EXPECT_EQ(switched.status, 200);
    EXPECT_EQ(switched.body, "switched " + session);
    EXPECT_EQ(get("/?nuxelid=" + session).body, "switched " + session);
    EXPECT_EQ(application_->contextCount(), 1u);
}

TEST_F(Network, ShutdownDoesNotWaitForOpenConnections) {
    newSession();
    Client idle;
    ASSERT_TRUE(idle.connect(port_));
    ASSERT_TRUE(idle.send("GET /?nuxelid=x HTTP/1.1\r\nHost: 127"));  // never completed
    application_->shutdown();
    application_.reset();
    EXPECT_TRUE(idle.waitForClose());
}

}  // namespace
