#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A connection to an X server and the few window operations the windowed front end needs.
// Nothing outside this module includes an Xlib header: windows are plain ids and events
// come back already translated into XWindowEvent.
namespace platform {

// The id of an X window; 0 is no window.
using XWindowId = unsigned long;

struct XRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool contains(int px, int py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
};

// A picture in 32-bit pixels 0xAARRGGBB (alpha 0 is transparent), row by row from the top.
struct XArgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // width * height of them

    bool operator==(const XArgbImage&) const = default;
};

// What a window wants to be told of (selectInput); combine with |.
inline constexpr unsigned kXExposure = 0x1;   // parts of it must be painted again
inline constexpr unsigned kXKeys = 0x2;       // key presses while it has the focus
inline constexpr unsigned kXButtons = 0x4;    // mouse button presses inside it
inline constexpr unsigned kXStructure = 0x8;  // it was destroyed

// One event of the connection, as far as a caller looks at it.
struct XWindowEvent {
    enum class Kind {
        Other,           // nothing the caller needs to look at
        Exposed,         // the last of a run of exposures: paint the whole window again
        KeyPressed,      // a key was pressed
        ButtonPressed,   // a mouse button was pressed
        CloseRequested,  // the window manager asks to close it (WM_DELETE_WINDOW)
        Destroyed,       // the window no longer exists
        ConnectionLost,  // the server cannot be reached any more; no event will follow
    };
    // (The names differ from Xlib's event names, which are macros.)

    Kind kind = Kind::Other;
    XWindowId window = 0;
    // KeyPressed: the characters the key gives with the modifiers held, in the keyboard's mapping
    // ("q", "Q", "?", "\r" for Return, "\x1b" for Escape); empty for a key that gives none.
    std::string text;
    // KeyPressed: the arrow key it was (the main block's or the keypad's), or NoArrow.
    enum class Arrow { NoArrow, Left, Right, Up, Down };
    Arrow arrow = Arrow::NoArrow;
    // KeyPressed: the Alt modifier (Mod1) was held.
    bool alt = false;
    // ButtonPressed: which button (1 is the left one), and where, relative to the window.
    int button = 0;
    int x = 0;
    int y = 0;
};

// Height and width of the text drawn by drawText.
struct XFontMetrics {
    int ascent = 0;
    int descent = 0;
    int height() const { return ascent + descent; }
};

// One connection to an X server, used from one thread at a time. Windows are top-level
// windows of the default screen with a white background; drawing is in black, in the
// server's "fixed" font (its default font when "fixed" is missing).
//
// A server that goes away does not end the process (Xlib's default): the connection is
// marked lost, nextEvent reports ConnectionLost, and every later call does nothing. A
// request the server refuses (an X protocol error) is written to standard error and
// otherwise ignored.
class XDisplay {
public:
    // Connects to the server that name gives (empty: the DISPLAY variable). Null when no
    // server can be reached.
    static std::unique_ptr<XDisplay> open(std::string_view name = {});

    // Closes the connection; the server destroys the windows it still holds.
    ~XDisplay();

    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    // A new top-level window, not shown yet, at frame (a window manager may place it
    // elsewhere), with the arrow pointer. 0 when it cannot be made.
    XWindowId createWindow(const XRect& frame);

    // The window's title (WM_NAME and _NET_WM_NAME, UTF-8) and its WM_CLASS: instance
    // name and class name.
    void setNames(XWindowId window, std::string_view title, std::string_view instanceName,
                  std::string_view className);

    // Asks the window manager to keep the window at this size (no sizing border).
    void setFixedSize(XWindowId window, int width, int height);

    // The window's icons (_NET_WM_ICON), one per size; a window manager or task bar picks the
    // size it shows. No icons removes the property.
    void setIcons(XWindowId window, const std::vector<XArgbImage>& icons);

    // Marks window as a dialog box that belongs to owner (WM_TRANSIENT_FOR).
    void setTransientFor(XWindowId window, XWindowId owner);

    // Lets the window manager ask before closing the window (WM_PROTOCOLS with
    // WM_DELETE_WINDOW): its close button then brings a CloseRequested event instead of
    // ending the connection.
    void acceptCloseRequests(XWindowId window);

    // Sends window the close request that a window manager's close button sends
    // (WM_DELETE_WINDOW). For a client that stands in for the window manager.
    void sendCloseRequest(XWindowId window);

    // What the window reports: the kX... values combined.
    void selectInput(XWindowId window, unsigned mask);

    void show(XWindowId window);
    void destroy(XWindowId window);

    // The next event of any window; waits without a time limit (and without spinning)
    // until one comes. Sends the requests made so far first.
    XWindowEvent nextEvent();

    // Whether the server can no longer be reached.
    bool lost() const;

    // Drawing. top is the top edge of the text, not its baseline.
    const XFontMetrics& font() const { return font_; }
    int textWidth(std::string_view text) const;
    void clearArea(XWindowId window, const XRect& area);
    void clearWindow(XWindowId window);
    void drawText(XWindowId window, int x, int top, std::string_view text);
    void drawRectangle(XWindowId window, const XRect& outline);
    void fillRectangle(XWindowId window, const XRect& area);
    // Swaps black and white in the area: the highlight of a chosen menu item.
    void invertArea(XWindowId window, const XRect& area);
    // The image with its top left corner at (x, y), blended over the windows' white
    // background. Drawn only on a true-colour screen (every screen today); elsewhere the
    // window shows its background there.
    void drawImage(XWindowId window, int x, int y, const XArgbImage& image);

    // What the window shows in the area now, every pixel opaque; an empty image when the
    // area cannot be read (for instance outside the window). For a client that checks what
    // another one draws.
    XArgbImage capture(XWindowId window, const XRect& area);

    // Sends the requests made so far without waiting for anything.
    void flush();

private:
    struct Native;

    explicit XDisplay(std::unique_ptr<Native> native);

    std::unique_ptr<Native> native_;
    XFontMetrics font_;
};

}  // namespace platform
