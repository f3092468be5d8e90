#pragma once

#include "shell/user_interface.h"

#include <string>
#include <vector>

namespace tvn {

enum class CommandWord { None, Stop, Install, Uninstall, Help };

// The first plain word of the command line (the first argument that is not an option
// beginning with '-'), compared case-sensitively with "stop", "install" and "uninstall".
// `arguments` excludes the program name. "--help" or "-h" anywhere asks for the usage instead,
// so that nobody starts the server (and its network presence) by asking how to use it.
CommandWord ParseCommandWord(const std::vector<std::string>& arguments);

// `--help`: what the command line takes, on standard output.
void PrintUsage();

// `stop`: asks a running instance to exit and gives it half a second; silent when none runs.
void RunStop();

// `install`: creates the default document folder with its parents. No message.
void RunInstall();

// `uninstall`: asks whether to delete the shared documents and on Yes deletes the program
// folder of the default document folder with everything in it. True when it was deleted.
bool RunUninstall(const CUserInterface& ui);

} // namespace tvn
