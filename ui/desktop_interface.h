#pragma once

#include "shell/user_interface.h"

namespace tvn::ui {

// The user interface of the desktop program: questions and start failures in message boxes.
// The main window and tray take over the other members when they arrive; until then they
// behave as without a display.
CUserInterface DesktopInterface();

} // namespace tvn::ui
