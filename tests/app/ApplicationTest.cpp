#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "PageEnvironment.h"
#include "foundation/KrException.h"

namespace {

using apptest::getRequest;

// Shared with the contexts, which the application may delete after the test's fixture.
using Log = std::shared_ptr<std::vector<std::string>>;

// A page context that answers every path with its name and writes its life into a log.
class LoggedContext : public KrHTMLKontextN {
public:
    LoggedContext(KrNuxelApplication2* application, const std::string& sessionId,
                  KrSettingsMap* settings, std::string name, Log log)
        : KrHTMLKontextN(application, sessionId, true, "logged.html", settings),
          name_(std::move(name)),
          log_(std::move(log)) {}
    ~LoggedContext() override {
        log_->push_back("delete " + name_ + (isRunning() ? " while running" : ""));
    }

    // Every request on path runs hook after the context has answered with its name.
    void on(const std::string& path, std::function<void(KrXHeader&, KrXResponseHeader&)> hook) {
        setHook(path,
                [this, hook](KrXHeader& request, KrXResponseHeader& response, const std::string&) {
                    response.writeAnswer(name_);
                    log_->push_back("hook " + name_);
                    if (hook) {
                        hook(request, response);
                    }
                    log_->push_back("return " + name_);
                });
    }

    const std::string& name() const { return name_; }

private:
    std::string name_;
    Log log_;
};

class Sessions : public apptest::PageEnvironment {
protected:
    // A registered context under the identifier that answers "/" with its name.
    LoggedContext* add(const std::string& sessionId, const std::string& name) {
        auto context =
            std::make_unique<LoggedContext>(&application_, sessionId, &settings_, name, log_);
        context->on("/", nullptr);
        return static_cast<LoggedContext*>(application_.registerContext(std::move(context)));
    }

    std::unique_ptr<LoggedContext> make(const std::string& sessionId, const std::string& name) {
        return std::make_unique<LoggedContext>(&application_, sessionId, &settings_, name, log_);
    }

    // Names a new context, answering "/", as the successor of current in its session.
    void nameSuccessor(LoggedContext& current, const std::string& name,
                       KrXResponseHeader& response) {
        auto successor = make(current.sessionId(), name);
        successor->on("/", nullptr);
        response.setNextContext(current.sessionId(), successor.release());
    }

    // The body that a request for "/" in the session gets; "" and status 500 when nothing
    // answered.
    std::string dispatch(const std::string& sessionId, const std::string& path = "/") {
        const auto request = getRequest(path);
        const auto response = request->createAnswer();
        application_.dispatchToContext(sessionId, *request, *response, "");
        EXPECT_EQ(response->status(), response->body().str().empty() ? 500 : 200);
        return response->body().str();
    }

