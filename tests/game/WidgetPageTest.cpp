#include "game/KrHTMLKontext_GameWidget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GameEnvironment.h"

namespace {

using gametest::markupById;
using gametest::pictureOf;

constexpr const char* kHeader = "// NuxelWidget handler\n";

std::string setSource(const std::string& id, const std::string& image) {
    return "document.getElementById(\"" + id + "\").setAttribute(\"src\",\"" + image + "\");\n";
}
std::string dropClick(const std::string& id) {
    return "document.getElementById(\"" + id + "\").setAttribute(\"onclick\",\"\");\n";
}
std::string armClick(const std::string& id) {
    return "document.getElementById(\"" + id +
           "\").setAttribute(\"onclick\",\"nuxelwidgethandler(this, 'onclick');\");\n";
}
std::string setResult(const std::string& text) {
    return "document.getElementById(\"NeuStartenTxt\").innerHTML=\"" + text + "\";\n";
}

class WidgetPage : public gametest::GameEnvironment {
protected:
    // A widget action as the page's script sends it; the answer's JavaScript.
    std::string action(KrHTMLKontext_GameWidget& page, const std::string& element,
                       const std::string& event = "onclick") {
        const auto answer = gametest::run(page, gametest::widgetRequest(kSession, event, element));
        EXPECT_EQ(answer.status(), 200);
        return answer.body();
    }

