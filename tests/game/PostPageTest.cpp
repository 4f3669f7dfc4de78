#include "game/KrHTMLKontext_Game_Post.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GameEnvironment.h"

namespace {

using gametest::markupById;
using gametest::occurrences;
using gametest::pictureOf;

class PostPage : public gametest::GameEnvironment {
protected:
    // Posts the cells' command forms, as the browser does on a click.
    gametest::Exchange click(KrHTMLKontext_Game_Post& page, const std::vector<std::string>& keys) {
        gametest::Exchange last;
        for (const std::string& key : keys) {
            last = gametest::run(
                page, gametest::postRequest("/f" + key, "nuxelid=" + std::string(kSession)));
            EXPECT_EQ(last.status(), 200) << key;
            EXPECT_EQ(last.body(), page.render()) << key;
        }
        return last;
    }

    // The command form with that number, as the page renders it.
    static std::string commandForm(int number, const std::string& action) {
        return "<form action=\"" + action + "\" id=\"formcommand" + std::to_string(number) +
               "\" method=\"POST\">\n<input name=\"nuxelid\" type=\"hidden\" value=\"" + kSession +
               "\" />\n</form>";
    }
};

TEST_F(PostPage, EveryClickableElementSubmitsAFormOfItsOwn) {
    auto page = newPage<KrHTMLKontext_Game_Post>();
    const std::string markup = page->render();
    const std::vector<std::string> actions{"playget", "playwidget", "f11", "f12",
                                           "f13",     "f21",        "f22", "f23",
                                           "f31",     "f32",        "f33", "NeuStarten"};
    EXPECT_EQ(occurrences(markup, "<form "), actions.size());
    for (std::size_t i = 0; i < actions.size(); ++i) {
        SCOPED_TRACE(actions[i]);
        EXPECT_NE(markup.find(commandForm(static_cast<int>(i), actions[i])), std::string::npos);
        const KrXMLGenericElement* element =
            page->document()->findFirstChildWithAttribute("name", actions[i]);
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->getAttribute("onclick", ""),
                  "javascript:document.forms['formcommand" + std::to_string(i) + "'].submit();");
    }
    EXPECT_EQ(markupById(*page->document(), "i11"),
              "<img alt=\"\" height=\"50\" id=\"i11\" name=\"f11\" "
              "onclick=\"javascript:document.forms['formcommand2'].submit();\" src=\"leer.png\" "
              "width=\"50\" />");
}

TEST_F(PostPage, APostedClickMarksTheCellAndTheAnswer) {
    auto page = newPage<KrHTMLKontext_Game_Post>();
    click(*page, {"22"});
    EXPECT_EQ(pictureOf(*page->document()), "..O/.X./...");
    EXPECT_EQ(page->document()->findFirstChildWithAttribute("id", "i22")->getAttribute("src", ""),
              "kreuz.png");
    EXPECT_EQ(page->document()->findFirstChildWithAttribute("id", "i13")->getAttribute("src", ""),
              "kreis.png");
}

// The result goes into the restart link, which keeps its command: a click on the result
// text restarts the game.
TEST_F(PostPage, AnEndedGameWritesItsResultIntoTheRestartLink) {
    for (const gametest::Ending& c : gametest::kEndings) {
        SCOPED_TRACE(c.result);
        auto page = newPage<KrHTMLKontext_Game_Post>();
        click(*page, c.clicks);
        EXPECT_EQ(pictureOf(*page->document()), c.picture);
        const std::string link =
            "<a href=\"#\" id=\"NeuStarten\" name=\"NeuStarten\" "
            "onclick=\"javascript:document.forms['formcommand11'].submit();\">\n"
            "<u>" +
            std::string(c.result) + "</u>\n</a>";
        EXPECT_EQ(markupById(*page->document(), "NeuStarten"), link);
        // A further click replaces the result by the same one; it never adds a second.
        click(*page, {"31"});
        EXPECT_EQ(markupById(*page->document(), "NeuStarten"), link);
        EXPECT_EQ(pictureOf(*page->document()), c.picture);
    }
}

TEST_F(PostPage, RestartCleansThePageAndNumbersTheFormsOn) {
    auto page = newPage<KrHTMLKontext_Game_Post>();
    click(*page, {"11", "12", "21"});
    const auto restarted = gametest::run(
        *page, gametest::postRequest("/NeuStarten", "nuxelid=" + std::string(kSession)));
    EXPECT_EQ(restarted.status(), 200);
    const std::string markup = restarted.body();
    EXPECT_EQ(pictureOf(*page->document()), ".../.../...");
    EXPECT_EQ(pictureOf(page->board()), ".../.../...");
    EXPECT_NE(markup.find("<u>Restart Game</u>"), std::string::npos);
    // Twelve forms again, numbered from 12 in the restart's order.
    const std::vector<std::string> actions{"f11", "f12",        "f13",     "f21",
                                           "f22", "f23",        "f31",     "f32",
                                           "f33", "NeuStarten", "playget", "playwidget"};
    EXPECT_EQ(occurrences(markup, "<form "), actions.size());
    for (std::size_t i = 0; i < actions.size(); ++i) {
        EXPECT_NE(markup.find(commandForm(static_cast<int>(12 + i), actions[i])), std::string::npos)
            << actions[i];
    }
    EXPECT_EQ(occurrences(markup, "formcommand0\""), 0u);
    click(*page, {"22"});
    EXPECT_EQ(pictureOf(*page->document()), "..O/.X./...");
}

TEST_F(PostPage, ThePageAnswersOnItsOwnPathsAndTheUpdateChannelOnTheRoot) {
    auto page = newPage<KrHTMLKontext_Game_Post>();
    click(*page, {"22"});
    const std::string current = page->render();
    for (const char* path : {"/game_post.html", "/playpost", "/"}) {
        const auto answer = gametest::get(*page, std::string(path) + "?nuxelid=" + kSession);
        EXPECT_EQ(answer.status(), 200) << path;
        EXPECT_EQ(answer.body(), current) << path;
    }
    // "/" is the update channel's: its poll answers with the update element, not the page.
    const auto poll = gametest::run(*page,
                                    apptest::getRequest("/?nuxelid=" + std::string(kSession) +
                                                        "&nuxelcommand=feskoupdate&reference=r1"),
                                    "feskoupdate");
    EXPECT_EQ(poll.status(), 200);
    EXPECT_NE(poll.body().find("id=\"novidade\""), std::string::npos) << poll.body();
    EXPECT_EQ(poll.body().find("Online-Game"), std::string::npos) << poll.body();
}

}  // namespace
