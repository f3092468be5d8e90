#pragma once

#include "platform/key_injector.h"
#include "platform/loadable_module.h"
#include "platform/screen_capture.h"

// The X clients (the screen capture, the key injection) need Xlib, XCB and their extensions.
// They are a module of their own (platform/x11_module), loaded with the first screenshot or
// key, so that the idle program and the headless one never map the X libraries for them.

namespace tvn {

// What the module offers: CaptureScreen and InjectKeyInto as their headers tell.
struct X11Services {
    bool (*captureScreen)(CapturedScreen& screen, std::string& error);
    KeyInjection (*injectKeyInto)(long ownerPid, std::string_view keySymName,
                                  const std::function<bool()>& bringForward,
                                  std::chrono::milliseconds focusWait);
};

// The module's file name. In the build tree it lies beside the program.
inline constexpr const char* kX11ModuleName = "tarvolin-x11.so";
inline constexpr const char* kX11EntryName = "TvnX11Services";

// The module, loaded with its first Get() from the file main names with SetFile; null when it
// cannot be loaded (standard error tells why, once): there is then no screen to capture and
// no key to send. A program that links the clients in Use()s them instead.
CModuleTable<X11Services>& X11Module();

} // namespace tvn

// The module's entry point (platform/x11_module/x11_entry.cpp).
extern "C" const tvn::X11Services* TvnX11Services();