    std::string click(KrHTMLKontext_GameWidget& page, const std::vector<std::string>& keys) {
        std::string last;
        for (const std::string& key : keys) {
            last = action(page, "i" + key);
        }
        return last;
    }
};

TEST_F(WidgetPage, ThePageCarriesTheWidgetSupportAndTheCellsReportTheirClicks) {
    auto page = newPage<KrHTMLKontext_GameWidget>();
    const std::string markup = page->render();
    EXPECT_NE(markup.find("<form action=\"nuxelwidget.handler\" id=\"nuxelwidgetform\" "
                          "method=\"post\" enctype=\"multipart/form-data\" "
                          "onsubmit=\"return false\">\n"
                          "  <input name=\"nuxelid\" type=\"hidden\" value=\"" +
                          std::string(kSession) + "\" />"),
              std::string::npos);
    EXPECT_NE(markup.find("function nuxelwidgethandler(theobject, theaction)"), std::string::npos);
    EXPECT_EQ(markupById(*page->document(), "i11"),
              "<img alt=\"\" height=\"50\" id=\"i11\" name=\"f11\" "
              "onclick=\"nuxelwidgethandler(this, 'onclick');\" src=\"leer.png\" width=\"50\" />");
    EXPECT_EQ(page->document()
                  ->findFirstChildWithAttribute("id", "NeuStarten")
                  ->getAttribute("onclick", ""),
              "nuxelwidgethandler(this, 'onclick');");
    // The switches are command forms.
    EXPECT_EQ(page->document()
                  ->findFirstChildWithAttribute("name", "playget")
                  ->getAttribute("onclick", ""),
              "javascript:document.forms['formcommand0'].submit();");
    EXPECT_EQ(page->document()
                  ->findFirstChildWithAttribute("name", "playpost")
                  ->getAttribute("onclick", ""),
              "javascript:document.forms['formcommand1'].submit();");
}

TEST_F(WidgetPage, AClickAnswersTheXAndTheOAsJavaScript) {
    auto page = newPage<KrHTMLKontext_GameWidget>();
    EXPECT_EQ(click(*page, {"22"}), kHeader + setSource("i22", "kreuz.png") + dropClick("i22") +
                                        setSource("i13", "kreis.png") + dropClick("i13"));
    // The page in memory follows, for a later render.
    EXPECT_EQ(pictureOf(*page->document()), "..O/.X./...");
    EXPECT_EQ(
        page->document()->findFirstChildWithAttribute("id", "i22")->getAttribute("onclick", "-"),
        "");
}

TEST_F(WidgetPage, TheLastMoveAlsoAnswersTheResult) {
    struct Case {
        std::vector<std::string> clicks;
        std::string lastAnswer;
    } cases[] = {
        // X completes the diagonal: no O follows.
        {{"11", "13", "22", "33"},
         kHeader + setSource("i33", "kreuz.png") + dropClick("i33") +
             setResult("X wins, Restart Game")},
        {{"11", "12", "21"},
         kHeader + setSource("i21", "kreuz.png") + dropClick("i21") +
             setSource("i33", "kreis.png") + dropClick("i33") + setResult("O wins, Restart Game")},
        // The fourth counted move ends the game after the program's answer.
        {{"11", "13", "22", "32"},
         kHeader + setSource("i32", "kreuz.png") + dropClick("i32") +
             setSource("i21", "kreis.png") + dropClick("i21") +
             setResult("nobody wins, Restart Game")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clicks.size());
        auto page = newPage<KrHTMLKontext_GameWidget>();
        EXPECT_EQ(click(*page, c.clicks), c.lastAnswer);
        // Once the game is over a click on a free cell changes nothing.
        const std::string before = page->render();
        EXPECT_EQ(click(*page, {"31"}), kHeader);
        EXPECT_EQ(page->render(), before);
    }
}

TEST_F(WidgetPage, AClickOnATakenCellAnswersNothing) {
    auto page = newPage<KrHTMLKontext_GameWidget>();
    click(*page, {"22"});
    EXPECT_EQ(click(*page, {"22"}), kHeader);
    EXPECT_EQ(click(*page, {"13"}), kHeader);
    EXPECT_EQ(pictureOf(page->board()), "..O/.X./...");
}

TEST_F(WidgetPage, RestartArmsTheCellsAndClearsTheBoardInThePage) {
    auto page = newPage<KrHTMLKontext_GameWidget>();
    const std::string clean = page->render();
    click(*page, {"11", "12", "21"});
    std::string expected = kHeader;
    for (const auto key : KrGameBoard::kCellKeys) {
        expected += armClick("i" + std::string(key));
    }
    expected += setResult("Restart Game");
    for (const auto key : KrGameBoard::kCellKeys) {
        expected += setSource("i" + std::string(key), "leer.png");
    }
    EXPECT_EQ(action(*page, "NeuStarten"), expected);
    EXPECT_EQ(pictureOf(page->board()), ".../.../...");
    EXPECT_EQ(page->board().moveCount(), 0);
    EXPECT_EQ(page->render(), clean);
    // Cells whose click was dropped play again.
    EXPECT_EQ(click(*page, {"11"}), kHeader + setSource("i11", "kreuz.png") + dropClick("i11") +
                                        setSource("i23", "kreis.png") + dropClick("i23"));
}

TEST_F(WidgetPage, TheResultTextsNuxelEventChangesNothing) {
    auto page = newPage<KrHTMLKontext_GameWidget>();
    EXPECT_EQ(action(*page, "NeuStartenTxt", "nuxel"), kHeader);
    EXPECT_EQ(page->board().moveCount(), 0);
    EXPECT_EQ(pictureOf(page->board()), ".../.../...");
}

TEST_F(WidgetPage, ThePageAnswersOnItsOwnPaths) {
    auto page = newPage<KrHTMLKontext_GameWidget>();
    click(*page, {"22"});
    const std::string current = page->render();
    for (const char* path : {"/playwidget", "/game_widget.html", "/"}) {
        const auto answer = gametest::get(*page, std::string(path) + "?nuxelid=" + kSession);
        EXPECT_EQ(answer.status(), 200) << path;
        EXPECT_EQ(answer.body(), current) << path;
    }
}

// The pages of several sessions, each a copy of the same page changed by its own game, go in
// an order that is neither that of their making nor its reverse, while new ones are made:
// every page keeps writing what its own game made of it.
TEST_F(WidgetPage, PagesOfSeveralSessionsKeepTheirOwnStateWhileOthersComeAndGo) {
    const std::string clean = newPage<KrHTMLKontext_GameWidget>()->render();
    constexpr std::size_t kPages = 5;
    std::vector<std::unique_ptr<KrHTMLKontext_GameWidget>> pages;
    std::vector<std::string> rendered;
    for (std::size_t i = 0; i < kPages; ++i) {
        auto page = newPage<KrHTMLKontext_GameWidget>();
        const auto& clicks = gametest::kEndings[i % std::size(gametest::kEndings)].clicks;
        click(*page, {clicks.begin(), clicks.begin() + static_cast<long>(1 + i % clicks.size())});
        if (i % 2 == 1) {
            action(*page, "NeuStarten");
            click(*page, {"33"});
        }
        rendered.push_back(page->render());
        pages.push_back(std::move(page));
    }
    for (const std::size_t going : {2, 0, 4, 1, 3}) {
        pages[going].reset();
        auto fresh = newPage<KrHTMLKontext_GameWidget>();
        click(*fresh, {"22"});
        for (std::size_t i = 0; i < kPages; ++i) {
            if (pages[i] != nullptr) {
                EXPECT_EQ(pages[i]->render(), rendered[i]) << i;
                EXPECT_EQ(pictureOf(*pages[i]->document()), pictureOf(pages[i]->board())) << i;
            }
        }
        action(*fresh, "NeuStarten");
        EXPECT_EQ(fresh->render(), clean);
    }
}

}  // namespace
