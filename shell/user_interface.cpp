#include "shell/user_interface.h"

#include "platform/text.h"
#include "shell/qr_symbol.h"

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace tvn {
namespace {

bool IsSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != 0;
}

std::string Trimmed(const std::string& line) {
    std::size_t begin = 0;
    std::size_t end = line.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(line[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(line[end - 1])))
        --end;
    return ToLower(std::string_view(line).substr(begin, end - begin));
}

} // namespace

bool HasDisplay() { return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"); }

bool AskYesNoOnTerminal(const std::string& text, const std::string& caption, std::istream& in,
                        std::ostream& out, bool isTerminal) {
    if (!isTerminal)
        return false;
    out << caption << ": " << text << "? [y/N] " << std::flush;
    std::string line;
    if (!std::getline(in, line))
        return false;
    const std::string answer = Trimmed(line);
    return answer == "y" || answer == "yes";
}

CUserInterface HeadlessInterface() {
    CUserInterface ui;
    ui.askYesNo = [](const std::string& text, const std::string& caption) {
        // Only standard input counts as the terminal: a program started from a script
        // with its input redirected must not wait for an answer on /dev/tty.
        return AskYesNoOnTerminal(text, caption, std::cin, std::cerr, ::isatty(STDIN_FILENO) == 1);
    };
    ui.showError = [](const std::string& text) { std::cerr << text << std::endl; };
    ui.showWindow = [] {};
    ui.showActivity = [](std::string_view) {};
    // On a terminal each new address also comes as a QR code, for a phone's camera.
    auto lastAddress = std::make_shared<std::string>();
    ui.showAccessInfo = [lastAddress](const std::string& line) {
        std::cout << line << std::endl;
        if (::isatty(STDOUT_FILENO) == 1)
            WriteAccessQrCode(std::cout, line, *lastAddress);
    };
    ui.showCertificate = [](const std::string& line) {
        if (!line.empty())
            std::cout << line << std::endl;
    };
    // On a terminal OK is "y"; the box cannot be ticked there, so the question comes again
    // at the next start. Without a terminal the answer is Cancel.
    ui.askOnce = [](const std::string& text, const std::string& caption) {
        QuestionReply reply;
        reply.ok =
            AskYesNoOnTerminal(text, caption, std::cin, std::cerr, ::isatty(STDIN_FILENO) == 1);
        return reply;
    };
    ui.makeMainWindow = [](CServerControl&, std::function<void(int)>) {
        return std::shared_ptr<void>();
    };
    return ui;
}

} // namespace tvn
