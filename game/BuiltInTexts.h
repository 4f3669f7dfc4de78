#pragma once

#include <string_view>

// The game's pages and style sheet, embedded at build time from game/assets/ (see
// game/CMakeLists.txt). Each text is the file's bytes exactly.
namespace kr::builtin {

extern const std::string_view kSpieleHtml;
extern const std::string_view kSpielePostHtml;
extern const std::string_view kSpieleWidgetHtml;
extern const std::string_view kSpieleCss;

}  // namespace kr::builtin
