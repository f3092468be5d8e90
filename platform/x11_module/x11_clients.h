#pragma once

// The X module's screen capture and key injection, in names of their own: the program's
// CaptureScreen and InjectKeyInto (platform/screen_capture.h, platform/key_injector.h) call
// them through the module's table (platform/x11_services.h).
#include "platform/key_injector.h"
#include "platform/screen_capture.h"

namespace tvn::x11 {

bool CaptureScreen(CapturedScreen& screen, std::string& error);
KeyInjection InjectKeyInto(long ownerPid, std::string_view keySymName,
                           const std::function<bool()>& bringForward,
                           std::chrono::milliseconds focusWait);

} // namespace tvn::x11
