#pragma once

#include <string_view>

#include "foundation/Version.h"

// The windowed program's own texts.
namespace kr {

// The program's title: the main window's title and the name the host knows it by.
inline constexpr std::string_view kWindowTitle = "XGridlo";
// The window class (WM_CLASS) of the program's windows.
inline constexpr std::string_view kWindowClass = "XFESKOY";

// The lines painted in the main window, below the title.
inline constexpr std::string_view kWindowNotice = "The game runs in your web browser.";
inline constexpr std::string_view kWindowQuitHint = "press 'q' to quit";

// The menu bar: each menu has one item. "&" marks the letter that chooses it from the
// keyboard (Alt and the letter on the bar, the letter alone in the open menu).
inline constexpr std::string_view kMenuFile = "&Datei";
inline constexpr std::string_view kMenuFileExit = "&Beenden";
inline constexpr std::string_view kMenuHelp = "&Hilfe";
inline constexpr std::string_view kMenuHelpAbout = "&Info...";

// The About window.
inline constexpr std::string_view kAboutTitle = "Info about XGridlo";
inline constexpr std::string_view kAboutVersion = "XGridlo, Version 1.28.1";
static_assert(kAboutVersion.ends_with(kFrameworkVersion));
inline constexpr std::string_view kAboutNotice = "Tic-tac-toe, played in the web browser.";
inline constexpr std::string_view kAboutButton = "OK";

}  // namespace kr
