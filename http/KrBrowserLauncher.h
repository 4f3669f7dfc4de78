#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

class KrRarediScheduler2;

namespace platform {
class WakeEvent;
}

// Opens the start page in the user's browser. The hand-over runs as a job on the
// application's scheduler, so the caller never waits for the launcher program.
//
// The launcher is the desktop's "xdg-open", found on PATH: it gets the address as its one
// argument and leads a session of its own with its standard streams on /dev/null. Its exit
// is awaited for a short while: a non-zero status is a refused launch (xdg-open exits with 3
// when it finds no browser), which the caller hears of and tells the user where the page is.
// A launcher still running after the wait (a browser that stays in the foreground) counts as
// a success and is reaped in the background.

namespace kr {

// The launcher program, looked up on PATH.
inline constexpr std::string_view kBrowserLauncherProgram = "xdg-open";
// The only type a browser is asked to open, compared byte for byte.
inline constexpr std::string_view kBrowserMimeType = "text/html";
// The name of the launch job on the scheduler.
inline constexpr std::string_view kBrowserJobName = "intention";
// How long the launch job waits for the launcher's exit status.
inline constexpr std::chrono::milliseconds kBrowserLaunchWait{std::chrono::seconds{10}};

// Told once, from the launch job, whether the launcher took the address: false when it
// refused (a non-zero exit status, or it could not be started).
using BrowserLaunchOutcome = std::function<void(bool opened)>;

}  // namespace kr

// A small handle that holds the scheduler the launch job goes to (not owned), and how long
// that job waits for the launcher's exit.
struct KrBrowserLauncher {
    KrRarediScheduler2* scheduler = nullptr;
    std::chrono::milliseconds wait = kr::kBrowserLaunchWait;
};

namespace kr {

// Submits the launch of address and answers true; outcome (when given) hears later whether
// the launcher took it. False, with nothing done, when mimeType is not exactly "text/html",
// when the launcher has no scheduler, or when no launcher program can be found: then the
// address cannot be handed over and the caller tells the user where the page is.
//
// A stopping scheduler cuts the wait short: the launch then counts as a success.
bool openUrlInBrowser(const KrBrowserLauncher& launcher, std::string_view address,
                      std::string_view mimeType, BrowserLaunchOutcome outcome = {});

// The body of the launch job: shellOpenUrl, then outcome (when given) with its result.
void openInBrowser(const std::string& address, std::chrono::milliseconds wait,
                   const platform::WakeEvent* stop, const BrowserLaunchOutcome& outcome);

// Starts the launcher program with the address and waits up to wait for its exit, or until
// stop (when given) is signalled. False when the launcher cannot be started or exits with a
// status other than 0; true when it exits with 0 or still runs (it is then reaped in the
// background). Reads PATH and copies the environment, and changes neither, so it may run
// on any thread.
bool shellOpenUrl(const std::string& address, std::chrono::milliseconds wait = kBrowserLaunchWait,
                  const platform::WakeEvent* stop = nullptr);

}  // namespace kr
