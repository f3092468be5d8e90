#include "platform/x11_services.h"

#include "platform/loadable_module.h"

namespace tvn {
namespace {

CModuleTable<X11Services>& Module() {
    static CModuleTable<X11Services> module(kX11ModuleName, kX11EntryName,
                                            "no screen is captured and no key is sent");
    return module;
}

} // namespace

void SetX11ModuleFile(std::string path) { Module().SetFile(std::move(path)); }

void UseX11Services(const X11Services* services) { Module().Use(services); }

const X11Services* LoadedX11Services() { return Module().Get(); }

bool CaptureScreen(CapturedScreen& screen, std::string& error) {
    screen = CapturedScreen{};
    const X11Services* services = LoadedX11Services();
    if (!services) {
        error = "the X module did not load";
        return false;
    }
    return services->captureScreen(screen, error);
}

KeyInjection InjectKeyInto(long ownerPid, std::string_view keySymName,
                           const std::function<bool()>& bringForward,
                           std::chrono::milliseconds focusWait) {
    const X11Services* services = LoadedX11Services();
    if (!services)
        return KeyInjection::kNoDisplay;
    return services->injectKeyInto(ownerPid, keySymName, bringForward, focusWait);
}

} // namespace tvn
