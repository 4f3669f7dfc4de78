#include "game/KrHTMLKontext_Game_Get.h"

#include <memory>

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"
#include "game/GamePlay.h"
#include "game/KrHTMLKontext_GameWidget.h"
#include "game/KrHTMLKontext_Game_Post.h"

KrHTMLKontext_Game_Get::KrHTMLKontext_Game_Get(KrNuxelApplication2* application,
                                               const std::string& sessionId, bool flag,
                                               KrSettingsMap* settings)
    : KrHTMLKontextN(application, sessionId, flag, "game_get.html?", settings) {
    kr::loadGamePage(*this, kPageFile);
    kr::setPlayHooks(
        *this,
        [this](std::string_view key) {
            playMoveGet(key);
            showGameResult();
        },
        [this] {
            board_.reset();
            kr::loadGamePage(*this, kPageFile);
        });
    for (const char* path : {"/game_get.html", "/", "/playget"}) {
        setHook(path, kr::renderPageHook(*this));
    }
    setHook("/playpost", kr::switchSchemeHook<KrHTMLKontext_Game_Post>(*this));
    setHook("/playwidget", kr::switchSchemeHook<KrHTMLKontext_GameWidget>(*this));
}

KrHTMLKontext_Game_Get::~KrHTMLKontext_Game_Get() = default;

void KrHTMLKontext_Game_Get::playMoveGet(std::string_view key) {
    kr::playMoveOnPage(board_, *this, elements_, key);
}

void KrHTMLKontext_Game_Get::showGameResult() {
    const std::string_view text = kr::gameResultText(board_.status());
    KrXMLGenericElement* restart = text.empty() ? nullptr : elements_.byId(*this, "restart");
    if (restart == nullptr) {
        return;
    }
    restart->putChildWithAttribute(std::make_unique<KrHTML_a2>("#", text), "id", kr::kRestartId);
}
