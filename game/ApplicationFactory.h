#pragma once

#include <memory>
#include <string>
#include <string_view>

class KrAppViewportBase;
class KrNuxelApplication2;

// How both programs build the game: the host with the game's two callables, and the
// application factory the host calls when it runs.
namespace kr {

inline constexpr std::string_view kWindowedProgramName = "XGridlo";
inline constexpr std::string_view kConsoleProgramName = "Gridlo";

// "Fesko++ 1.6.0 based on NuxelFrame 1.28.1 release#: 96"
std::string startBanner();

// The application factory: prints the start banner, declares the one listener (HTTP on the
// IPv4 loopback, a port the system chooses) with the game's settings, and builds the game's
// application on the host's storage. The windowed flag changes nothing that is built.
std::unique_ptr<KrNuxelApplication2> makeApplication(KrAppViewportBase* host, bool windowed);

// The host of the game, its storage already filled with the game's built-in files and
// template variables. The arguments are not used here: the front end gives the host its
// argument vector, and the host passes the windowed flag to the factory when it runs.
std::unique_ptr<KrAppViewportBase> createViewport(int argumentCount, char** argumentVector,
                                                  bool windowed);

}  // namespace kr
