#pragma once

#include <string>
#include <string_view>

#include "app/KrHTMLKontextN.h"
#include "game/KrGameBoard.h"
#include "game/PageElements.h"

class KrNuxelApplication2;
class KrSettingsMap;

// The game page of the GET scheme, the page every new session starts with: every click
// loads a new page through a link that carries the session identifier ("/f11?nuxelid=..."),
// and each move changes the page in memory (image sources, the result link) before the
// whole page is answered.
class KrHTMLKontext_Game_Get : public KrHTMLKontextN {
public:
    static constexpr std::string_view kPageFile = "spiele.html";

    // Loads the page, stamps the session identifier into it and registers the hooks: the
    // nine cells "/f11" to "/f33", "/NeuStarten", the page ("/game_get.html", "/",
    // "/playget") and the switches to the other schemes ("/playpost", "/playwidget").
    KrHTMLKontext_Game_Get(KrNuxelApplication2* application, const std::string& sessionId,
                           bool flag, KrSettingsMap* settings);
    ~KrHTMLKontext_Game_Get() override;

    const KrGameBoard& board() const { return board_; }

private:
    void playMoveGet(std::string_view key);
    // Puts the result link into the "restart" heading once the game has ended.
    void showGameResult();

    KrGameBoard board_;
    kr::PageElements elements_;
};
