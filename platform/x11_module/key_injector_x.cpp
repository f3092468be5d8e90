// Keys through XTest, only into a window of the process they are meant for.
#include "platform/x11_module/x11_clients.h"
#include "platform/x11_module/x_error_trap.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tvn {
namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct XFreer {
    void operator()(void* data) const {
        if (data)
            XFree(data);
    }
};

DisplayPtr OpenDisplay() {
    // A window can vanish between asking for the focus and reading its parent: such a
    // failure only means "not the player", never the end of the process.
    InstallXErrorHandler();
    DisplayPtr display(XOpenDisplay(nullptr)); // DISPLAY of the environment; none = null
    SurviveLostConnection(display.get());
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    if (display && !XTestQueryExtension(display.get(), &event, &error, &major, &minor))
        display.reset();
    return display;
}

// One 32-bit item of property `name` of `window` in type `type`; 0 when it has none.
unsigned long WindowCardinal(Display* display, Window window, Atom name, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    const int status = XGetWindowProperty(display, window, name, 0, 1, False, type, &actualType,
                                          &format, &count, &after, &raw);
    const std::unique_ptr<unsigned char, XFreer> data(raw);
    if (status != Success || !data || actualType != type || format != 32 || count != 1)
        return 0;
    // Xlib hands 32-bit items out as longs.
    return *reinterpret_cast<const unsigned long*>(data.get());
}

// The process of the window with the keyboard focus: the first _NET_WM_PID on the way from
// the focus window up to the root (a window manager's frame has none, its client has).
// Without a focus window, the window the window manager calls active. 0 when unknown.
long FocusedProcess(Display* display) {
    const Window root = DefaultRootWindow(display);
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Window window = None;
    int revertTo = 0;
    XGetInputFocus(display, &window, &revertTo);
    if (window == None || window == PointerRoot) {
        const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        window = WindowCardinal(display, root, active, XA_WINDOW);
    }
    while (window != None && window != root) {
        if (const unsigned long pid = WindowCardinal(display, window, pidAtom, XA_CARDINAL))
            return static_cast<long>(pid);
        Window rootReturn = None;
        Window parent = None;
        Window* rawChildren = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &rootReturn, &parent, &rawChildren, &count))
            return 0;
        const std::unique_ptr<Window, XFreer> children(rawChildren);
        window = parent;
    }
    return 0;
}

bool WaitForFocus(Display* display, long ownerPid, std::chrono::milliseconds wait) {
    constexpr auto kPoll = std::chrono::milliseconds(20);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (FocusedProcess(display) != ownerPid) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

// True when the keyboard gives `symbol` on `code` only with Shift ('*' on the 8 key).
bool NeedsShift(Display* display, KeyCode code, KeySym symbol) {
    int perCode = 0;
    const std::unique_ptr<KeySym, XFreer> symbols(XGetKeyboardMapping(display, code, 1, &perCode));
    return symbols && perCode > 1 && symbols.get()[0] != symbol && symbols.get()[1] == symbol;
}

void PressAndRelease(Display* display, KeyCode code, KeyCode shift) {
    if (shift)
        XTestFakeKeyEvent(display, shift, True, CurrentTime);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    if (shift)
        XTestFakeKeyEvent(display, shift, False, CurrentTime);
    XSync(display, False); // the events are with the server before the display closes
}

} // namespace

namespace x11 {

KeyInjection InjectKeyInto(long ownerPid, std::string_view keySymName,
                           const std::function<bool()>& bringForward,
                           std::chrono::milliseconds focusWait) {
    const DisplayPtr display = OpenDisplay();
    if (!display)
        return KeyInjection::kNoDisplay;
    const KeySym symbol = XStringToKeysym(std::string(keySymName).c_str());
    const KeyCode code = symbol == NoSymbol ? 0 : XKeysymToKeycode(display.get(), symbol);
    if (code == 0)
        return KeyInjection::kNoKey;
    const KeyCode shift =
        NeedsShift(display.get(), code, symbol) ? XKeysymToKeycode(display.get(), XK_Shift_L) : 0;
    const bool raised = bringForward && bringForward();
    const auto wait = raised ? focusWait : std::chrono::milliseconds(0);
    if (ownerPid <= 0 || !WaitForFocus(display.get(), ownerPid, wait))
        return KeyInjection::kNotFocused;
    PressAndRelease(display.get(), code, shift);
    return KeyInjection::kSent;
}

} // namespace x11
} // namespace tvn
