#include "platform/XDisplay.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/keysym.h>

#include <bit>
#include <iostream>
#include <mutex>
#include <optional>

#include "platform/Poll.h"

namespace platform {

// The connection and what open() made on it; destroying it frees them and closes the
// connection, so that nothing leaks when open() stops half-way.
struct XDisplay::Native {
    Native() = default;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native();

    Display* display = nullptr;
    GC gc = nullptr;
    GC invertGc = nullptr;  // draws black XOR white: black turns white and white black
    XFontStruct* font = nullptr;
    bool fontLoaded = false;  // XLoadQueryFont (XFreeFont), else XQueryFont (XFreeFontInfo)
    Cursor arrow = 0;
    Atom wmProtocols = 0;
    Atom wmDeleteWindow = 0;
    Atom netWmName = 0;
    Atom netWmIcon = 0;
    Atom utf8String = 0;
    // Set by Xlib's exit handler when the connection breaks; from then on Xlib drops every
    // request on this display.
    bool lost = false;
};

namespace {

// Xlib's default handlers end the process; a front end that loses its window must still
// stop the application in order, and a refused request is not worth dying for.
int reportProtocolError(Display* display, XErrorEvent* error) {
    char text[256] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    std::string line = "X error: ";
    line += text;
    line += " (request ";
    line += std::to_string(error->request_code);
    line += ")\n";
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cerr.flush();
    return 0;
}

int ignoreConnectionError(Display*) { return 0; }

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(reportProtocolError);
        XSetIOErrorHandler(ignoreConnectionError);
    });
}

long nativeMask(unsigned mask) {
    long native = NoEventMask;
    if (mask & kXExposure) {
        native |= ExposureMask;
    }
    if (mask & kXKeys) {
        native |= KeyPressMask;
    }
    if (mask & kXButtons) {
        native |= ButtonPressMask;
    }
    if (mask & kXStructure) {
        native |= StructureNotifyMask;
    }
    return native;
}

XWindowEvent::Arrow arrowOf(KeySym symbol) {
    using Arrow = XWindowEvent::Arrow;
    switch (symbol) {
        case XK_Left:
        case XK_KP_Left: return Arrow::Left;
        case XK_Right:
        case XK_KP_Right: return Arrow::Right;
        case XK_Up:
        case XK_KP_Up: return Arrow::Up;
        case XK_Down:
        case XK_KP_Down: return Arrow::Down;
        default: return Arrow::NoArrow;
    }
}

constexpr short kPollBroken = kPollError | kPollHangUp | kPollInvalid;

// The event as far as a caller looks at it; Other for everything else, and for all but the
// last of a run of exposures.
XWindowEvent translate(XEvent& event, Atom wmProtocols, Atom wmDeleteWindow) {
    XWindowEvent translated;
    switch (event.type) {
        case Expose:
            if (event.xexpose.count == 0) {
                translated.kind = XWindowEvent::Kind::Exposed;
                translated.window = event.xexpose.window;
            }
            break;
        case KeyPress: {
            char text[32];
            KeySym symbol = NoSymbol;
            const int length = XLookupString(&event.xkey, text, sizeof text, &symbol, nullptr);
            translated.kind = XWindowEvent::Kind::KeyPressed;
            translated.window = event.xkey.window;
            translated.text.assign(text, static_cast<std::size_t>(length > 0 ? length : 0));
            translated.arrow = arrowOf(symbol);
            translated.alt = (event.xkey.state & Mod1Mask) != 0;
            break;
        }
        case ButtonPress:
            translated.kind = XWindowEvent::Kind::ButtonPressed;
            translated.window = event.xbutton.window;
            translated.button = static_cast<int>(event.xbutton.button);
            translated.x = event.xbutton.x;
            translated.y = event.xbutton.y;
            break;
        case ClientMessage:
            if (event.xclient.message_type == wmProtocols && event.xclient.format == 32 &&
                static_cast<Atom>(event.xclient.data.l[0]) == wmDeleteWindow) {
                translated.kind = XWindowEvent::Kind::CloseRequested;
                translated.window = event.xclient.window;
            }
            break;
        case DestroyNotify:
            translated.kind = XWindowEvent::Kind::Destroyed;
            translated.window = event.xdestroywindow.window;
            break;
        default: break;
    }
    return translated;
}

// One colour channel of a true-colour visual: where its bits are in a pixel value.
struct Channel {
    unsigned long mask = 0;
    int shift = 0;  // of the lowest bit
    int bits = 0;

    explicit Channel(unsigned long channelMask)
        : mask(channelMask),
          shift(channelMask == 0 ? 0 : std::countr_zero(channelMask)),
          bits(std::popcount(channelMask)) {}

