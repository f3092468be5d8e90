#pragma once

#include "shell/user_interface.h"

#include <string>
#include <vector>

namespace tvn {

class CFirewall;

// The application: the life of the process from the single-instance lock to exit. The
// caller has made the Qt application object and chosen the user interface.
class CDA {
  public:
    explicit CDA(CUserInterface ui);

    // Runs the process for `arguments` (without the program name); the exit code.
    int Run(const std::vector<std::string>& arguments);

  private:
    int RunMainWindow(CFirewall* firewall);

    CUserInterface ui;
};

} // namespace tvn
