#include "platform/x11_services.h"

#include "platform/loadable_module.h"

namespace tvn {

CModuleTable<X11Services>& X11Module() {
    static CModuleTable<X11Services> module(kX11ModuleName, kX11EntryName,
                                            "no screen is captured and no key is sent");
    return module;
}

bool CaptureScreen(CapturedScreen& screen, std::string& error) {
    screen = CapturedScreen{};
    const X11Services* services = X11Module().Get();
    if (!services) {
        error = "the X module did not load";
        return false;
    }
    return services->captureScreen(screen, error);
}

KeyInjection InjectKeyInto(long ownerPid, std::string_view keySymName,
                           const std::function<bool()>& bringForward,
                           std::chrono::milliseconds focusWait) {
    const X11Services* services = X11Module().Get();
    if (!services)
        return KeyInjection::kNoDisplay;
    return services->injectKeyInto(ownerPid, keySymName, bringForward, focusWait);
}

} // namespace tvn
