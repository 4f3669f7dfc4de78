#pragma once

#include <string>
#include <vector>

#include "platform/XDisplay.h"

// The command-line X tools (xdotool, xprop) that the tests drive and inspect windows with,
// as a user and a window manager would: they act on the server, not on our objects.
namespace xtools {

// Set (to the launcher's name) by the launcher that ctest runs the X tests in.
inline constexpr const char* kLauncherVariable = "GRIDLO_X_LAUNCHER";

// Ends the current test when no X server can be reached; the caller returns at once. Inside
// the launcher, which gives every test a server of its own, that is a failure; elsewhere (a
// test program started by hand without a display) the test is skipped.
void endTestWithoutServer();

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error
};

// Runs a program (found on PATH) with the arguments, in this process's environment.
ToolRun run(const std::vector<std::string>& command);

// Runs xdotool with the arguments; fails the current test when it does not exit with 0.
std::string xdotool(const std::vector<std::string>& arguments);

// The shown windows whose title matches the regular expression, now.
std::vector<platform::XWindowId> shownWindows(const std::string& titlePattern);

// Waits until exactly one shown window has a title matching the pattern and returns it;
// 0 when none comes within a generous limit.
platform::XWindowId waitForWindow(const std::string& titlePattern);

// Waits until no shown window has a title matching the pattern; false when one stays.
bool waitUntilNoWindow(const std::string& titlePattern);

// A property of the window as xprop prints it ("WM_CLASS(STRING) = ...").
std::string property(platform::XWindowId window, const std::string& name);

// The window's icons (_NET_WM_ICON) as xprop reads them: width, height and pixels of each,
// in the property's order. Empty when the window has none.
std::vector<platform::XArgbImage> icons(platform::XWindowId window);

// Key presses sent to the window (xdotool key names: "q", "shift+q", "alt+question").
void pressKey(platform::XWindowId window, const std::string& keys);

// A click of the left button at (x, y) inside the window.
void click(platform::XWindowId window, int x, int y);

}  // namespace xtools
