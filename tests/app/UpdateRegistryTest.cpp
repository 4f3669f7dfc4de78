#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PageEnvironment.h"
#include "app/KrUpdateRegistry.h"

namespace {

using apptest::run;

std::string answerPage(const std::string& fim, const std::string& time, const std::string& ref) {
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n</head>\n<body>\n"
           "<div feskofim=\"" +
           fim + "\" feskoref=\"" + ref + "\" feskoupdatetime=\"" + time +
           "\" id=\"novidade\"></div>\n</body>\n</html>";
}

class UpdateChannel : public apptest::PageEnvironment {
protected:
    void SetUp() override {
        context_ =
            contextWithPage("<!DOCTYPE html>\n<html><head></head><body><p>page</p></body></html>");
    }

    std::string poll(const std::string& query) {
        const auto exchange = run(*context_, "/?nuxelcommand=feskoupdate&" + query, "feskoupdate");
        EXPECT_EQ(exchange.status(), 200);
        return exchange.body();
    }

    KrUpdateRegistry& updates() { return context_->updateRegistry(); }

    std::unique_ptr<KrHTMLKontextN> context_;
};

TEST_F(UpdateChannel, APollWithoutACallbackIsToldToStop) {
    EXPECT_EQ(poll("reference=clock"), answerPage("sim", "500", "_none_"));
    EXPECT_EQ(poll("x=1"), answerPage("sim", "500", "_none_"));
}

TEST_F(UpdateChannel, APollWithoutAReferenceAsksForNoReference) {
    std::vector<std::string> asked;
    updates().setCallback("_none_", [&](const std::string& reference) {
        asked.push_back(reference);
        return 100;
    });
    EXPECT_EQ(poll("x=1"), answerPage("nao", "100", "_none_"));
    EXPECT_EQ(asked, std::vector<std::string>{"_none_"});
}

TEST_F(UpdateChannel, TheCallbacksDelaySetsTheNextPoll) {
    updates().setCallback("clock", [](const std::string&) { return 250; });
    EXPECT_EQ(poll("reference=clock"), answerPage("nao", "250", "clock"));
    EXPECT_EQ(poll("reference=clock"), answerPage("nao", "250", "clock"));
}

TEST_F(UpdateChannel, ADelayBelowOneEndsPollingForTheReference) {
    for (const std::int64_t delay : {0, -1, -500}) {
        updates().setCallback("clock", [delay](const std::string&) { return delay; });
        EXPECT_EQ(poll("reference=clock"), answerPage("sim", "500", "clock")) << delay;
        // The callback is gone: the next poll gets the default answer.
        EXPECT_EQ(poll("reference=clock"), answerPage("sim", "500", "_none_")) << delay;
    }
}

TEST_F(UpdateChannel, ACallbackMayUseTheRegistryItRunsUnder) {
    updates().setCallback("once", [this](const std::string& reference) {
        updates().setCallback(reference, [](const std::string&) { return 0; });
        return 40;
    });
    EXPECT_EQ(poll("reference=once"), answerPage("nao", "40", "once"));
    EXPECT_EQ(poll("reference=once"), answerPage("sim", "500", "once"));
    EXPECT_EQ(poll("reference=once"), answerPage("sim", "500", "_none_"));
}

TEST_F(UpdateChannel, OtherCommandsOnTheRootGetThePage) {
    for (const char* command : {"&new", "", "feskoupdat", "feskoupdatex", "FESKOUPDATE"}) {
        const auto exchange = run(*context_, "/?reference=clock", command);
        EXPECT_EQ(exchange.status(), 200) << command;
        EXPECT_EQ(exchange.body(), context_->render()) << command;
    }
}

TEST_F(UpdateChannel, AnAnswerLivesOnlyBetweenOpeningAndTaking) {
    const auto request = apptest::getRequest("/?reference=r");
    EXPECT_EQ(updates().takeAnswer("r"), "");
    EXPECT_EQ(updates().openAnswer(*request, "reference"), "r");
    updates().setNextUpdate("r", 75);
    EXPECT_EQ(updates().takeAnswer("r"), answerPage("nao", "75", "_none_"));
    EXPECT_EQ(updates().takeAnswer("r"), "");
    EXPECT_EQ(updates().runCallback("r"), KrUpdateRegistry::kNoCallback);
    EXPECT_FALSE(updates().markReference("r"));
}

}  // namespace
