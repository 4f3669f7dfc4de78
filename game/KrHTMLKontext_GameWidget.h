#pragma once

#include <string>
#include <string_view>

#include "app/KrHTMLKontextN.h"
#include "game/KrGameBoard.h"

class KrNuxelApplication2;
class KrSettingsMap;
class KrXHeader;

// The game page of the Widget scheme: the page is delivered once; after that every click
// is a widget action sent in the background, answered with JavaScript that changes the
// browser's page in place (image sources, click handlers, the result text). The widget
// manager keeps the page in memory in step with the browser's.
class KrHTMLKontext_GameWidget : public KrHTMLKontextN {
public:
    static constexpr std::string_view kPageFile = "spiele_widget.html";

    // Loads the page, stamps the session identifier, registers the page on "/playwidget"
    // and "/game_widget.html", the switches on "/playget" and "/playpost" with their command
    // forms, and the widget handlers: a click on each cell image, a click on the restart
    // link. "/" and "/nuxelwidget.handler" stay the base page's.
    KrHTMLKontext_GameWidget(KrNuxelApplication2* application, const std::string& sessionId,
                             bool flag, KrSettingsMap* settings);
    ~KrHTMLKontext_GameWidget() override;

    const KrGameBoard& board() const { return board_; }

private:
    // The widget handlers: each answers the JavaScript that brings the browser's page up to
    // date, empty when nothing changed.
    std::string onCellClick(const std::string& elementId, KrXHeader& request);
    std::string onRestart(const std::string& elementId, KrXHeader& request);
    std::string armCell(const std::string& elementId);

    KrGameBoard board_;
};
