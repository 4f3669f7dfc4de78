#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/KrHTMLKontextN.h"
#include "game/PageElements.h"

class KrGameBoard;

// What the three game pages (GET, POST, Widget) share: the images and texts of the board,
// the move of the pages that answer with the whole page, and the scheme switch.
namespace kr {

inline constexpr std::string_view kEmptyCellImage = "leer.png";
inline constexpr std::string_view kCrossImage = "kreuz.png";
inline constexpr std::string_view kCircleImage = "kreis.png";
inline constexpr std::string_view kRestartText = "Restart Game";
// The path of a cell's click: "/f" and the cell key.
inline constexpr std::string_view kCellPathPrefix = "/f";
// The identifier of the restart link in every scheme; "/" and it is the path of its click.
inline constexpr std::string_view kRestartId = "NeuStarten";

// The identifier of a cell's image in the page: "i" and the cell key.
std::string cellImageId(std::string_view key);

// The text that replaces "Restart Game" once a game has ended; empty while it runs.
std::string_view gameResultText(std::int32_t status);

// One click on the pages that answer with the whole page: the user's X on the cell and,
// unless it won, the program's O, each shown by the "src" of its cell's image in the page.
// A refused click changes nothing; an image that is not in the page is skipped.
void playMoveOnPage(KrGameBoard& board, KrHTMLKontextN& page, PageElements& elements,
                    std::string_view key);

// Replaces the page's document by the built-in page file and stamps the page's session
// identifier into it.
void loadGamePage(KrHTMLKontextN& page, std::string_view file);

// A hook that answers with the whole page as it stands.
KrPageHandler renderPageHook(KrHTMLKontextN& page);

// The hooks through which the GET and POST pages are played, each answered with the whole
// page once the page has done its part: a click on each of the nine cells ("/f11" to "/f33",
// given the cell key) and the restart ("/NeuStarten").
void setPlayHooks(KrHTMLKontextN& page, std::function<void(std::string_view)> cellClick,
                  std::function<void()> restart);

// Hands the session over to a page of another scheme: the successor answers the same
// request through its own hook for the path, and the answer names it as the session's next
// context, which the application puts in the current page's place once the hook returns.
void handOverSession(KrHTMLKontextN& current, std::unique_ptr<KrHTMLKontextN> successor,
                     KrXHeader& request, KrXResponseHeader& response);

// A hook that switches the session to a new page of the scheme Successor, with an empty
// board: a switch always starts a new game.
template <class Successor>
KrPageHandler switchSchemeHook(KrHTMLKontextN& current) {
    return [&current](KrXHeader& request, KrXResponseHeader& response, const std::string&) {
        handOverSession(current,
                        std::make_unique<Successor>(current.application(), current.sessionId(),
                                                    true, current.settings()),
                        request, response);
    };
}

}  // namespace kr
