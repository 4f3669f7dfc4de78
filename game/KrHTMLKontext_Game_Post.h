#pragma once

#include <string>
#include <string_view>

#include "app/KrHTMLKontextN.h"
#include "game/KrGameBoard.h"
#include "game/PageElements.h"

class KrNuxelApplication2;
class KrSettingsMap;

// The game page of the POST scheme: every clickable element of the page (the cells, the
// restart link, the links to the other schemes) submits a small hidden form that this page
// adds, and every answer is the whole page again. The page itself holds no script.
class KrHTMLKontext_Game_Post : public KrHTMLKontextN {
public:
    static constexpr std::string_view kPageFile = "spiele_post.html";

    // Loads the page, stamps the session identifier, registers the hooks (the nine cells,
    // "/NeuStarten", the page on "/game_post.html" and "/playpost", the switches on
    // "/playget" and "/playwidget") and makes the twelve command forms. "/" stays the
    // update channel's.
    KrHTMLKontext_Game_Post(KrNuxelApplication2* application, const std::string& sessionId,
                            bool flag, KrSettingsMap* settings);
    ~KrHTMLKontext_Game_Post() override;

    const KrGameBoard& board() const { return board_; }

private:
    void playMovePost(std::string_view key);
    // Writes the result into the restart link, which stays a link that restarts.
    void showGameResultPost();
    // A new game on a fresh page, with its command forms made again.
    void restart();

    KrGameBoard board_;
    kr::PageElements elements_;
};
