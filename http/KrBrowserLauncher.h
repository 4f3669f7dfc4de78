#pragma once

#include <string>
#include <string_view>

class KrRarediScheduler2;

// Opens the start page in the user's browser. The hand-over runs as a job on the
// application's scheduler, so the caller never waits for the launcher program.
//
// The launcher is the desktop's "xdg-open", found on PATH: it gets the address as its one
// argument, leads a session of its own with its standard streams on /dev/null, and is
// reaped in the background. Whether a browser then shows the page is the desktop's affair.

// A small handle that holds only the scheduler the launch job goes to (not owned).
struct KrBrowserLauncher {
    KrRarediScheduler2* scheduler = nullptr;
};

namespace kr {

// The launcher program, looked up on PATH.
inline constexpr std::string_view kBrowserLauncherProgram = "xdg-open";
// The only type a browser is asked to open, compared byte for byte.
inline constexpr std::string_view kBrowserMimeType = "text/html";
// The name of the launch job on the scheduler.
inline constexpr std::string_view kBrowserJobName = "intention";

// Submits the launch of address and answers true. False, with nothing done, when mimeType
// is not exactly "text/html", when the launcher has no scheduler, or when no launcher
// program can be found: then the address cannot be handed over and the caller tells the
// user where the page is.
bool openUrlInBrowser(const KrBrowserLauncher& launcher, std::string_view address,
                      std::string_view mimeType);

// The body of the launch job.
void openInBrowser(const std::string& address);

// Starts the launcher program with the address; true when it was started. Reads PATH and
// copies the environment, and changes neither, so it may run on any thread.
bool shellOpenUrl(const std::string& address);

}  // namespace kr
