#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "../app/PageEnvironment.h"
#include "app/KrHTMLKontextN.h"
#include "app/KrSettingsMap.h"
#include "document/html/KrHTML_Document2.h"
#include "game/BuiltInFiles.h"
#include "game/KrGameBoard.h"
#include "game/KrSpielApp.h"
#include "storage/KrPersistentAppStorage.h"

// The game's pages without a server: the game's application (never started) on a storage
// filled by the game's initialiser, requests as a browser sends them, answers read back.
namespace gametest {

using apptest::Exchange;
using apptest::parseRequest;
using apptest::run;

// Three games played to their end, the same in every scheme: the user's clicks, the board
// they leave, and the result text.
struct Ending {
    std::vector<std::string> clicks;
    const char* picture;  // as pictureOf gives it
    const char* result;
};
inline const Ending kEndings[] = {
    // X's fourth completes the diagonal: no O follows it.
    {{"11", "13", "22", "33"}, "XOX/.XO/O.X", "X wins, Restart Game"},
    {{"11", "12", "21"}, "XXO/X.O/..O", "O wins, Restart Game"},
    // The fourth counted move without a line ends the game, after the program's answer.
    {{"11", "13", "22", "32"}, "XOX/OXO/OX.", "nobody wins, Restart Game"},
};

// The board as the page shows it, row by row: "X" for kreuz.png, "O" for kreis.png, "." for
// leer.png, "?" for anything else or a missing image; rows joined by "/".
inline std::string pictureOf(KrHTML_Document2& page) {
    std::string picture;
    for (std::size_t i = 0; i < KrGameBoard::kCellKeys.size(); ++i) {
        if (i > 0 && i % 3 == 0) {
            picture += '/';
        }
        const KrXMLGenericElement* image =
            page.findFirstChildWithAttribute("id", "i" + std::string(KrGameBoard::kCellKeys[i]));
        const std::string src = image != nullptr ? image->getAttribute("src", "") : "";
        picture += src == "kreuz.png"   ? 'X'
                   : src == "kreis.png" ? 'O'
                   : src == "leer.png"  ? '.'
                                        : '?';
    }
    return picture;
}

// The board as the board holds it, in the same form.
inline std::string pictureOf(const KrGameBoard& board) {
    std::string picture;
    std::size_t i = 0;
    for (const auto& [key, mark] : board.cells()) {
        if (i > 0 && i % 3 == 0) {
            picture += '/';
        }
        picture += mark == KrGameBoard::kCross ? 'X' : mark == KrGameBoard::kCircle ? 'O' : '.';
        ++i;
    }
    return picture;
}

inline std::string markupOf(const KrXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

// The markup of the page's element with that "id"; empty when there is none.
inline std::string markupById(KrHTML_Document2& page, std::string_view id) {
    const KrXMLGenericElement* element = page.findFirstChildWithAttribute("id", id);
    return element != nullptr ? markupOf(*element) : "";
}

// How often the text occurs in the markup.
inline std::size_t occurrences(const std::string& markup, std::string_view text) {
    std::size_t count = 0;
    for (auto at = markup.find(text); at != std::string::npos; at = markup.find(text, at + 1)) {
        ++count;
    }
    return count;
}

// A form post as a browser sends one: "name=value&..." form-encoded.
inline std::shared_ptr<KrXHeader> postRequest(std::string_view path, std::string_view body) {
    return parseRequest("POST " + std::string(path) +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                        "Content-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + std::string(body));
}

// The widget action the page's script sends for a click: the widget form's fields as
// multipart/form-data (the browser's FormData) to "/nuxelwidget.handler".
inline std::string widgetActionBody(std::string_view boundary, std::string_view sessionId,
                                    std::string_view action, std::string_view element) {
    std::string body;
    const auto field = [&](std::string_view name, std::string_view value) {
        body += "--" + std::string(boundary) + "\r\nContent-Disposition: form-data; name=\"" +
                std::string(name) + "\"\r\n\r\n" + std::string(value) + "\r\n";
    };
    field("nuxelid", sessionId);
    field("nuxelaction", action);
    field("nuxelactionelement", element);
    field("nuxelactionparam1", "none");
    body += "--" + std::string(boundary) + "--\r\n";
    return body;
}

inline std::shared_ptr<KrXHeader> widgetRequest(std::string_view sessionId, std::string_view action,
                                                std::string_view element) {
    constexpr std::string_view kBoundary = "----WebKitFormBoundaryGridlo7MA4YWxk";
    const std::string body = widgetActionBody(kBoundary, sessionId, action, element);
    return parseRequest(
        "POST /nuxelwidget.handler HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: multipart/form-data; boundary=" +
        std::string(kBoundary) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
        body);
}

inline Exchange get(KrHTMLKontextN& context, std::string_view target) {
    return run(context, apptest::getRequest(target));
}

class GameEnvironment : public ::testing::Test {
protected:
    static constexpr const char* kSession = "nuxelid000000000000000042";

    GameEnvironment() { kr::initStorage(storage_); }

    // A page of the scheme for kSession, not registered with the application.
    template <class Page>
    std::unique_ptr<Page> newPage(const std::string& sessionId = kSession) {
        return std::make_unique<Page>(&application_, sessionId, true, &settings_);
    }

    // Runs the request on the session as the dispatch does, through the application's
    // registry, so that a scheme switch takes effect.
    Exchange dispatch(const std::string& sessionId, std::shared_ptr<KrXHeader> request) {
        Exchange exchange{std::move(request), nullptr};
        exchange.response = exchange.request->createAnswer();
        application_.dispatchToContext(sessionId, *exchange.request, *exchange.response, "");
        return exchange;
    }

    KrPersistentAppStorage storage_;
    KrSpielApp application_{&storage_, "gametest", {}, {{"startpath", "."}}};
    KrSettingsMap settings_{{{"startpath", "."}}};
};

}  // namespace gametest
