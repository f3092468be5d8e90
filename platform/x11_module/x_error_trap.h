#pragma once

// Xlib's error handler is one for the whole process, and its default ends the process. The
// X users of platform/ (screen capture, keys) share one handler, installed once: an error
// of a display that the calling thread has a trap for is recorded there, any other is
// ignored (a window that vanished, a request of a connection that is closing).
#include <X11/Xlib.h>

namespace tvn {

// Installs the shared handler, once; safe from any thread.
void InstallXErrorHandler();

// A lost connection to the X server (the desktop session ended, the server died) would end
// the whole process by default: for `display` it only makes every later call fail.
void SurviveLostConnection(Display* display);

// While it lives, errors of `display` on this thread set `*failed`.
class CXErrorTrap {
  public:
    CXErrorTrap(Display* display, bool* failed);
    ~CXErrorTrap();
    CXErrorTrap(const CXErrorTrap&) = delete;
    CXErrorTrap& operator=(const CXErrorTrap&) = delete;

  private:
    Display* previousDisplay;
    bool* previousFlag;
};

} // namespace tvn
