#include "frontend/window/KrXAppWindow.h"

#include <algorithm>

#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "frontend/window/IconFile.h"
#include "frontend/window/WindowTexts.h"
#include "game/BuiltInFiles.h"

namespace {

using platform::XRect;
using platform::XWindowEvent;
using Kind = platform::XWindowEvent::Kind;

// Space around a menu title or item, and the left edge of the painted lines.
constexpr int kMenuPadX = 8;
constexpr int kMenuPadY = 4;
constexpr int kTextLeft = 5;
// The painted lines' tops below the menu bar, as the window was first laid out.
constexpr int kTitleTop = 20;
constexpr int kNoticeTop = 40;
constexpr int kQuitHintTop = 60;

// The About window opens here (a window manager may place it elsewhere).
constexpr int kAboutLeft = 20;
constexpr int kAboutTop = 80;
constexpr int kAboutMargin = 20;
constexpr int kAboutIconGap = 16;
constexpr int kAboutMinWidth = 220;
constexpr int kAboutButtonWidth = 75;

constexpr unsigned kAllInput =
    platform::kXExposure | platform::kXKeys | platform::kXButtons | platform::kXStructure;

// The characters of the keys that close the About window: Return and Space choose "OK",
// the default button; Escape cancels.
bool closesAbout(std::string_view text) { return text == "\r" || text == " " || text == "\x1b"; }

// Alt + "?" and Alt + "/" open the About window, like "Info...".
bool isAboutAccelerator(const XWindowEvent& key) {
    return key.alt && (key.text == "?" || key.text == "/");
}

}  // namespace

KrXMenuLayout KrXMenuLayout::forDisplay(const platform::XDisplay& display) {
    KrXMenuLayout layout;
    const int rowHeight = display.font().height() + 2 * kMenuPadY;
    layout.barHeight = rowHeight;
    const struct {
        std::string_view title;
        std::string_view item;
        int command;
    } entries[] = {
        {kr::kMenuFile, kr::kMenuFileExit, KrXAppWindow::kCommandExit},
        {kr::kMenuHelp, kr::kMenuHelpAbout, KrXAppWindow::kCommandAbout},
    };
    // The text stands kMenuPadX, kMenuPadY inside the area; the underline is the pixel row
    // below the marked letter's baseline.
    const auto label = [&display](std::string_view marked, const XRect& area) {
        Label made{KrMnemonicText::parse(marked), area, {}};
        if (made.text.underlined != KrMnemonicText::kNone) {
            const std::string_view shown = made.text.shown;
            made.underline = {
                area.x + kMenuPadX + display.textWidth(shown.substr(0, made.text.underlined)),
                area.y + kMenuPadY + display.font().ascent + 1,
                display.textWidth(shown.substr(made.text.underlined, 1)), 1};
        }
        return made;
    };
    int left = 0;
    for (std::size_t i = 0; i < layout.menus.size(); ++i) {
        Menu& menu = layout.menus[i];
        const KrMnemonicText title = KrMnemonicText::parse(entries[i].title);
        const KrMnemonicText item = KrMnemonicText::parse(entries[i].item);
        const XRect titleArea{left, 0, display.textWidth(title.shown) + 2 * kMenuPadX, rowHeight};
        const int itemWidth =
            std::max(display.textWidth(item.shown) + 2 * kMenuPadX, titleArea.width);
        menu.title = label(entries[i].title, titleArea);
        menu.item = label(entries[i].item, {left, rowHeight, itemWidth, rowHeight});
        menu.command = entries[i].command;
        left += titleArea.width;
    }
    return layout;
}

KrXAboutLayout KrXAboutLayout::forDisplay(const platform::XDisplay& display) {
    KrXAboutLayout layout;
    const int lineHeight = display.font().height();
    const int textWidth =
        std::max(display.textWidth(kr::kAboutVersion), display.textWidth(kr::kAboutNotice));
    layout.icon = {kAboutMargin, kAboutMargin, kIconSide, kIconSide};
    layout.textLeft = kAboutMargin + kIconSide + kAboutIconGap;
    const int width = std::max(layout.textLeft + textWidth + kAboutMargin, kAboutMinWidth);
    layout.versionTop = kAboutMargin;
    layout.noticeTop = layout.versionTop + lineHeight + 8;
    const int buttonHeight = lineHeight + 12;
    layout.button = {(width - kAboutButtonWidth) / 2, layout.noticeTop + lineHeight + 16,
                     kAboutButtonWidth, buttonHeight};
    layout.frame = {kAboutLeft, kAboutTop, width, layout.button.y + buttonHeight + 14};
    return layout;
}

