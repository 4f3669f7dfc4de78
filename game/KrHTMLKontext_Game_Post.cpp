#include "game/KrHTMLKontext_Game_Post.h"

#include <memory>

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"
#include "document/html/KrHTML_text2.h"
#include "game/GamePlay.h"
#include "game/KrHTMLKontext_GameWidget.h"
#include "game/KrHTMLKontext_Game_Get.h"

namespace {

constexpr std::string_view kSchemeNames[] = {"playget", "playwidget"};

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
    makeSchemeCommands();
    makeBoardCommands();
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
    makeBoardCommands();
    makeSchemeCommands();
}

void KrHTMLKontext_Game_Post::makeBoardCommands() {
    for (const std::string_view key : KrGameBoard::kCellKeys) {
        makeCommandElement("f" + std::string(key), false);
    }
    makeCommandElement(std::string(kr::kRestartId), false);
}

void KrHTMLKontext_Game_Post::makeSchemeCommands() {
    for (const std::string_view name : kSchemeNames) {
        makeCommandElement(std::string(name), false);
    }
}
