#include "game/KrHTMLKontext_Game_Post.h"

#include <memory>
#include <string>
#include <vector>

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"
#include "document/html/KrHTML_text2.h"
#include "game/GamePlay.h"
#include "game/KrHTMLKontext_GameWidget.h"
#include "game/KrHTMLKontext_Game_Get.h"

namespace {

constexpr std::string_view kSchemeNames[] = {"playget", "playwidget"};

// The elements whose click posts a command form: the nine cells and the restart link.
std::vector<std::string> boardCommands() {
    std::vector<std::string> names;
    for (const std::string_view key : KrGameBoard::kCellKeys) {
        names.push_back("f" + std::string(key));
    }
    names.emplace_back(kr::kRestartId);
    return names;
}

// The links to the other schemes.
std::vector<std::string> schemeCommands() {
    return {std::begin(kSchemeNames), std::end(kSchemeNames)};
}

std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

}  // namespace

KrHTMLKontext_Game_Post::KrHTMLKontext_Game_Post(KrNuxelApplication2* application,
                                                 const std::string& sessionId, bool flag,
                                                 KrSettingsMap* settings)
    : KrHTMLKontextN(application, sessionId, flag, "game_post.html", settings) {
    kr::loadGamePage(*this, kPageFile);
    kr::setPlayHooks(
        *this,
        [this](std::string_view key) {
            playMovePost(key);
            showGameResultPost();
        },
        [this] { restart(); });
    for (const char* path : {"/game_post.html", "/playpost"}) {
        setHook(path, kr::renderPageHook(*this));
    }
    setHook("/playget", kr::switchSchemeHook<KrHTMLKontext_Game_Get>(*this));
    setHook("/playwidget", kr::switchSchemeHook<KrHTMLKontext_GameWidget>(*this));

    // The order numbers the forms.
    makeCommandElements(joined(schemeCommands(), boardCommands()));
}

KrHTMLKontext_Game_Post::~KrHTMLKontext_Game_Post() = default;

void KrHTMLKontext_Game_Post::playMovePost(std::string_view key) {
    kr::playMoveOnPage(board_, *this, elements_, key);
}

void KrHTMLKontext_Game_Post::showGameResultPost() {
    const std::string_view text = kr::gameResultText(board_.status());
    KrXMLGenericElement* link = text.empty() ? nullptr : elements_.byId(*this, kr::kRestartId);
    if (link == nullptr) {
        return;
    }
    link->deleteChildren();
    auto underlined = std::make_unique<KrHTML_u2>();
    underlined->addChild(std::make_unique<KrHTML_text2>(text));
    link->addChild(std::move(underlined));
}

void KrHTMLKontext_Game_Post::restart() {
    board_.reset();
    kr::loadGamePage(*this, kPageFile);
    // The forms are numbered on from the last number used.
    makeCommandElements(joined(boardCommands(), schemeCommands()));
}