KrXAppWindow::KrXAppWindow(std::string_view displayName)
    : display_(platform::XDisplay::open(displayName)),
      icons_(kr::decodeIconFile(kr::builtInIcon().contentString())) {
    if (!display_) {
        throw KrException("can't initialise instance", 4106, "src");
    }
    menuLayout_ = KrXMenuLayout::forDisplay(*display_);
    aboutLayout_ = KrXAboutLayout::forDisplay(*display_);
    main_ = display_->createWindow(kFrame);
    if (main_ == 0) {
        throw KrException("can't initialise instance", 4107, "src");
    }
    display_->setNames(main_, kr::kWindowTitle, kr::kWindowTitle, kr::kWindowClass);
    display_->setIcons(main_, icons_);
    // An overlapped window without a sizing border.
    display_->setFixedSize(main_, kFrame.width, kFrame.height);
    display_->acceptCloseRequests(main_);
    display_->selectInput(main_, kAllInput);
    display_->show(main_);
    display_->flush();
}

// Closing the connection takes the windows with it.
KrXAppWindow::~KrXAppWindow() = default;

int KrXAppWindow::pumpMessages() {
    while (!quitCode_) {
        dispatch(display_->nextEvent());
    }
    return *quitCode_;
}

void KrXAppWindow::dispatch(const XWindowEvent& event) {
    if (event.kind == Kind::ConnectionLost) {
        kr::errLine(kr::kWindowTitle, ": the connection to the X server is lost");
        postQuit(1);
        return;
    }
    if (event.window == 0) {
        return;
    }
    if (event.window == about_) {
        aboutWindowEvent(event);
    } else if (event.window == main_) {
        mainWindowEvent(event);
    }
}

void KrXAppWindow::mainWindowEvent(const XWindowEvent& event) {
    switch (event.kind) {
        case Kind::Exposed: paintMain(); return;
        case Kind::Destroyed:
            // However the window went, the program ends with it, and so does an About
            // window that belongs to it.
            main_ = 0;
            if (about_ != 0) {
                closeAbout();
            }
            postQuit(0);
            return;
        default: break;
    }
    // While the About window is open it is modal: the main window takes no input; nor
    // does a window on its way out.
    if (about_ != 0 || closing_) {
        return;
    }
    switch (event.kind) {
        case Kind::CloseRequested: destroyMain(); return;
        case Kind::KeyPressed: keyPressed(event); return;
        case Kind::ButtonPressed: buttonPressed(event); return;
        default: return;
    }
}

void KrXAppWindow::aboutWindowEvent(const XWindowEvent& event) {
    switch (event.kind) {
        case Kind::Exposed: paintAbout(); return;
        case Kind::KeyPressed:
            if (closesAbout(event.text)) {
                closeAbout();
            }
            return;
        case Kind::ButtonPressed:
            if (event.button == 1 && aboutLayout_.button.contains(event.x, event.y)) {
                closeAbout();
            }
            return;
        case Kind::CloseRequested: closeAbout(); return;
        case Kind::Destroyed: about_ = 0; return;
        default: return;
    }
}

void KrXAppWindow::keyPressed(const XWindowEvent& key) {
    if (isAboutAccelerator(key)) {
        openMenu(std::nullopt);
        command(kCommandAbout);
        return;
    }
    if (openMenu_) {
        menuKeyPressed(key);
        return;
    }
    if (key.alt) {
        for (std::size_t i = 0; i < menuLayout_.menus.size(); ++i) {
            if (menuLayout_.menus[i].title.text.isChosenBy(key.text)) {
                openMenu(i, true);
                return;
            }
        }
        return;
    }
    // Only the lower-case "q" quits; Control+q gives a control character, not "q".
    if (key.text == "q") {
        postQuit(0);
    }
}

void KrXAppWindow::menuKeyPressed(const XWindowEvent& key) {
    using Arrow = XWindowEvent::Arrow;
    const std::size_t count = menuLayout_.menus.size();
    const std::size_t open = *openMenu_;
    const KrXMenuLayout::Menu& menu = menuLayout_.menus[open];
    switch (key.arrow) {
        case Arrow::Left: openMenu((open + count - 1) % count, true); return;
        case Arrow::Right: openMenu((open + 1) % count, true); return;
        // Each menu has one item: both ways lead to it.
        case Arrow::Up:
        case Arrow::Down: openMenu(open, true); return;
        case Arrow::NoArrow: break;
    }
    if (key.text == "\x1b") {
        openMenu(std::nullopt);
        return;
    }
    if (key.text == "\r") {
        if (itemChosen_) {
            openMenu(std::nullopt);
            command(menu.command);
        }
        return;
    }
    // With Alt a letter chooses among the titles, without it among the open menu's items.
    if (key.alt) {
        for (std::size_t i = 0; i < count; ++i) {
            if (menuLayout_.menus[i].title.text.isChosenBy(key.text)) {
                openMenu(i, true);
                return;
            }
        }
        return;
    }
    if (menu.item.text.isChosenBy(key.text)) {
        openMenu(std::nullopt);
        command(menu.command);
    }
}

