#include "frontend/window/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "XTools.h"
#include "app/KrAppViewportBase.h"
#include "app/KrNuxelApplication2.h"
#include "foundation/KrException.h"
#include "frontend/window/IconFile.h"
#include "frontend/window/KrXAppWindow.h"
#include "game/BuiltInFiles.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

using namespace std::chrono_literals;
using platform::XWindowId;

constexpr const char* kMainTitle = "^XGridlo$";
constexpr const char* kAboutTitle = "^Info about XGridlo$";

// The log of a whole run: the host runs the application, stops it after the loop, and
// deletes it.
const std::vector<std::string> kWholeRun{"factory windowed", "init", "start", "stop",
                                         "delete application"};

// What the host and its application did, in order; written on the front end's thread.
class Log {
public:
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }

    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;  // guards entries_; no lock is taken after it
    std::vector<std::string> entries_;
};

// An application that opens no listener and logs what its host asks of it.
class LoggedApplication : public KrNuxelApplication2 {
public:
    LoggedApplication(KrPersistentAppStorage* storage, Log& log)
        : KrNuxelApplication2(storage, {}, {}), log_(log) {}
    ~LoggedApplication() override { log_.add("delete application"); }

    void init() override { log_.add("init"); }
    void start() override { log_.add("start"); }
    void stop() override { log_.add("stop"); }

private:
    Log& log_;
};

// The program's run as the entry point makes it, on a thread of its own: the host, the
// front end, its run, then the host deleted before the exit code is read. The test acts on
// the windows meanwhile.
class RunningFrontEnd {
public:
    RunningFrontEnd() : exit_(promise_.get_future().share()), thread_([this] { body(); }) {}

    ~RunningFrontEnd() {
        // A test that failed half-way leaves the loop running: destroying the window ends it.
        if (!finished()) {
            for (XWindowId window : xtools::shownWindows(kMainTitle)) {
                xtools::run({"xdotool", "windowclose", std::to_string(window)});
            }
        }
    }

    // The loop's exit code, or nothing when it runs on past a generous limit. Rethrows what
    // the front end threw.
    std::optional<int> waitForExit() {
        if (exit_.wait_for(60s) != std::future_status::ready) {
            return std::nullopt;
        }
        return exit_.get();
    }

    bool finished() const { return exit_.wait_for(0s) == std::future_status::ready; }

    Log log;
    // The argument vector the host held while the application ran.
    std::vector<std::string> arguments;

private:
    void body() {
        try {
            auto host = std::make_unique<KrAppViewportBase>(
                "XGridlo", "Gridlo",
                [this](KrAppViewportBase* host, bool windowed) {
                    log.add(std::string("factory ") + (windowed ? "windowed" : "console"));
                    return std::make_unique<LoggedApplication>(host->storage(), log);
                },
                [](KrPersistentAppStorage&) {});
            KrNuxelXAppAddOn frontEnd(host.get());
            frontEnd.beforeRun();
            frontEnd.run();
            frontEnd.afterRun();
            char** vector = host->argumentVector();
            for (int i = 0; i < host->argumentCount(); ++i) {
                arguments.emplace_back(vector[i]);
            }
            if (vector != nullptr && vector[host->argumentCount()] == nullptr) {
                arguments.emplace_back("(end)");
            }
            host.reset();
            promise_.set_value(frontEnd.exitCode());
        } catch (...) {
            promise_.set_exception(std::current_exception());
        }
    }

    std::promise<int> promise_;
    std::shared_future<int> exit_;
    std::jthread thread_;
};

std::pair<int, int> centre(const platform::XRect& area) {
    return {area.x + area.width / 2, area.y + area.height / 2};
}

std::string hexId(XWindowId window) {
    std::ostringstream text;
    text << "0x" << std::hex << window;
    return text.str();
}

// Every test needs an X server; under ctest the test program runs inside
// run-with-x-server.sh, which starts a server for it.
class WindowedFrontEnd : public testing::Test {
protected:
    void SetUp() override {
        display_ = platform::XDisplay::open();
        if (!display_) {
            return xtools::endTestWithoutServer();
        }
        menus_ = KrXMenuLayout::forDisplay(*display_);
        about_ = KrXAboutLayout::forDisplay(*display_);
    }

    // Starts the front end and waits for its window.
    XWindowId start() {
        frontEnd_ = std::make_unique<RunningFrontEnd>();
        const XWindowId window = xtools::waitForWindow(kMainTitle);
        EXPECT_NE(window, 0u) << "the main window did not appear";
        return window;
    }

