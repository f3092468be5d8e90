#pragma once

#include <functional>
#include <string>

// The desktop window (the settings window, the tray, the pop-up and the message boxes) is a
// module of its own, loaded only when there is a display: the headless server never maps Qt
// Widgets. The module takes the program's own shell, server and pages from the program.

// The module's one entry point (ui/desktop_module.cpp): runs the program with the desktop
// window until it ends and returns its exit status. It gets main's arguments; QApplication
// keeps `argc` by reference and may take its own options out of `argv`.
extern "C" int TvnRunDesktop(int* argc, char** argv);

namespace tvn {

using DesktopEntry = decltype(&TvnRunDesktop);
inline constexpr const char* kDesktopEntryName = "TvnRunDesktop";
// The module's file name. In the build tree it lies beside the program.
inline constexpr const char* kDesktopModuleName = "tarvolin-ui.so";

// The module of the program `programFile` (the full path /proc/self/exe gives): the file beside
// it when `exists` says there is one (the build tree), else the one in `installedFolder` taken
// from the program's folder (installed: bin/ and lib/tarvolin/). Empty when `programFile` is not
// a full path, so that the current folder never decides.
// `moduleName` names another of the program's modules, found the same way.
std::string DesktopModulePath(const std::string& programFile, const std::string& installedFolder,
                              const std::function<bool(const std::string& path)>& exists,
                              const char* moduleName = kDesktopModuleName);

} // namespace tvn
