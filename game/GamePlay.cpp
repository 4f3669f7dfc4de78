#include "game/GamePlay.h"

#include "app/KrNuxelApplication2.h"
#include "document/xml/KrXMLGenericElement.h"
#include "game/KrGameBoard.h"
#include "http/KrXResponseHeader.h"
#include "storage/KrPersistentAppStorage.h"

namespace kr {

namespace {

void showMark(KrHTMLKontextN& page, PageElements& elements, std::string_view key,
              std::string_view image) {
    if (key.empty()) {
        return;
    }
    if (KrXMLGenericElement* cell = elements.byId(page, cellImageId(key))) {
        cell->setAttribute("src", image);
    }
}

// The built-in files of the application's storage; none without a storage.
const KrHTMLKontextN::BuiltInFiles& builtInFilesOf(KrNuxelApplication2* application) {
    static const KrHTMLKontextN::BuiltInFiles none;
    KrPersistentAppStorage* storage = application != nullptr ? application->storage() : nullptr;
    return storage != nullptr ? storage->builtInFiles() : none;
}

}  // namespace

std::string cellImageId(std::string_view key) { return "i" + std::string(key); }

std::string_view gameResultText(std::int32_t status) {
    switch (status) {
        case KrGameBoard::kCrossWins: return "X wins, Restart Game";
        case KrGameBoard::kCircleWins: return "O wins, Restart Game";
        case KrGameBoard::kDraw: return "nobody wins, Restart Game";
        default: return {};
    }
}

void playMoveOnPage(KrGameBoard& board, KrHTMLKontextN& page, PageElements& elements,
                    std::string_view key) {
    if (!board.place(key)) {
        return;
    }
    showMark(page, elements, key, kCrossImage);
    if (board.status() != KrGameBoard::kCrossWins) {
        showMark(page, elements, board.chooseReply(), kCircleImage);
    }
}

void loadGamePage(KrHTMLKontextN& page, std::string_view file) {
    page.loadPage(std::string(file), builtInFilesOf(page.application()));
    page.stampSessionId(page.sessionId());
}

KrPageHandler renderPageHook(KrHTMLKontextN& page) {
    return [&page](KrXHeader&, KrXResponseHeader& response, const std::string&) {
        page.answerWithPage(response);
    };
}

void setPlayHooks(KrHTMLKontextN& page, std::function<void(std::string_view)> cellClick,
                  std::function<void()> restart) {
    for (const std::string_view key : KrGameBoard::kCellKeys) {
        page.setHook(
            std::string(kCellPathPrefix) + std::string(key),
            [&page, cellClick, key](KrXHeader&, KrXResponseHeader& response, const std::string&) {
                cellClick(key);
                page.answerWithPage(response);
            });
    }
    page.setHook("/" + std::string(kRestartId),
                 [&page, restart = std::move(restart)](KrXHeader&, KrXResponseHeader& response,
                                                       const std::string&) {
                     restart();
                     page.answerWithPage(response);
                 });
}

void handOverSession(KrHTMLKontextN& current, std::unique_ptr<KrHTMLKontextN> successor,
                     KrXHeader& request, KrXResponseHeader& response) {
    successor->handleRequest(request, response, "");
    // From here the application owns the successor.
    response.setNextContext(current.sessionId(), successor.release());
}

}  // namespace kr