    void chooseMenuItem(XWindowId window, std::size_t menu) {
        const auto [titleX, titleY] = centre(menus_.menus[menu].title.area);
        xtools::click(window, titleX, titleY);
        const auto [itemX, itemY] = centre(menus_.menus[menu].item.area);
        xtools::click(window, itemX, itemY);
    }

    // Quits with the key "q" and expects the loop to end with 0.
    void quitWithQ(XWindowId window) {
        xtools::pressKey(window, "q");
        EXPECT_EQ(frontEnd_->waitForExit(), std::optional<int>(0));
    }

    std::unique_ptr<platform::XDisplay> display_;  // the test's own connection
    KrXMenuLayout menus_;
    KrXAboutLayout about_;
    std::unique_ptr<RunningFrontEnd> frontEnd_;
};

TEST_F(WindowedFrontEnd, ShowsA300By400WindowTitledXGridloOfClassXFESKOY) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    EXPECT_EQ(xtools::property(window, "WM_CLASS"),
              "WM_CLASS(STRING) = \"XGridlo\", \"XFESKOY\"\n");
    EXPECT_EQ(xtools::property(window, "WM_NAME"), "WM_NAME(STRING) = \"XGridlo\"\n");
    EXPECT_EQ(xtools::property(window, "_NET_WM_NAME"),
              "_NET_WM_NAME(UTF8_STRING) = \"XGridlo\"\n");
    EXPECT_NE(xtools::property(window, "WM_PROTOCOLS").find("WM_DELETE_WINDOW"), std::string::npos);
    EXPECT_NE(xtools::xdotool({"search", "--class", "^XFESKOY$"}).find(std::to_string(window)),
              std::string::npos);
    EXPECT_NE(
        xtools::xdotool({"getwindowgeometry", std::to_string(window)}).find("Geometry: 300x400"),
        std::string::npos);
    quitWithQ(window);
}

TEST_F(WindowedFrontEnd, RunsTheHostBeforeTheLoopAndStopsItAfter) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    // The About window shows that the loop runs, and so that the host has been run.
    xtools::pressKey(window, "alt+question");
    const XWindowId about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u);
    EXPECT_EQ(frontEnd_->log.entries(),
              (std::vector<std::string>{"factory windowed", "init", "start"}));
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    quitWithQ(window);
    EXPECT_EQ(frontEnd_->log.entries(), kWholeRun);
    // Programs carry no ".exe" here.
    EXPECT_EQ(frontEnd_->arguments, (std::vector<std::string>{"XGridlo", "(end)"}));
}

// Every way the user ends the program ends the loop with 0 and stops the host.
enum class Quit { KeyQ, MenuExit, CloseRequest, WindowDestroyed };

struct QuitCase {
    const char* name;
    Quit way;
};

void PrintTo(const QuitCase& quit, std::ostream* out) { *out << quit.name; }

class QuitPaths : public WindowedFrontEnd, public testing::WithParamInterface<QuitCase> {};

TEST_P(QuitPaths, EndTheLoopWithCodeZero) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    switch (GetParam().way) {
        case Quit::KeyQ: xtools::pressKey(window, "q"); break;
        case Quit::MenuExit: chooseMenuItem(window, 0); break;
        case Quit::CloseRequest: display_->sendCloseRequest(window); break;
        case Quit::WindowDestroyed: xtools::xdotool({"windowclose", std::to_string(window)}); break;
    }
    EXPECT_EQ(frontEnd_->waitForExit(), std::optional<int>(0));
    EXPECT_EQ(frontEnd_->log.entries(), kWholeRun);
}

INSTANTIATE_TEST_SUITE_P(Windowed, QuitPaths,
                         testing::Values(QuitCase{"KeyQ", Quit::KeyQ},
                                         QuitCase{"MenuBeenden", Quit::MenuExit},
                                         QuitCase{"CloseRequest", Quit::CloseRequest},
                                         QuitCase{"WindowDestroyed", Quit::WindowDestroyed}),
                         [](const auto& info) { return std::string(info.param.name); });

// Keys that look like "q" but are not the lower-case character do not quit. The About
// window that opens afterwards shows that the loop went on past them.
class KeysThatDoNotQuit : public WindowedFrontEnd,
                          public testing::WithParamInterface<const char*> {};

TEST_P(KeysThatDoNotQuit, LeaveTheLoopRunning) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    xtools::pressKey(window, GetParam());
    xtools::pressKey(window, "alt+question");
    const XWindowId about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u) << "the loop ended on " << GetParam();
    EXPECT_FALSE(frontEnd_->finished());
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    quitWithQ(window);
}

