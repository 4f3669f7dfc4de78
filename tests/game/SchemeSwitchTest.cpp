#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "GameEnvironment.h"
#include "game/KrHTMLKontext_GameWidget.h"
#include "game/KrHTMLKontext_Game_Get.h"
#include "game/KrHTMLKontext_Game_Post.h"

// A session moves between the schemes through the application's registry, as a browser's
// requests do: the page of the new scheme answers the switch and serves the session's next
// requests, always with a new board.
namespace {

struct Scheme {
    const char* name;      // as in the page title
    const char* pagePath;  // the path that switches to the scheme
};
constexpr Scheme kGet{"GET", "/playget"};
constexpr Scheme kPost{"POST", "/playpost"};
constexpr Scheme kWidget{"Widget", "/playwidget"};

class SchemeSwitch : public gametest::GameEnvironment {
protected:
    // A session whose page is of that scheme, registered, with one move played on it.
    std::string sessionPlayingIn(const Scheme& scheme) {
        const std::string id = application_.createContext("nuxelid")->sessionId();
        if (scheme.name != kGet.name) {
            switchTo(id, scheme);
        }
        playCentre(id, scheme);
        return id;
    }

    gametest::Exchange switchTo(const std::string& id, const Scheme& scheme) {
        return dispatch(id, gametest::postRequest(scheme.pagePath, "nuxelid=" + id));
    }

    // A click on the centre cell as the scheme's page sends it; the answer.
    gametest::Exchange playCentre(const std::string& id, const Scheme& scheme) {
        if (scheme.name == kGet.name) {
            return dispatch(id, apptest::getRequest("/f22?nuxelid=" + id));
        }
        if (scheme.name == kPost.name) {
            return dispatch(id, gametest::postRequest("/f22", "nuxelid=" + id));
        }
        return dispatch(id, gametest::widgetRequest(id, "onclick", "i22"));
    }

    static std::string title(const Scheme& scheme) {
        return std::string("<title>Online-Game (") + scheme.name +
               ") - Framework NuxelFrame</title>";
    }
};

TEST_F(SchemeSwitch, EverySwitchAnswersWithTheNewSchemesPageAndAnEmptyBoard) {
    const std::pair<Scheme, Scheme> switches[] = {
        {kGet, kPost},    {kGet, kWidget}, {kPost, kGet},
        {kPost, kWidget}, {kWidget, kGet}, {kWidget, kPost},
    };
    for (const auto& [from, to] : switches) {
        SCOPED_TRACE(std::string(from.name) + " to " + to.name);
        const std::string id = sessionPlayingIn(from);
        const std::size_t sessions = application_.contextCount();
        const auto switched = switchTo(id, to);
        EXPECT_EQ(switched.status(), 200);
        const std::string page = switched.body();
        EXPECT_NE(page.find(title(to)), std::string::npos);
        // The same session, and a new game.
        EXPECT_NE(page.find("nuxelid=\"" + id + "\";"), std::string::npos);
        EXPECT_EQ(page.find("kreuz.png"), std::string::npos);
        EXPECT_EQ(page.find("kreis.png"), std::string::npos);
        // The answer names no successor any more: the application took it.
        EXPECT_EQ(switched.response->nextContext(), nullptr);
        EXPECT_EQ(application_.contextCount(), sessions);

        // The session's next click is played by the new scheme on its empty board.
        const std::string next = playCentre(id, to).body();
        if (to.name == kWidget.name) {
            EXPECT_NE(next.find("document.getElementById(\"i22\").setAttribute(\"src\","
                                "\"kreuz.png\");"),
                      std::string::npos)
                << next;
        } else {
            EXPECT_NE(next.find(title(to)), std::string::npos);
            EXPECT_EQ(gametest::occurrences(next, "kreuz.png"), 1u);
            EXPECT_EQ(gametest::occurrences(next, "kreis.png"), 1u);
        }
    }
}

TEST_F(SchemeSwitch, SwitchingBackAndForthAlwaysStartsANewGame) {
    const std::string id = sessionPlayingIn(kGet);
    for (const Scheme& scheme : {kPost, kGet, kWidget, kPost, kWidget, kGet}) {
        SCOPED_TRACE(scheme.name);
        const std::string page = switchTo(id, scheme).body();
        EXPECT_NE(page.find(title(scheme)), std::string::npos);
        EXPECT_EQ(page.find("kreuz.png"), std::string::npos);
        playCentre(id, scheme);
    }
    EXPECT_EQ(application_.contextCount(), 1u);
}

TEST_F(SchemeSwitch, ARestartedPageStillSwitches) {
    const std::string id = sessionPlayingIn(kGet);
    EXPECT_EQ(dispatch(id, apptest::getRequest("/NeuStarten?nuxelid=" + id)).status(), 200);
    EXPECT_NE(switchTo(id, kWidget).body().find(title(kWidget)), std::string::npos);
}

}  // namespace
