// The entry point: makes the Qt application object that fits the session and hands the
// process to CDA. With a display, the desktop module makes it instead (shell/desktop_module.h).
#include "pages/picture_codec.h"
#include "platform/dbus_services.h"
#include "platform/x11_services.h"
#include "shell/application.h"
#include "shell/autostart_entry.h"
#include "shell/desktop_module.h"
#include "shell/user_interface.h"

#include <QCoreApplication>
#include <string>
#include <sys/stat.h>
#include <vector>
#ifdef TVN_WITH_UI
#include "platform/loadable_module.h"
#include "platform/resources.h"

#include <iostream>
#endif

namespace {

std::vector<std::string> Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The file of the program's module `name`: beside the program, or where it is installed.
std::string ModuleFile(const char* name) {
    return tvn::DesktopModulePath(tvn::CAutostartEntry::RunningProgram(), TVN_DESKTOP_MODULE_FOLDER,
                                  IsFile, name);
}

#ifdef TVN_WITH_UI
// The desktop module's entry, found from the program's own file; nothing when it cannot be
// loaded, which standard error then tells: the server still serves, without its window.
tvn::DesktopEntry LoadDesktop() {
    const std::string path = ModuleFile(tvn::kDesktopModuleName);
    std::string error;
    if (void* entry = tvn::LoadModuleEntry(path, tvn::kDesktopEntryName, error))
        return reinterpret_cast<tvn::DesktopEntry>(entry);
    std::cerr << tvn::LoadString(tvn::StringId::kDesktopModuleMissing) << ": " << error
              << std::endl;
    return nullptr;
}
#endif

} // namespace

int main(int argc, char** argv) {
    tvn::PictureModule().SetFile(ModuleFile(tvn::kPictureModuleName));
    tvn::DBusModule().SetFile(ModuleFile(tvn::kDBusModuleName));
    tvn::X11Module().SetFile(ModuleFile(tvn::kX11ModuleName));
    // Qt's own event loop instead of the GLib one: each connection registers and drops its
    // socket notifiers, and the GLib loop pays a wake-up for each of those changes.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
#ifdef TVN_WITH_UI
    if (tvn::HasDisplay()) {
        if (const tvn::DesktopEntry runDesktop = LoadDesktop())
            return runDesktop(&argc, argv);
    }
#endif
    QCoreApplication app(argc, argv);
    return tvn::CDA(tvn::HeadlessInterface()).Run(Arguments(argc, argv));
}