    // An 8-bit intensity as this channel's part of a pixel value.
    unsigned long encode(std::uint32_t value) const {
        const unsigned long scaled =
            bits >= 8 ? static_cast<unsigned long>(value) << (bits - 8) : value >> (8 - bits);
        return (scaled << shift) & mask;
    }

    // This channel's part of a pixel value as an 8-bit intensity.
    std::uint32_t decode(unsigned long pixel) const {
        if (bits == 0) {
            return 0;
        }
        const unsigned long value = (pixel & mask) >> shift;
        return static_cast<std::uint32_t>(bits >= 8 ? value >> (bits - 8)
                                                    : value * 255 / ((1ul << bits) - 1));
    }
};

// The channels of the default visual, or nothing when its pixels are not plain colours.
struct TrueColour {
    Channel red;
    Channel green;
    Channel blue;
};

std::optional<TrueColour> trueColourOf(Display* display) {
    const Visual* visual = DefaultVisual(display, DefaultScreen(display));
    const int visualClass = visual->c_class;
    if (visualClass != TrueColor && visualClass != DirectColor) {
        return std::nullopt;
    }
    return TrueColour{Channel(visual->red_mask), Channel(visual->green_mask),
                      Channel(visual->blue_mask)};
}

// A colour channel of an ARGB pixel blended over white by its alpha.
std::uint32_t overWhite(std::uint32_t channel, std::uint32_t alpha) {
    return (channel * alpha + 255 * (255 - alpha) + 127) / 255;
}

}  // namespace

std::unique_ptr<XDisplay> XDisplay::open(std::string_view name) {
    installHandlers();
    const std::string displayName(name);
    auto native = std::make_unique<Native>();
    native->display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (native->display == nullptr) {
        return nullptr;
    }
    Display* display = native->display;
    XSetIOErrorExitHandler(
        display, [](Display*, void* lost) { static_cast<Native*>(lost)->lost = true; },
        native.get());

    const Window root = DefaultRootWindow(display);
    const int screen = DefaultScreen(display);
    native->gc = XCreateGC(display, root, 0, nullptr);
    XSetForeground(display, native->gc, BlackPixel(display, screen));
    XSetBackground(display, native->gc, WhitePixel(display, screen));
    native->invertGc = XCreateGC(display, root, 0, nullptr);
    XSetFunction(display, native->invertGc, GXxor);
    XSetForeground(display, native->invertGc,
                   BlackPixel(display, screen) ^ WhitePixel(display, screen));
    native->font = XLoadQueryFont(display, "fixed");
    if (native->font != nullptr) {
        native->fontLoaded = true;
        XSetFont(display, native->gc, native->font->fid);
    } else {
        native->font = XQueryFont(display, XGContextFromGC(native->gc));
    }
    native->arrow = XCreateFontCursor(display, XC_left_ptr);
    native->wmProtocols = XInternAtom(display, "WM_PROTOCOLS", False);
    native->wmDeleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    native->netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    native->netWmIcon = XInternAtom(display, "_NET_WM_ICON", False);
    native->utf8String = XInternAtom(display, "UTF8_STRING", False);
    return std::unique_ptr<XDisplay>(new XDisplay(std::move(native)));
}

XDisplay::XDisplay(std::unique_ptr<Native> native) : native_(std::move(native)) {
    if (native_->font != nullptr) {
        font_.ascent = native_->font->ascent;
        font_.descent = native_->font->descent;
    } else {
        // No font information at all: the size of the usual "fixed" font.
        font_.ascent = 11;
        font_.descent = 2;
    }
}

XDisplay::~XDisplay() = default;

XDisplay::Native::~Native() {
    if (display == nullptr) {
        return;
    }
    if (font != nullptr) {
        if (fontLoaded) {
            XFreeFont(display, font);
        } else {
            XFreeFontInfo(nullptr, font, 1);
        }
    }
    if (arrow != 0) {
        XFreeCursor(display, arrow);
    }
    if (gc != nullptr) {
        XFreeGC(display, gc);
    }
    if (invertGc != nullptr) {
        XFreeGC(display, invertGc);
    }
    XCloseDisplay(display);
}

bool XDisplay::lost() const { return native_->lost; }

