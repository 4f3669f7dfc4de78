#include "game/ApplicationFactory.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/KrAppViewportBase.h"
#include "app/KrNuxelApplication2.h"
#include "foundation/KrException.h"
#include "game/KrHTMLKontext_Game_Get.h"
#include "game/KrSpielApp.h"
#include "game/ProgramEntry.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

TEST(ApplicationFactory, TheHostHasTheGamesNamesAndAFilledStorage) {
    const std::unique_ptr<KrAppViewportBase> host = kr::createViewport(0, nullptr, true);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->appName(true), "XGridlo");
    EXPECT_EQ(host->appName(false), "Gridlo");
    ASSERT_NE(host->storage(), nullptr);
    EXPECT_EQ(host->storage()->builtInFiles().size(), 8u);
    std::string text = "[[NUXELFRAMEWORK]]";
    host->storage()->expandTemplate(text, "");
    EXPECT_EQ(text, "1.28.1");
    EXPECT_EQ(host->application(), nullptr);
}

TEST(ApplicationFactory, PrintsTheBannerAndBuildsTheGameOnTheHostsStorage) {
    for (const bool windowed : {true, false}) {
        SCOPED_TRACE(windowed);
        const std::unique_ptr<KrAppViewportBase> host = kr::createViewport(0, nullptr, windowed);
        testing::internal::CaptureStdout();
        std::unique_ptr<KrNuxelApplication2> application =
            kr::makeApplication(host.get(), windowed);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Fesko++ 1.6.0 based on NuxelFrame 1.28.1 release#: 96\nApp Constructed\n");
        ASSERT_NE(dynamic_cast<KrSpielApp*>(application.get()), nullptr);
        EXPECT_EQ(application->storage(), host->storage());
        EXPECT_EQ(application->settings(),
                  (KrNuxelApplication2::Settings{{"startpath", "."},
                                                 {"_app_context_commandurl", "/"},
                                                 {"_baseDirectoryHTTP", "."}}));
        // Every new session starts with the game's GET page.
        KrHTMLKontextN* context = application->createContext("nuxelid");
        ASSERT_NE(dynamic_cast<KrHTMLKontext_Game_Get*>(context), nullptr);
        EXPECT_NE(context->render().find("Online-Game (GET)"), std::string::npos);
    }
}

TEST(ProgramEntry, TheBodysResultIsTheExitCode) {
    EXPECT_EQ(kr::runProgram([] { return 0; }), 0);
    EXPECT_EQ(kr::runProgram([] { return 7; }), 7);
}

TEST(ProgramEntry, AnEscapingExceptionIsPrintedOnStandardErrorAndGivesOne) {
    struct Case {
        std::function<int()> body;
        const char* printed;
    } cases[] = {
        {[]() -> int { throw KrException("can't initialise instance", 1, "src"); },
         "can't initialise instance\n"},
        {[]() -> int { throw std::runtime_error("out of luck"); }, "out of luck\n"},
        {[]() -> int { throw 42; }, "an exception without a text ended the program\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(kr::runProgram(c.body), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
    }
}

}  // namespace