    Log log_ = std::make_shared<std::vector<std::string>>();
};

TEST_F(Sessions, AnIdentifierIsTheKeyNameAndEighteenRandomDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = application_.makeSessionId("nuxelid");
        ASSERT_EQ(id.size(), 25u) << id;
        EXPECT_EQ(id.rfind("nuxelid", 0), 0u) << id;
        EXPECT_TRUE(std::all_of(id.begin() + 7, id.end(), [](char c) { return std::isdigit(c); }))
            << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

// Draws the digits it is given, in order.
class ScriptedDigits : public KrNuxelApplication2 {
public:
    ScriptedDigits(KrPersistentAppStorage* storage, std::deque<std::string> digits)
        : KrNuxelApplication2(storage, {}, {}), digits_(std::move(digits)) {}

protected:
    std::string drawSessionDigits() override {
        std::string next = digits_.front();
        digits_.pop_front();
        return next;
    }

private:
    std::deque<std::string> digits_;
};

TEST_F(Sessions, AnIdentifierAlreadyRegisteredIsDrawnAgain) {
    ScriptedDigits application(&storage_,
                               {"000000000000000001", "000000000000000001", "000000000000000002"});
    application.registerContext(std::make_unique<KrHTMLKontextN>(
        &application, "nuxelid000000000000000001", true, "p", &settings_));
    EXPECT_EQ(application.makeSessionId("nuxelid"), "nuxelid000000000000000002");
}

TEST_F(Sessions, RegisteringNothingFilesNothing) {
    EXPECT_EQ(application_.registerContext(nullptr), nullptr);
    EXPECT_EQ(application_.contextCount(), 0u);
}

TEST_F(Sessions, ASecondContextUnderAnIdentifierReplacesAndDeletesTheFirst) {
    add("nuxelid1", "first");
    add("nuxelid1", "second");
    EXPECT_EQ(*log_, std::vector<std::string>{"delete first"});
    EXPECT_EQ(application_.contextCount(), 1u);
    EXPECT_EQ(dispatch("nuxelid1"), "second");
}

TEST_F(Sessions, ARequestForAnUnknownSessionLeavesTheAnswerUntouched) {
    add("nuxelid1", "first");
    EXPECT_EQ(dispatch("nuxelid2"), "");
    EXPECT_FALSE(application_.hasContext("nuxelid2"));
    EXPECT_TRUE(application_.hasContext("nuxelid1"));
}

TEST_F(Sessions, ASchemeSwitchReplacesTheContextOnceItsHookHasReturned) {
    LoggedContext* get = add("nuxelid1", "get");
    get->on("/playpost", [this, get](KrXHeader& request, KrXResponseHeader& response) {
        auto post = make(get->sessionId(), "post");
        post->on("/playpost", nullptr);
        post->handleRequest(request, response, "");
        response.setNextContext(get->sessionId(), post.release());
    });
    EXPECT_EQ(dispatch("nuxelid1", "/playpost"), "getpost");
    EXPECT_EQ(*log_, (std::vector<std::string>{"hook get", "hook post", "return post", "return get",
                                               "delete get"}));
    EXPECT_EQ(dispatch("nuxelid1", "/playpost"), "post");
    EXPECT_EQ(application_.contextCount(), 1u);
}

TEST_F(Sessions, ASuccessorNamedByANewSessionsFirstRequestIsTakenOver) {
    // The dispatch runs a new session's first request on the context directly.
    LoggedContext* get = add("nuxelid1", "get");
    get->on("/playpost", [this, get](KrXHeader&, KrXResponseHeader& response) {
        nameSuccessor(*get, "post", response);
    });
    const auto request = getRequest("/playpost");
    const auto response = request->createAnswer();
    get->handleRequest(*request, *response, "&new");
    EXPECT_EQ(response->nextContext(), nullptr);
    EXPECT_EQ(dispatch("nuxelid1"), "post");
    EXPECT_EQ(log_->back(), "delete get");
}

TEST_F(Sessions, ANextContextForAnotherSessionChangesNothingAndIsNotKept) {
    LoggedContext* get = add("nuxelid1", "get");
    get->on("/odd", [this](KrXHeader&, KrXResponseHeader& response) {
        response.setNextContext("nuxelid2", make("nuxelid2", "stray").release());
    });
    const auto request = getRequest("/odd");
    const auto response = request->createAnswer();
    application_.dispatchToContext("nuxelid1", *request, *response, "");
    EXPECT_EQ(log_->back(), "delete stray");
    EXPECT_EQ(response->nextContext(), nullptr);
    EXPECT_FALSE(application_.hasContext("nuxelid2"));
    EXPECT_EQ(dispatch("nuxelid1"), "get");
}

TEST_F(Sessions, AHookThatThrowsAfterNamingItsSuccessorStillHandsItOver) {
    LoggedContext* get = add("nuxelid1", "get");
    get->on("/playpost", [this, get](KrXHeader&, KrXResponseHeader& response) {
        nameSuccessor(*get, "post", response);
        throw KrException("hook failed", 1, "src");
    });
    const auto request = getRequest("/playpost");
    const auto response = request->createAnswer();
    EXPECT_THROW(application_.dispatchToContext("nuxelid1", *request, *response, ""), KrException);
    EXPECT_EQ(log_->back(), "delete get");
    EXPECT_EQ(dispatch("nuxelid1"), "post");
}

TEST_F(Sessions, ANewSessionEvictsTheLeastRecentlyUsedOne) {
    application_.setSessionLimit(2);
    add("nuxelidA", "A");
    add("nuxelidB", "B");
    dispatch("nuxelidB");
    dispatch("nuxelidA");  // B is now the least recently used
    add("nuxelidC", "C");
    EXPECT_EQ(log_->back(), "delete B");
    EXPECT_EQ(application_.contextCount(), 2u);
    EXPECT_EQ(dispatch("nuxelidB"), "");
    EXPECT_EQ(dispatch("nuxelidA"), "A");
}

TEST_F(Sessions, SessionsOverALoweredLimitGoLeastRecentlyUsedFirst) {
    for (const char* name : {"A", "B", "C", "D"}) {
        add(std::string("nuxelid") + name, name);
        dispatch(std::string("nuxelid") + name);
    }
    dispatch("nuxelidA");
    add("nuxelidC", "C2");  // a context filed anew counts as used
    dispatch("nuxelidC");
    log_->clear();
    application_.setSessionLimit(2);
    add("nuxelidE", "E");  // the new one stays, and of the others the most recently used
    EXPECT_EQ(*log_, (std::vector<std::string>{"delete B", "delete D", "delete A"}));
    EXPECT_EQ(application_.contextCount(), 2u);
    dispatch("nuxelidE");
    add("nuxelidF", "F");
    EXPECT_EQ(log_->back(), "delete C2");
    EXPECT_EQ(dispatch("nuxelidE"), "E");
}

TEST_F(Sessions, ASessionThatHasNotAnsweredItsFirstRequestIsNotEvicted) {
    // Between its making and its first answer the dispatch holds the new context.
    application_.setSessionLimit(2);
    add("nuxelidA", "A");
    add("nuxelidB", "B");
    add("nuxelidC", "C");
    EXPECT_EQ(application_.contextCount(), 3u);
    EXPECT_TRUE(log_->empty());
    dispatch("nuxelidA");
    add("nuxelidD", "D");
    EXPECT_EQ(*log_, (std::vector<std::string>{"hook A", "return A", "delete A"}));
    EXPECT_EQ(application_.contextCount(), 3u);
}

TEST_F(Sessions, AContextIsNotDeletedWhileItsHookRuns) {
    application_.setSessionLimit(1);
    LoggedContext* a = add("nuxelidA", "A");
    a->on("/spawn", [this](KrXHeader&, KrXResponseHeader&) {
        add("nuxelidB", "B");   // over the limit: A runs, B has not answered yet
        dispatch("nuxelidB");   // now B may go
        add("nuxelidA", "A2");  // replaces A, which is running, and evicts B
    });
    EXPECT_EQ(dispatch("nuxelidA", "/spawn"), "A");
    EXPECT_EQ(*log_, (std::vector<std::string>{"hook A", "hook B", "return B", "delete B",
                                               "return A", "delete A"}));
    EXPECT_EQ(dispatch("nuxelidA"), "A2");
}

TEST_F(Sessions, DeletingTheApplicationDeletesEveryContext) {
    const Log log = std::make_shared<std::vector<std::string>>();
    {
        KrNuxelApplication2 application(&storage_, {}, {});
        for (const char* id : {"nuxelid2", "nuxelid1", "nuxelid3"}) {
            application.registerContext(
                std::make_unique<LoggedContext>(&application, id, &settings_, id, log));
        }
    }
    EXPECT_EQ(*log,
              (std::vector<std::string>{"delete nuxelid1", "delete nuxelid2", "delete nuxelid3"}));
}

class BuiltInFiles : public apptest::PageEnvironment {
protected:
    std::string served(const std::string& name) {
        const auto response = getRequest("/" + name)->createAnswer();
        EXPECT_TRUE(application_.serveBuiltInFile(name, *response));
        EXPECT_EQ(response->status(), 200);
        EXPECT_EQ(response->state(), KrXHeader::kStateAnswerReady);
        return response->body().str();
    }
};

TEST_F(BuiltInFiles, TextFilesAreServedTemplateExpanded) {
    storage_.setTemplateVariable("bg", "#F0F0F0");
    addBuiltInFile("spiele.css", "body { background: [[bg]]; }", 3);
    addBuiltInFile("spiele.html", "<p>[[bg]]</p>", 1);
    addBuiltInFile("notes.txt", "[[bg]]", 2);
    EXPECT_EQ(served("spiele.css"), "body { background: #F0F0F0; }");
    EXPECT_EQ(served("spiele.html"), "<p>#F0F0F0</p>");
    EXPECT_EQ(served("notes.txt"), "[[bg]]");
}

TEST_F(BuiltInFiles, BinaryFilesAreServedAsTheirBytes) {
    // "[[x]]" followed by a zero byte and 0xFF, in Base64.
    addBuiltInFile("kreuz.png", "W1t4XV0A/w==", 4);
    EXPECT_EQ(served("kreuz.png"), std::string("[[x]]\0\xFF", 7));
    EXPECT_TRUE(application_.hasBuiltInFile("kreuz.png"));
}

TEST_F(BuiltInFiles, AMissingFileIsAnEmptyAnswer) {
    EXPECT_FALSE(application_.hasBuiltInFile("nothere.png"));
    EXPECT_EQ(served("nothere.png"), "");
}

}  // namespace