XWindowId XDisplay::createWindow(const XRect& frame) {
    if (lost()) {
        return 0;
    }
    Display* display = native_->display;
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.background_pixel = WhitePixel(display, screen);
    attributes.border_pixel = BlackPixel(display, screen);
    attributes.cursor = native_->arrow;
    const Window window = XCreateWindow(
        display, RootWindow(display, screen), frame.x, frame.y, static_cast<unsigned>(frame.width),
        static_cast<unsigned>(frame.height), 0, CopyFromParent, InputOutput, CopyFromParent,
        CWBackPixel | CWBorderPixel | CWCursor, &attributes);
    if (window == 0) {
        return 0;
    }
    // Without the input hint some window managers never give the window the keyboard.
    XWMHints hints{};
    hints.flags = InputHint | StateHint;
    hints.input = True;
    hints.initial_state = NormalState;
    XSetWMHints(display, window, &hints);
    return window;
}

void XDisplay::setNames(XWindowId window, std::string_view title, std::string_view instanceName,
                        std::string_view className) {
    if (lost()) {
        return;
    }
    Display* display = native_->display;
    const std::string titleText(title);
    XStoreName(display, window, titleText.c_str());
    XChangeProperty(display, window, native_->netWmName, native_->utf8String, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(titleText.data()),
                    static_cast<int>(titleText.size()));
    std::string instance(instanceName);
    std::string klass(className);
    XClassHint hint{};
    hint.res_name = instance.data();
    hint.res_class = klass.data();
    XSetClassHint(display, window, &hint);
}

void XDisplay::setIcons(XWindowId window, const std::vector<XArgbImage>& icons) {
    if (lost()) {
        return;
    }
    // Format 32 properties travel as longs on the client side, whatever the size of a long.
    std::vector<long> values;
    for (const XArgbImage& icon : icons) {
        values.push_back(icon.width);
        values.push_back(icon.height);
        values.insert(values.end(), icon.pixels.begin(), icon.pixels.end());
    }
    if (values.empty()) {
        XDeleteProperty(native_->display, window, native_->netWmIcon);
        return;
    }
    XChangeProperty(native_->display, window, native_->netWmIcon, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()),
                    static_cast<int>(values.size()));
}

void XDisplay::setFixedSize(XWindowId window, int width, int height) {
    if (lost()) {
        return;
    }
    XSizeHints hints{};
    hints.flags = PMinSize | PMaxSize;
    hints.min_width = hints.max_width = width;
    hints.min_height = hints.max_height = height;
    XSetWMNormalHints(native_->display, window, &hints);
}

void XDisplay::setTransientFor(XWindowId window, XWindowId owner) {
    if (lost()) {
        return;
    }
    XSetTransientForHint(native_->display, window, owner);
}

void XDisplay::acceptCloseRequests(XWindowId window) {
    if (lost()) {
        return;
    }
    XSetWMProtocols(native_->display, window, &native_->wmDeleteWindow, 1);
}

