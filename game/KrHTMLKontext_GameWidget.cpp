#include "game/KrHTMLKontext_GameWidget.h"

#include "game/GamePlay.h"
#include "game/KrHTMLKontext_Game_Get.h"
#include "game/KrHTMLKontext_Game_Post.h"

namespace {

constexpr const char* kClick = "onclick";
constexpr const char* kResultTextId = "NeuStartenTxt";

}  // namespace

KrHTMLKontext_GameWidget::KrHTMLKontext_GameWidget(KrNuxelApplication2* application,
                                                   const std::string& sessionId, bool flag,
                                                   KrSettingsMap* settings)
    : KrHTMLKontextN(application, sessionId, flag, "game_widget.html", settings) {
    kr::loadGamePage(*this, kPageFile);

    setHook("/playwidget", kr::renderPageHook(*this));
    setHook("/game_widget.html", kr::renderPageHook(*this));
    setHook("/playget", kr::switchSchemeHook<KrHTMLKontext_Game_Get>(*this));
    makeCommandElement("playget", false);
    setHook("/playpost", kr::switchSchemeHook<KrHTMLKontext_Game_Post>(*this));
    makeCommandElement("playpost", false);

    // The scripts that come back are dropped: the page is not in the browser yet, and the
    // event attributes reach it with the rendered page.
    for (const std::string_view key : KrGameBoard::kCellKeys) {
        armCell(kr::cellImageId(key));
    }
    // No browser event has this name, so the page never sends it.
    widgetManager().addEventHandler(
        kResultTextId, *this, "nuxel",
        [this](const std::string& id, KrXHeader& request) { return onCellClick(id, request); }, {});
    widgetManager().addEventHandler(
        std::string(kr::kRestartId), *this, kClick,
        [this](const std::string& id, KrXHeader& request) { return onRestart(id, request); }, {});
}

KrHTMLKontext_GameWidget::~KrHTMLKontext_GameWidget() = default;

std::string KrHTMLKontext_GameWidget::armCell(const std::string& elementId) {
    return widgetManager().addEventHandler(
        elementId, *this, kClick,
        [this](const std::string& id, KrXHeader& request) { return onCellClick(id, request); }, {});
}

std::string KrHTMLKontext_GameWidget::onCellClick(const std::string& elementId,
                                                  KrXHeader& /*request*/) {
    const std::string key = elementId.empty() ? elementId : elementId.substr(1);
    if (!board_.place(key)) {
        return {};
    }
    KrWidgetManager& widgets = widgetManager();
    std::string script = widgets.setAttributeScript(elementId, "src", std::string(kr::kCrossImage));
    script += widgets.dropEventHandler(elementId, kClick);
    const std::string reply =
        board_.status() != KrGameBoard::kCrossWins ? board_.chooseReply() : std::string();
    if (!reply.empty()) {
        const std::string replyId = kr::cellImageId(reply);
        script += widgets.setAttributeScript(replyId, "src", std::string(kr::kCircleImage));
        script += widgets.dropEventHandler(replyId, kClick);
    }
    const std::string_view result = kr::gameResultText(board_.status());
    if (!result.empty()) {
        script += widgets.setTextScript(kResultTextId, std::string(result));
    }
    return script;
}

std::string KrHTMLKontext_GameWidget::onRestart(const std::string& /*elementId*/,
                                                KrXHeader& /*request*/) {
    board_.reset();
    std::string script;
    for (const std::string_view key : KrGameBoard::kCellKeys) {
        script += armCell(kr::cellImageId(key));
    }
    KrWidgetManager& widgets = widgetManager();
    script += widgets.setTextScript(kResultTextId, std::string(kr::kRestartText));
    for (const std::string_view key : KrGameBoard::kCellKeys) {
        script += widgets.setAttributeScript(kr::cellImageId(key), "src",
                                             std::string(kr::kEmptyCellImage));
    }
    return script;
}
