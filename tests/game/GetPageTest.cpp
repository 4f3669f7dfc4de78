#include "game/KrHTMLKontext_Game_Get.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GameEnvironment.h"

namespace {

using gametest::get;
using gametest::markupById;
using gametest::pictureOf;

class GetPage : public gametest::GameEnvironment {
protected:
    // Plays the clicks through the cells' hooks; the last answer.
    gametest::Exchange click(KrHTMLKontext_Game_Get& page, const std::vector<std::string>& keys) {
        gametest::Exchange last;
        for (const std::string& key : keys) {
            last = get(page, "/f" + key + "?nuxelid=" + std::string(kSession));
            EXPECT_EQ(last.status(), 200) << key;
            EXPECT_EQ(last.body(), page.render()) << key;
        }
        return last;
    }
};

TEST_F(GetPage, ANewSessionGetsAGetPageUnderANewIdentifier) {
    KrHTMLKontextN* context = application_.createContext("nuxelid");
    ASSERT_NE(context, nullptr);
    const std::string id = context->sessionId();
    EXPECT_EQ(id.size(), 25u);
    EXPECT_EQ(id.rfind("nuxelid", 0), 0u);
    EXPECT_TRUE(application_.hasContext(id));
    ASSERT_NE(dynamic_cast<KrHTMLKontext_Game_Get*>(context), nullptr);

    // The session's first request: "/" with the command "&new".
    const auto first = gametest::run(*context, apptest::getRequest("/"), "&new");
    EXPECT_EQ(first.status(), 200);
    const std::string page = first.body();
    EXPECT_NE(page.find("<title>Online-Game (GET) - Framework NuxelFrame</title>"),
              std::string::npos);
    EXPECT_NE(page.find("nuxelid=\"" + id + "\";"), std::string::npos);
    EXPECT_EQ(pictureOf(*context->document()), ".../.../...");
    // A second session gets another identifier and a page of its own.
    KrHTMLKontextN* second = application_.createContext("nuxelid");
    EXPECT_NE(second->sessionId(), id);
    EXPECT_EQ(application_.contextCount(), 2u);
}

TEST_F(GetPage, AClickMarksTheCellWithXAndTheProgramsAnswerWithO) {
    auto page = newPage<KrHTMLKontext_Game_Get>();
    const std::string heading = markupById(*page->document(), "restart");
    click(*page, {"11"});
    EXPECT_EQ(markupById(*page->document(), "i11"),
              "<img alt=\"\" height=\"50\" id=\"i11\" onclick=\"Spielkommando('f11')\" "
              "src=\"kreuz.png\" width=\"50\" />");
    EXPECT_EQ(markupById(*page->document(), "i23"),
              "<img alt=\"\" height=\"50\" id=\"i23\" onclick=\"Spielkommando('f23')\" "
              "src=\"kreis.png\" width=\"50\" />");
    EXPECT_EQ(pictureOf(*page->document()), "X../..O/...");
    // The game runs on: the heading still offers the restart.
    EXPECT_EQ(markupById(*page->document(), "restart"), heading);
    EXPECT_NE(heading.find("<u>Restart Game</u>"), std::string::npos) << heading;
}

TEST_F(GetPage, AClickOnATakenCellChangesNoImageButIsAnsweredAgain) {
    auto page = newPage<KrHTMLKontext_Game_Get>();
    click(*page, {"11"});
    const std::string before = page->render();
    const auto again = click(*page, {"11"});
    EXPECT_EQ(again.body(), before);
    EXPECT_EQ(page->board().moveCount(), 2);
}

// Whole games to their end: the board shown, and the result link that replaces the restart
// link in the "restart" heading.
TEST_F(GetPage, AnEndedGameShowsItsResultInTheRestartHeading) {
    for (const gametest::Ending& c : gametest::kEndings) {
        SCOPED_TRACE(c.result);
        auto page = newPage<KrHTMLKontext_Game_Get>();
        click(*page, c.clicks);
        EXPECT_EQ(pictureOf(*page->document()), c.picture);
        EXPECT_EQ(pictureOf(page->board()), c.picture);
        const std::string heading =
            "<th id=\"restart\" onclick=\"Spielkommando('NeuStarten')\">\n"
            "<a href=\"#\" id=\"NeuStarten\">" +
            std::string(c.result) + "</a>\n</th>";
        EXPECT_EQ(markupById(*page->document(), "restart"), heading);

        // Clicks after the end change no image; the result link is put in again, once.
        click(*page, {"31", "32", "33", "21"});
        EXPECT_EQ(pictureOf(*page->document()), c.picture);
        EXPECT_EQ(markupById(*page->document(), "restart"), heading);
    }
}

TEST_F(GetPage, RestartBringsBackTheCleanPageAndAnEmptyBoard) {
    auto page = newPage<KrHTMLKontext_Game_Get>();
    const std::string clean = page->render();
    click(*page, {"11", "12", "21"});
    const auto restarted = get(*page, "/NeuStarten?nuxelid=" + std::string(kSession));
    EXPECT_EQ(restarted.status(), 200);
    EXPECT_EQ(restarted.body(), clean);
    EXPECT_EQ(pictureOf(page->board()), ".../.../...");
    EXPECT_EQ(page->board().moveCount(), 0);
    // The hooks work on the new page.
    click(*page, {"22"});
    EXPECT_EQ(pictureOf(*page->document()), "..O/.X./...");
}

// A move changes the document the page holds now: after it was loaded again, by the restart
// or by loadPage itself, never the one it replaced.
TEST_F(GetPage, AMoveAfterTheDocumentWasLoadedAgainChangesTheNewOne) {
    const gametest::Ending& ending = gametest::kEndings[0];
    const std::string heading =
        "<th id=\"restart\" onclick=\"Spielkommando('NeuStarten')\">\n"
        "<a href=\"#\" id=\"NeuStarten\">" +
        std::string(ending.result) + "</a>\n</th>";

    auto restarted = newPage<KrHTMLKontext_Game_Get>();
    click(*restarted, ending.clicks);
    get(*restarted, "/NeuStarten?nuxelid=" + std::string(kSession));
    click(*restarted, ending.clicks);
    EXPECT_EQ(pictureOf(*restarted->document()), ending.picture);
    EXPECT_EQ(markupById(*restarted->document(), "restart"), heading);

    // Loaded again behind the game's back: the board has ended, so the next click only puts
    // the result in, into the new document.
    auto reloaded = newPage<KrHTMLKontext_Game_Get>();
    click(*reloaded, ending.clicks);
    ASSERT_TRUE(reloaded->loadPage(std::string(KrHTMLKontext_Game_Get::kPageFile),
                                   storage_.builtInFiles()));
    click(*reloaded, {"11"});
    EXPECT_EQ(pictureOf(*reloaded->document()), ".../.../...");
    EXPECT_EQ(markupById(*reloaded->document(), "restart"), heading);
}

TEST_F(GetPage, ThePagePathsAnswerWithTheCurrentPageUnchanged) {
    auto page = newPage<KrHTMLKontext_Game_Get>();
    click(*page, {"22"});
    const std::string current = page->render();
    for (const char* path : {"/", "/game_get.html", "/playget"}) {
        const auto answer = get(*page, std::string(path) + "?nuxelid=" + kSession);
        EXPECT_EQ(answer.status(), 200) << path;
        EXPECT_EQ(answer.body(), current) << path;
    }
    EXPECT_EQ(page->board().moveCount(), 1);
}

TEST_F(GetPage, AnUnknownPathIsNotAnswered) {
    auto page = newPage<KrHTMLKontext_Game_Get>();
    for (const char* path : {"/f10", "/f34", "/f1", "/neustarten", "/game_post.html"}) {
        EXPECT_EQ(get(*page, path).status(), 500) << path;
    }
    EXPECT_EQ(page->board().moveCount(), 0);
}

}  // namespace