void XDisplay::sendCloseRequest(XWindowId window) {
    if (lost()) {
        return;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = native_->wmProtocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(native_->wmDeleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(native_->display, window, False, NoEventMask, &event);
    XFlush(native_->display);
}

void XDisplay::selectInput(XWindowId window, unsigned mask) {
    if (lost()) {
        return;
    }
    XSelectInput(native_->display, window, nativeMask(mask));
}

void XDisplay::show(XWindowId window) {
    if (lost()) {
        return;
    }
    XMapWindow(native_->display, window);
}

void XDisplay::destroy(XWindowId window) {
    if (lost()) {
        return;
    }
    XDestroyWindow(native_->display, window);
}

XWindowEvent XDisplay::nextEvent() {
    Display* display = native_->display;
    short lastReady = 0;
    for (;;) {
        if (lost()) {
            XWindowEvent gone;
            gone.kind = XWindowEvent::Kind::ConnectionLost;
            return gone;
        }
        // XPending sends what is buffered and reads what has arrived without blocking; the
        // wait itself is poll on the connection, so that nothing here ever spins.
        if (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            XWindowEvent translated =
                translate(event, native_->wmProtocols, native_->wmDeleteWindow);
            if (translated.kind != XWindowEvent::Kind::Other) {
                return translated;
            }
            continue;
        }
        if (lost()) {
            continue;
        }
        if (lastReady & kPollBroken) {
            // The connection reported a hang-up and nothing more can be read from it.
            native_->lost = true;
            continue;
        }
        const SysResult<short> ready =
            pollOne(ConnectionNumber(display), kPollReadable, kWaitForever);
        if (!ready.ok()) {
            native_->lost = true;
            continue;
        }
        lastReady = ready.value;
    }
}

int XDisplay::textWidth(std::string_view text) const {
    if (native_->font == nullptr) {
        return static_cast<int>(text.size()) * 6;
    }
    return XTextWidth(native_->font, text.data(), static_cast<int>(text.size()));
}

void XDisplay::clearArea(XWindowId window, const XRect& area) {
    // A width or height of 0 means "to the window's edge" to XClearArea.
    if (lost() || area.width <= 0 || area.height <= 0) {
        return;
    }
    XClearArea(native_->display, window, area.x, area.y, static_cast<unsigned>(area.width),
               static_cast<unsigned>(area.height), False);
}

void XDisplay::clearWindow(XWindowId window) {
    if (lost()) {
        return;
    }
    XClearWindow(native_->display, window);
}

void XDisplay::drawText(XWindowId window, int x, int top, std::string_view text) {
    if (lost()) {
        return;
    }
    XDrawString(native_->display, window, native_->gc, x, top + font_.ascent, text.data(),
                static_cast<int>(text.size()));
}

void XDisplay::drawRectangle(XWindowId window, const XRect& outline) {
    if (lost() || outline.width <= 0 || outline.height <= 0) {
        return;
    }
    // X draws an outline one pixel wider and taller than the size it is given.
    XDrawRectangle(native_->display, window, native_->gc, outline.x, outline.y,
                   static_cast<unsigned>(outline.width - 1),
                   static_cast<unsigned>(outline.height - 1));
}

void XDisplay::fillRectangle(XWindowId window, const XRect& area) {
    if (lost() || area.width <= 0 || area.height <= 0) {
        return;
    }
    XFillRectangle(native_->display, window, native_->gc, area.x, area.y,
                   static_cast<unsigned>(area.width), static_cast<unsigned>(area.height));
}

void XDisplay::invertArea(XWindowId window, const XRect& area) {
    if (lost() || area.width <= 0 || area.height <= 0) {
        return;
    }
    XFillRectangle(native_->display, window, native_->invertGc, area.x, area.y,
                   static_cast<unsigned>(area.width), static_cast<unsigned>(area.height));
}

void XDisplay::drawImage(XWindowId window, int x, int y, const XArgbImage& image) {
    if (lost() || image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height) {
        return;
    }
    Display* display = native_->display;
    const std::optional<TrueColour> colour = trueColourOf(display);
    if (!colour) {
        return;
    }
    const int screen = DefaultScreen(display);
    // 32 bits a pixel, whatever the depth: Xlib converts to the server's format.
    std::vector<char> data(image.pixels.size() * 4);
    XImage* native = XCreateImage(display, DefaultVisual(display, screen),
                                  static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, 0,
                                  data.data(), static_cast<unsigned>(image.width),
                                  static_cast<unsigned>(image.height), 32, 0);
    if (native == nullptr) {
        return;
    }
    for (int row = 0; row < image.height; ++row) {
        for (int column = 0; column < image.width; ++column) {
            const std::uint32_t argb =
                image.pixels[static_cast<std::size_t>(row) * image.width + column];
            const std::uint32_t alpha = argb >> 24;
            const unsigned long pixel = colour->red.encode(overWhite((argb >> 16) & 0xff, alpha)) |
                                        colour->green.encode(overWhite((argb >> 8) & 0xff, alpha)) |
                                        colour->blue.encode(overWhite(argb & 0xff, alpha));
            XPutPixel(native, column, row, pixel);
        }
    }
    XPutImage(display, window, native_->gc, native, 0, 0, x, y, static_cast<unsigned>(image.width),
              static_cast<unsigned>(image.height));
    // The pixels belong to data, not to Xlib.
    native->data = nullptr;
    XDestroyImage(native);
}

XArgbImage XDisplay::capture(XWindowId window, const XRect& area) {
    XArgbImage captured;
    if (lost() || area.width <= 0 || area.height <= 0) {
        return captured;
    }
    Display* display = native_->display;
    const std::optional<TrueColour> colour = trueColourOf(display);
    if (!colour) {
        return captured;
    }
    XImage* native = XGetImage(display, window, area.x, area.y, static_cast<unsigned>(area.width),
                               static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
    if (native == nullptr) {
        return captured;
    }
    captured.width = area.width;
    captured.height = area.height;
    captured.pixels.reserve(static_cast<std::size_t>(area.width) * area.height);
    for (int row = 0; row < area.height; ++row) {
        for (int column = 0; column < area.width; ++column) {
            const unsigned long pixel = XGetPixel(native, column, row);
            captured.pixels.push_back(0xff000000u | colour->red.decode(pixel) << 16 |
                                      colour->green.decode(pixel) << 8 |
                                      colour->blue.decode(pixel));
        }
    }
    XDestroyImage(native);
    return captured;
}

void XDisplay::flush() {
    if (lost()) {
        return;
    }
    XFlush(native_->display);
}

}  // namespace platform
