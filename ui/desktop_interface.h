#pragma once

#include "shell/user_interface.h"

namespace tvn::ui {

// The user interface of the desktop program: questions and start failures in message boxes,
// and, once makeMainWindow has run, the settings window, the tray icon and the activity
// pop-up. Before that the window's members do nothing.
CUserInterface DesktopInterface();

} // namespace tvn::ui
