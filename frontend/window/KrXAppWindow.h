#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "frontend/window/MnemonicText.h"
#include "platform/XDisplay.h"

// Where the parts of the main window's menu bar are drawn; they follow the font's size.
struct KrXMenuLayout {
    // A title or an item: its text, the area it takes, and the line under its marked letter.
    struct Label {
        KrMnemonicText text;
        platform::XRect area;
        platform::XRect underline;  // empty when the text marks no letter
    };
    struct Menu {
        Label title;  // in the bar: a click opens (or closes) the menu
        Label item;   // the open menu's one item, below the title
        int command = 0;
    };

    int barHeight = 0;
    std::array<Menu, 2> menus;

    static KrXMenuLayout forDisplay(const platform::XDisplay& display);
};

// Where the parts of the About window are drawn.
struct KrXAboutLayout {
    // The icon's side, beside the text; the icon file holds an image of this size.
    static constexpr int kIconSide = 32;

    platform::XRect frame;  // relative to the screen
    platform::XRect icon;
    int textLeft = 0;
    int versionTop = 0;
    int noticeTop = 0;
    platform::XRect button;  // "OK"

    static KrXAboutLayout forDisplay(const platform::XDisplay& display);
};

// The windowed program's main window: the title, a notice and the quit hint painted below
// a drawn menu bar ("Datei" / "Beenden", "Hilfe" / "Info..."), and a modal About window
// that shows the game's icon beside its text. Both windows carry the icon (the browser
// icon's 64 and 32 pixel images) for the window manager.
// Everything runs on the thread that calls pumpMessages; the class keeps no lock.
//
// The loop ends with code 0 on the key "q" (lower case, without Alt), on "Beenden", and
// when the window is closed or destroyed; with code 1 when the X server goes away.
//
// The menus work from the keyboard as desktop menus do: Alt and a title's marked letter
// opens that menu with its item chosen; inside an open menu an item's marked letter runs
// it, Left and Right go to the other menu, Up and Down choose the item, Return runs the
// chosen item and Escape closes the menu. An open menu takes every key, so "q" does not
// quit while it shows.
class KrXAppWindow {
public:
    static constexpr int kCommandAbout = 104;
    static constexpr int kCommandExit = 105;

    static constexpr platform::XRect kFrame{0, 0, 300, 400};

    // Connects to the X server (displayName empty: the DISPLAY variable) and shows the
    // main window. Throws KrException "can't initialise instance" when there is no server
    // or no window.
    explicit KrXAppWindow(std::string_view displayName = {});
    ~KrXAppWindow();

    KrXAppWindow(const KrXAppWindow&) = delete;
    KrXAppWindow& operator=(const KrXAppWindow&) = delete;

    // Handles the windows' events until the loop is told to quit, and returns the quit
    // code. Once it has quit, it returns that code again at once.
    int pumpMessages();

private:
    void dispatch(const platform::XWindowEvent& event);
    void mainWindowEvent(const platform::XWindowEvent& event);
    void aboutWindowEvent(const platform::XWindowEvent& event);

    void keyPressed(const platform::XWindowEvent& event);
    void menuKeyPressed(const platform::XWindowEvent& key);
    void buttonPressed(const platform::XWindowEvent& event);
    void command(int command);

    void paintMain();
    void paintAbout();
    // Opens the menu (nothing: closes the open one); from the keyboard with its item chosen.
    void openMenu(std::optional<std::size_t> menu, bool itemChosen = false);
    void paintLabel(const KrXMenuLayout::Label& label);
    void openAbout();
    void closeAbout();
    void destroyMain();
    void postQuit(int code);

    std::unique_ptr<platform::XDisplay> display_;
    std::vector<platform::XArgbImage> icons_;  // every size the icon file holds
    KrXMenuLayout menuLayout_;
    KrXAboutLayout aboutLayout_;
    platform::XWindowId main_ = 0;
    platform::XWindowId about_ = 0;        // 0 while the About window is closed
    std::optional<std::size_t> openMenu_;  // the menu whose item is showing
    bool itemChosen_ = false;              // the open menu's item is highlighted
    bool closing_ = false;                 // the main window has been told to go
    std::optional<int> quitCode_;
};