void KrXAppWindow::buttonPressed(const XWindowEvent& click) {
    if (click.button != 1) {
        return;
    }
    const std::optional<std::size_t> wasOpen = openMenu_;
    if (wasOpen) {
        const KrXMenuLayout::Menu& menu = menuLayout_.menus[*wasOpen];
        openMenu(std::nullopt);
        if (menu.item.area.contains(click.x, click.y)) {
            command(menu.command);
            return;
        }
    }
    for (std::size_t i = 0; i < menuLayout_.menus.size(); ++i) {
        // A click on the open menu's title closes it; on another title, opens that one.
        if (menuLayout_.menus[i].title.area.contains(click.x, click.y) && wasOpen != i) {
            openMenu(i);
            return;
        }
    }
}

void KrXAppWindow::command(int command) {
    switch (command) {
        case kCommandAbout: openAbout(); return;
        case kCommandExit: destroyMain(); return;
        default: return;
    }
}

void KrXAppWindow::paintMain() {
    if (main_ == 0) {
        return;
    }
    platform::XDisplay& display = *display_;
    display.clearWindow(main_);
    for (std::size_t i = 0; i < menuLayout_.menus.size(); ++i) {
        const KrXMenuLayout::Menu& menu = menuLayout_.menus[i];
        paintLabel(menu.title);
        if (openMenu_ == i) {
            display.drawRectangle(main_, menu.title.area);
        }
    }
    display.fillRectangle(main_, {0, menuLayout_.barHeight - 1, kFrame.width, 1});
    const int top = menuLayout_.barHeight;
    display.drawText(main_, kTextLeft, top + kTitleTop, kr::kWindowTitle);
    display.drawText(main_, kTextLeft, top + kNoticeTop, kr::kWindowNotice);
    display.drawText(main_, kTextLeft, top + kQuitHintTop, kr::kWindowQuitHint);
    if (openMenu_) {
        const KrXMenuLayout::Label& item = menuLayout_.menus[*openMenu_].item;
        display.clearArea(main_, item.area);
        display.drawRectangle(main_, item.area);
        paintLabel(item);
        if (itemChosen_) {
            // Inside the outline, which stays.
            const XRect& area = item.area;
            display.invertArea(main_, {area.x + 1, area.y + 1, area.width - 2, area.height - 2});
        }
    }
}

void KrXAppWindow::paintLabel(const KrXMenuLayout::Label& label) {
    display_->drawText(main_, label.area.x + kMenuPadX, label.area.y + kMenuPadY, label.text.shown);
    display_->fillRectangle(main_, label.underline);
}

void KrXAppWindow::paintAbout() {
    if (about_ == 0) {
        return;
    }
    platform::XDisplay& display = *display_;
    const KrXAboutLayout& layout = aboutLayout_;
    display.clearWindow(about_);
    // An outline sets the box off from the main window where no window manager frames it.
    display.drawRectangle(about_, {0, 0, layout.frame.width, layout.frame.height});
    for (const platform::XArgbImage& icon : icons_) {
        if (icon.width == layout.icon.width && icon.height == layout.icon.height) {
            display.drawImage(about_, layout.icon.x, layout.icon.y, icon);
            break;
        }
    }
    display.drawText(about_, layout.textLeft, layout.versionTop, kr::kAboutVersion);
    display.drawText(about_, layout.textLeft, layout.noticeTop, kr::kAboutNotice);
    // The default button has a double border.
    const XRect& button = layout.button;
    display.drawRectangle(about_, button);
    display.drawRectangle(about_,
                          {button.x + 1, button.y + 1, button.width - 2, button.height - 2});
    const int textLeft = button.x + (button.width - display.textWidth(kr::kAboutButton)) / 2;
    const int textTop = button.y + (button.height - display.font().height()) / 2;
    display.drawText(about_, textLeft, textTop, kr::kAboutButton);
}

void KrXAppWindow::openMenu(std::optional<std::size_t> menu, bool itemChosen) {
    itemChosen = itemChosen && menu.has_value();
    if (openMenu_ == menu && itemChosen_ == itemChosen) {
        return;
    }
    openMenu_ = menu;
    itemChosen_ = itemChosen;
    paintMain();
}

void KrXAppWindow::openAbout() {
    if (about_ != 0 || main_ == 0) {
        return;
    }
    platform::XDisplay& display = *display_;
    about_ = display.createWindow(aboutLayout_.frame);
    if (about_ == 0) {
        // The box only informs; its result was never looked at.
        return;
    }
    display.setNames(about_, kr::kAboutTitle, kr::kWindowTitle, kr::kWindowClass);
    display.setIcons(about_, icons_);
    display.setFixedSize(about_, aboutLayout_.frame.width, aboutLayout_.frame.height);
    display.setTransientFor(about_, main_);
    display.acceptCloseRequests(about_);
    display.selectInput(about_, kAllInput);
    display.show(about_);
}

void KrXAppWindow::closeAbout() {
    display_->destroy(about_);
    about_ = 0;
}

void KrXAppWindow::destroyMain() {
    // The window's Destroyed event ends the loop.
    if (!closing_) {
        closing_ = true;
        display_->destroy(main_);
    }
}

void KrXAppWindow::postQuit(int code) {
    if (!quitCode_) {
        quitCode_ = code;
    }
}
