#include "shell/command_word.h"

#include "platform/resources.h"
#include "shell/default_folders.h"
#include "shell/instance_channel.h"

#include <cstdio>
#include <filesystem>
#include <thread>

namespace tvn {
namespace {

// How long `stop` gives the running instance to finish after asking it.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

} // namespace

CommandWord ParseCommandWord(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments)
        if (argument == "--help" || argument == "-h")
            return CommandWord::Help;
    for (const std::string& argument : arguments) {
        if (argument.starts_with('-'))
            continue;
        if (argument == "stop")
            return CommandWord::Stop;
        if (argument == "install")
            return CommandWord::Install;
        if (argument == "uninstall")
            return CommandWord::Uninstall;
        return CommandWord::None;
    }
    return CommandWord::None;
}

void PrintUsage() {
    std::fputs("Usage: tarvolin [stop | install | uninstall]\n"
               "  (nothing)   starts the server, or shows the window of the one already running\n"
               "  stop        asks the running server to end\n"
               "  install     creates the default shared folder\n"
               "  uninstall   asks, then deletes the default shared folder\n"
               "  --help, -h  shows this text\n"
               "The settings are in TVN.cfg (see the README for where it is kept).\n",
               stdout);
}

void RunStop() {
    if (SendInstanceCommand(InstanceChannelPath(), kCommandExit))
        std::this_thread::sleep_for(kStopGrace);
}

void RunInstall() {
    std::error_code ec;
    std::filesystem::create_directories(DefaultDocumentFolder(), ec);
}

bool RunUninstall(const CUserInterface& ui) {
    if (!ui.askYesNo(LoadString(StringId::kDeleteSharedDocs), LoadString(StringId::kProgramName)))
        return false;
    std::error_code ec;
    // remove_all deletes links, not what they point at: nothing outside the folder goes.
    std::filesystem::remove_all(ProgramDocumentFolder(), ec);
    return !ec;
}

} // namespace tvn
