// The entry point: makes the Qt application object that fits the session and hands the
// process to CDA.
#include "shell/application.h"
#include "shell/user_interface.h"

#include <QCoreApplication>
#include <string>
#include <vector>
#ifdef TVN_WITH_UI
#include "ui/desktop_interface.h"

#include <QApplication>
#endif

namespace {

std::vector<std::string> Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

#ifdef TVN_WITH_UI
int RunWithDisplay(int argc, char** argv) {
    // Prefer the session's own display, and fall back to no display at all rather than
    // abort when it cannot be reached.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                                       ? "xcb;offscreen"
                                       : "wayland;xcb;offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // A message box on the offscreen platform could never be answered.
    const bool visible = QApplication::platformName() != QLatin1String("offscreen");
    return tvn::CDA(visible ? tvn::ui::DesktopInterface() : tvn::HeadlessInterface())
        .Run(Arguments(argc, argv));
}
#endif

} // namespace

int main(int argc, char** argv) {
    // Qt's own event loop instead of the GLib one: each connection registers and drops its
    // socket notifiers, and the GLib loop pays a wake-up for each of those changes.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
#ifdef TVN_WITH_UI
    if (tvn::HasDisplay())
        return RunWithDisplay(argc, argv);
#endif
    QCoreApplication app(argc, argv);
    return tvn::CDA(tvn::HeadlessInterface()).Run(Arguments(argc, argv));
}
