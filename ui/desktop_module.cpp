// The entry point of the desktop module (tarvolin-ui.so), which the program loads when there is
// a display: the Qt application with widgets, then the shell with the desktop interface.
#include "shell/desktop_module.h"

#include "shell/application.h"
#include "shell/user_interface.h"
#include "ui/desktop_interface.h"

#include <QApplication>
#include <string>
#include <vector>

extern "C" int TvnRunDesktop(int* argc, char** argv) {
    // Prefer the session's own display, and fall back to no display at all rather than
    // abort when it cannot be reached.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                                       ? "xcb;offscreen"
                                       : "wayland;xcb;offscreen");
    QApplication app(*argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // A message box on the offscreen platform could never be answered.
    const bool visible = QApplication::platformName() != QLatin1String("offscreen");
    const std::vector<std::string> arguments(argv + (*argc > 0 ? 1 : 0), argv + *argc);
    return tvn::CDA(visible ? tvn::ui::DesktopInterface() : tvn::HeadlessInterface())
        .Run(arguments);
}
