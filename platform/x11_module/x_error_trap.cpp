#include "platform/x11_module/x_error_trap.h"

#include <mutex>

namespace tvn {
namespace {

// Xlib calls the handler on the thread that made the failing call.
thread_local Display* trappedDisplay = nullptr;
thread_local bool* trappedFlag = nullptr;

int OnXError(Display* display, XErrorEvent*) {
    if (display == trappedDisplay && trappedFlag)
        *trappedFlag = true;
    return 0;
}

// Xlib's defaults for a lost connection both end the process: its handler and, after it,
// the display's exit handler. Both return here; the call in progress then fails.
int OnLostConnection(Display*) { return 0; }
void KeepRunning(Display*, void*) {}

} // namespace

void SurviveLostConnection(Display* display) {
    InstallXErrorHandler();
    if (display)
        XSetIOErrorExitHandler(display, KeepRunning, nullptr);
}

void InstallXErrorHandler() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        XSetErrorHandler(OnXError);
        XSetIOErrorHandler(OnLostConnection);
    });
}

CXErrorTrap::CXErrorTrap(Display* display, bool* failed)
    : previousDisplay(trappedDisplay), previousFlag(trappedFlag) {
    InstallXErrorHandler();
    trappedDisplay = display;
    trappedFlag = failed;
}

CXErrorTrap::~CXErrorTrap() {
    trappedDisplay = previousDisplay;
    trappedFlag = previousFlag;
}

} // namespace tvn