INSTANTIATE_TEST_SUITE_P(Windowed, KeysThatDoNotQuit,
                         testing::Values("shift+q", "ctrl+q", "alt+q", "w"));

// The About window opens from the menu and from both accelerators, belongs to the main
// window, and closes with its button, the keyboard or the window manager.
enum class Open { MenuInfo, AltQuestionMark, AltSlash };
enum class Close { OkButton, Return, Escape, CloseRequest };

struct AboutCase {
    const char* name;
    Open open;
    Close close;
};

void PrintTo(const AboutCase& about, std::ostream* out) { *out << about.name; }

class AboutWindow : public WindowedFrontEnd, public testing::WithParamInterface<AboutCase> {};

TEST_P(AboutWindow, OpensOverTheMainWindowAndCloses) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    switch (GetParam().open) {
        case Open::MenuInfo: chooseMenuItem(window, 1); break;
        case Open::AltQuestionMark: xtools::pressKey(window, "alt+question"); break;
        case Open::AltSlash: xtools::pressKey(window, "alt+slash"); break;
    }
    const XWindowId about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u);
    EXPECT_EQ(xtools::property(about, "WM_TRANSIENT_FOR"),
              "WM_TRANSIENT_FOR(WINDOW): window id # " + hexId(window) + "\n");
    EXPECT_EQ(xtools::property(about, "WM_CLASS"), "WM_CLASS(STRING) = \"XGridlo\", \"XFESKOY\"\n");
    switch (GetParam().close) {
        case Close::OkButton: {
            const auto [x, y] = centre(about_.button);
            xtools::click(about, x, y);
            break;
        }
        case Close::Return: xtools::pressKey(about, "Return"); break;
        case Close::Escape: xtools::pressKey(about, "Escape"); break;
        case Close::CloseRequest: display_->sendCloseRequest(about); break;
    }
    EXPECT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    EXPECT_FALSE(frontEnd_->finished());
    quitWithQ(window);
}

INSTANTIATE_TEST_SUITE_P(
    Windowed, AboutWindow,
    testing::Values(AboutCase{"MenuInfoThenOk", Open::MenuInfo, Close::OkButton},
                    AboutCase{"AltQuestionMarkThenReturn", Open::AltQuestionMark, Close::Return},
                    AboutCase{"AltSlashThenEscape", Open::AltSlash, Close::Escape},
                    AboutCase{"MenuInfoThenCloseRequest", Open::MenuInfo, Close::CloseRequest}),
    [](const auto& info) { return std::string(info.param.name); });

// Whether the captured area shows the icon over the white background: its opaque pixels as
// they are, its transparent ones white. (Half-transparent edge pixels are blends.)
bool showsIcon(const platform::XArgbImage& shown, const platform::XArgbImage& icon) {
    if (shown.width != icon.width || shown.height != icon.height) {
        return false;
    }
    std::size_t opaque = 0;
    for (std::size_t i = 0; i < icon.pixels.size(); ++i) {
        const std::uint32_t alpha = icon.pixels[i] >> 24;
        if (alpha == 0xff) {
            ++opaque;
        }
        if ((alpha == 0xff && shown.pixels[i] != icon.pixels[i]) ||
            (alpha == 0 && shown.pixels[i] != 0xffffffffu)) {
            return false;
        }
    }
    return opaque > 0;
}

