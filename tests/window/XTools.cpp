#include "XTools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "platform/ChildProcess.h"
#include "platform/Environment.h"
#include "platform/Pipe.h"

namespace xtools {

namespace {

using namespace std::chrono_literals;

// Long enough for a loaded machine under a sanitizer; a working window needs milliseconds.
constexpr auto kPatience = 60s;
constexpr auto kPollStep = 20ms;

}  // namespace

void endTestWithoutServer() {
    const std::string launcher = platform::environmentValue(kLauncherVariable);
    if (!launcher.empty()) {
        FAIL() << "no X server can be reached inside " << launcher << " (DISPLAY \""
               << platform::environmentValue("DISPLAY") << "\")";
    }
    GTEST_SKIP() << "no X server can be reached (DISPLAY is not set or not running)";
}

ToolRun run(const std::vector<std::string>& command) {
    ToolRun result;
    auto pipe = platform::openPipe();
    if (!pipe) {
        result.output = "no pipe: " + platform::errorText(pipe.error);
        return result;
    }
    platform::SpawnOptions options;
    options.program = command.front();
    options.arguments.assign(command.begin() + 1, command.end());
    options.environment = platform::environmentSnapshot();
    options.input = platform::ChildStream::null();
    options.output = platform::ChildStream::to(pipe.value.writeEnd);
    options.error = platform::ChildStream::to(pipe.value.writeEnd);
    auto child = platform::ChildProcess::spawn(options);
    pipe.value.writeEnd.reset();
    if (!child) {
        result.output = command.front() + " does not start: " + platform::errorText(child.error);
        return result;
    }
    char buffer[4096];
    for (;;) {
        const platform::IoResult read = platform::readSome(pipe.value.readEnd, buffer);
        if (!read.ok() || read.bytes == 0) {
            break;
        }
        result.output.append(buffer, read.bytes);
    }
    const auto exit = child.value.wait();
    if (exit) {
        result.exitCode = exit.value.exitCode;
    }
    return result;
}

std::string xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const ToolRun result = run(command);
    std::string shown;
    for (const std::string& argument : arguments) {
        shown += " " + argument;
    }
    EXPECT_EQ(result.exitCode, 0) << "xdotool" << shown << ": " << result.output;
    return result.output;
}

std::vector<platform::XWindowId> shownWindows(const std::string& titlePattern) {
    // Exit code 1: nothing found.
    const ToolRun result = run({"xdotool", "search", "--onlyvisible", "--name", titlePattern});
    std::vector<platform::XWindowId> windows;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
            windows.push_back(std::stoul(line));
        }
    }
    return windows;
}

platform::XWindowId waitForWindow(const std::string& titlePattern) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto windows = shownWindows(titlePattern);
        if (windows.size() == 1) {
            return windows.front();
        }
        std::this_thread::sleep_for(kPollStep);
    }
    return 0;
}

bool waitUntilNoWindow(const std::string& titlePattern) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (shownWindows(titlePattern).empty()) {
            return true;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    return false;
}

std::string property(platform::XWindowId window, const std::string& name) {
    const ToolRun result = run({"xprop", "-id", std::to_string(window), name});
    return result.output;
}

std::vector<platform::XArgbImage> icons(platform::XWindowId window) {
    // "32c": 32-bit cardinals; the format prints them all, comma-separated, after a "=".
    const ToolRun result = run({"xprop", "-id", std::to_string(window), "-notype", "-f",
                                "_NET_WM_ICON", "32c", "=$0+", "_NET_WM_ICON"});
    std::vector<platform::XArgbImage> found;
    const std::size_t equals = result.output.find('=');
    if (result.exitCode != 0 || equals == std::string::npos) {
        return found;
    }
    std::vector<std::uint32_t> values;
    std::istringstream list(result.output.substr(equals + 1));
    for (std::string value; std::getline(list, value, ',');) {
        values.push_back(static_cast<std::uint32_t>(std::stoul(value)));
    }
    for (std::size_t at = 0; at + 2 <= values.size();) {
        platform::XArgbImage icon;
        icon.width = static_cast<int>(values[at]);
        icon.height = static_cast<int>(values[at + 1]);
        const std::size_t count = static_cast<std::size_t>(icon.width) * icon.height;
        at += 2;
        const std::size_t end = std::min(values.size(), at + count);
        icon.pixels.assign(values.begin() + static_cast<std::ptrdiff_t>(at),
                           values.begin() + static_cast<std::ptrdiff_t>(end));
        at = end;
        found.push_back(std::move(icon));
    }
    return found;
}

void pressKey(platform::XWindowId window, const std::string& keys) {
    // Presses only: a key that closes the window would leave its release without a window
    // to go to, and sent events change no real keyboard state.
    xdotool({"keydown", "--window", std::to_string(window), keys});
}

void click(platform::XWindowId window, int x, int y) {
    xdotool({"mousemove", "--window", std::to_string(window), std::to_string(x), std::to_string(y),
             "click", "1"});
}

}  // namespace xtools
