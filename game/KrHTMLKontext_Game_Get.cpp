#include "game/KrHTMLKontext_Game_Get.h"

#include <memory>

#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"
#include "game/GamePlay.h"
#include "game/KrHTMLKontext_GameWidget.h"
#include "game/KrHTMLKontext_Game_Post.h"
#include "http/KrXResponseHeader.h"

KrHTMLKontext_Game_Get::KrHTMLKontext_Game_Get(KrNuxelApplication2* application,
                                               const std::string& sessionId, bool flag,
                                               KrSettingsMap* settings)
    : KrHTMLKontextN(application, sessionId, flag, "game_get.html?", settings) {
    loadGamePage();
    for (const std::string_view key : KrGameBoard::kCellKeys) {
        setHook(std::string(kr::kCellPathPrefix) + std::string(key),
                [this, key](KrXHeader&, KrXResponseHeader& response, const std::string&) {
                    onCellClick(key, response);
                });
    }
    setHook("/NeuStarten", [this](KrXHeader&, KrXResponseHeader& response, const std::string&) {
        onRestart(response);
    });
    for (const char* path : {"/game_get.html", "/", "/playget"}) {
        setHook(path, kr::renderPageHook(*this));
    }
    setHook("/playpost", kr::switchSchemeHook<KrHTMLKontext_Game_Post>(*this));
    setHook("/playwidget", kr::switchSchemeHook<KrHTMLKontext_GameWidget>(*this));
}

KrHTMLKontext_Game_Get::~KrHTMLKontext_Game_Get() = default;

void KrHTMLKontext_Game_Get::loadGamePage() {
    loadPage(std::string(kPageFile), kr::builtInFilesOf(application()));
    stampSessionId(sessionId());
}

void KrHTMLKontext_Game_Get::playMoveGet(std::string_view key) {
    kr::playMoveOnPage(board_, document(), key);
}

void KrHTMLKontext_Game_Get::showGameResult() {
    const std::string_view text = kr::gameResultText(board_.status());
    KrXMLGenericElement* restart =
        text.empty() ? nullptr : document()->findFirstChildWithAttribute("id", "restart");
    if (restart == nullptr) {
        return;
    }
    restart->putChildWithAttribute(std::make_unique<KrHTML_a2>("#", text), "id", "NeuStarten");
}

void KrHTMLKontext_Game_Get::onCellClick(std::string_view key, KrXResponseHeader& response) {
    playMoveGet(key);
    showGameResult();
    response.writeAnswer(render());
}

void KrHTMLKontext_Game_Get::onRestart(KrXResponseHeader& response) {
    board_.reset();
    loadGamePage();
    response.writeAnswer(render());
}