TEST_F(WindowedFrontEnd, AboutWindowDrawsTheIconBesideItsText) {
    platform::XArgbImage icon;
    for (platform::XArgbImage& image : kr::decodeIconFile(kr::builtInIcon().contentString())) {
        if (image.width == KrXAboutLayout::kIconSide) {
            icon = std::move(image);
        }
    }
    ASSERT_FALSE(icon.pixels.empty()) << "the icon file holds no 32 pixel image";
    ASSERT_LE(about_.icon.x + about_.icon.width, about_.textLeft) << "the icon is beside the text";

    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    xtools::pressKey(window, "alt+question");
    const XWindowId about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u);
    // The window paints once the server has shown it; wait for that, generously.
    platform::XArgbImage shown;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    do {
        shown = display_->capture(about, about_.icon);
        if (showsIcon(shown, icon)) {
            break;
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_TRUE(showsIcon(shown, icon));
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    quitWithQ(window);
}

// The menus from the keyboard alone. Each case presses its keys in the main window and
// ends in one of three ways.
enum class After { Exits, AboutOpens, RunsOn };

struct MenuKeysCase {
    const char* name;
    std::vector<std::string> keys;
    After after;
};

void PrintTo(const MenuKeysCase& keys, std::ostream* out) { *out << keys.name; }

class MenuKeys : public WindowedFrontEnd, public testing::WithParamInterface<MenuKeysCase> {};

TEST_P(MenuKeys, ReachTheMenuItems) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    for (const std::string& key : GetParam().keys) {
        xtools::pressKey(window, key);
    }
    switch (GetParam().after) {
        case After::Exits:
            EXPECT_EQ(frontEnd_->waitForExit(), std::optional<int>(0));
            EXPECT_EQ(frontEnd_->log.entries(), kWholeRun);
            return;
        case After::AboutOpens: {
            const XWindowId about = xtools::waitForWindow(kAboutTitle);
            ASSERT_NE(about, 0u);
            xtools::pressKey(about, "Escape");
            break;
        }
        case After::RunsOn: {
            // Escape closes a menu that is still open; the accelerator then shows that the
            // loop goes on and that the keys ran nothing.
            xtools::pressKey(window, "Escape");
            xtools::pressKey(window, "alt+question");
            const XWindowId about = xtools::waitForWindow(kAboutTitle);
            ASSERT_NE(about, 0u) << "the loop ended";
            EXPECT_FALSE(frontEnd_->finished());
            xtools::pressKey(about, "Escape");
            break;
        }
    }
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    quitWithQ(window);
}

INSTANTIATE_TEST_SUITE_P(
    Windowed, MenuKeys,
    testing::Values(
        // Alt and a title's letter open its menu; the item's letter runs the item.
        MenuKeysCase{"AltDThenB", {"alt+d", "b"}, After::Exits},
        MenuKeysCase{"AltHThenI", {"alt+h", "i"}, After::AboutOpens},
        MenuKeysCase{"UpperCaseLetters", {"alt+shift+d", "shift+b"}, After::Exits},
        // The menu opens with its item chosen; Return runs it.
        MenuKeysCase{"AltDThenReturn", {"alt+d", "Return"}, After::Exits},
        MenuKeysCase{"AltHThenReturn", {"alt+h", "Return"}, After::AboutOpens},
        MenuKeysCase{"AltDDownReturn", {"alt+d", "Down", "Return"}, After::Exits},
        MenuKeysCase{"AltHUpReturn", {"alt+h", "Up", "Return"}, After::AboutOpens},
        // Left and Right go from menu to menu, round the bar.
        MenuKeysCase{"AltDRightReturn", {"alt+d", "Right", "Return"}, After::AboutOpens},
        MenuKeysCase{"AltHLeftReturn", {"alt+h", "Left", "Return"}, After::Exits},
        MenuKeysCase{"AltHRightReturn", {"alt+h", "Right", "Return"}, After::Exits},
        MenuKeysCase{"AltDLeftThenI", {"alt+d", "Left", "i"}, After::AboutOpens},
        MenuKeysCase{"AltDThenAltHThenI", {"alt+d", "alt+h", "i"}, After::AboutOpens},
        // Escape closes the menu: its letter is then an ordinary key again.
        MenuKeysCase{"AltDEscapeThenB", {"alt+d", "Escape", "b"}, After::RunsOn},
        MenuKeysCase{"AltDEscapeThenQ", {"alt+d", "Escape", "q"}, After::Exits},
        // The open menu takes every key: another menu's letter and "q" do nothing.
        MenuKeysCase{"AltDThenI", {"alt+d", "i"}, After::RunsOn},
        MenuKeysCase{"AltDThenQ", {"alt+d", "q"}, After::RunsOn},
        // Without an open menu the item letters are ordinary keys; Alt with a letter that
        // marks no title opens nothing.
        MenuKeysCase{"BAlone", {"b"}, After::RunsOn},
        MenuKeysCase{"IAlone", {"i", "Return"}, After::RunsOn},
        MenuKeysCase{"AltXThenB", {"alt+x", "b"}, After::RunsOn}),
    [](const auto& info) { return std::string(info.param.name); });

// A menu opened with the mouse takes the item's letter as well; it opens with nothing chosen,
// so Return alone runs nothing until an arrow key chooses the item.
TEST_F(WindowedFrontEnd, AMenuOpenedWithTheMouseTakesKeysToo) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    const auto [fileX, fileY] = centre(menus_.menus[0].title.area);
    const auto [helpX, helpY] = centre(menus_.menus[1].title.area);
    xtools::click(window, helpX, helpY);
    xtools::pressKey(window, "Return");
    xtools::pressKey(window, "Escape");
    xtools::pressKey(window, "alt+question");
    XWindowId about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u);
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));

    xtools::click(window, helpX, helpY);
    xtools::pressKey(window, "Down");
    xtools::pressKey(window, "Return");
    about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u);
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));

    xtools::click(window, fileX, fileY);
    xtools::pressKey(window, "b");
    EXPECT_EQ(frontEnd_->waitForExit(), std::optional<int>(0));
}

// Whether every pixel of the area is black (true) or white (false) on screen.
bool allOf(const platform::XArgbImage& shown, std::uint32_t colour) {
    return !shown.pixels.empty() &&
           std::all_of(shown.pixels.begin(), shown.pixels.end(),
                       [colour](std::uint32_t pixel) { return pixel == colour; });
}

constexpr std::uint32_t kBlack = 0xff000000;
constexpr std::uint32_t kWhite = 0xffffffff;

// The marked letters are underlined: the titles' on the bar, the item's in the open menu.
// The rest of the row under each text stays white.
TEST_F(WindowedFrontEnd, TheMarkedLettersAreUnderlined) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    const auto shows = [&](const KrXMenuLayout::Label& label, bool underlined) {
        const platform::XRect& line = label.underline;
        const platform::XRect rest{line.x + line.width, line.y,
                                   label.area.x + label.area.width - 8 - (line.x + line.width), 1};
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        do {
            if (allOf(display_->capture(window, line), underlined ? kBlack : kWhite) &&
                allOf(display_->capture(window, rest), kWhite)) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    };
    for (const KrXMenuLayout::Menu& menu : menus_.menus) {
        ASSERT_EQ(menu.title.underline.height, 1);
        ASSERT_GT(menu.title.underline.width, 0);
        EXPECT_TRUE(shows(menu.title, true)) << menu.title.text.shown;
    }
    // Opened with the mouse, the item is not highlighted: black on white as on the bar.
    const auto [x, y] = centre(menus_.menus[0].title.area);
    xtools::click(window, x, y);
    EXPECT_TRUE(shows(menus_.menus[0].item, true)) << "the open menu's item";
    xtools::pressKey(window, "Escape");
    quitWithQ(window);
}

// While the About window is open the main window takes no input, as under a modal dialog:
// neither "q" nor its close request ends the loop.
TEST_F(WindowedFrontEnd, MainWindowIgnoresInputWhileAboutIsOpen) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    xtools::pressKey(window, "alt+question");
    XWindowId about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u);
    xtools::pressKey(window, "q");
    display_->sendCloseRequest(window);
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    // Opening it again shows that the loop is still running.
    xtools::pressKey(window, "alt+slash");
    about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u);
    xtools::pressKey(about, "Return");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    quitWithQ(window);
}

// A click outside the open menu's item closes the menu without running the command.
TEST_F(WindowedFrontEnd, ClickBesideAnOpenMenuOnlyClosesIt) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    const auto [titleX, titleY] = centre(menus_.menus[0].title.area);
    xtools::click(window, titleX, titleY);
    xtools::click(window, 150, 300);
    // The place where "Beenden" was is plain window now.
    const auto [itemX, itemY] = centre(menus_.menus[0].item.area);
    xtools::click(window, itemX, itemY);
    xtools::pressKey(window, "alt+question");
    const XWindowId about = xtools::waitForWindow(kAboutTitle);
    ASSERT_NE(about, 0u) << "the loop ended";
    xtools::pressKey(about, "Escape");
    ASSERT_TRUE(xtools::waitUntilNoWindow(kAboutTitle));
    quitWithQ(window);
}

// When the server drops the connection the process goes on: the loop ends with 1, and the
// host is still stopped and deleted in order.
TEST_F(WindowedFrontEnd, LostConnectionEndsTheLoopWithOne) {
    const XWindowId window = start();
    ASSERT_NE(window, 0u);
    xtools::xdotool({"windowkill", std::to_string(window)});
    EXPECT_EQ(frontEnd_->waitForExit(), std::optional<int>(1));
    EXPECT_EQ(frontEnd_->log.entries(), kWholeRun);
}

TEST(WindowedFrontEndWithoutServer, RefusesToStart) {
    // No server listens on this display number.
    try {
        KrXAppWindow window(":4093");
        FAIL() << "a window without a server";
    } catch (const KrException& error) {
        EXPECT_STREQ(error.what(), "can't initialise instance");
    }
}

}  // namespace
