#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

namespace tvn {

class CServerControl;

// The answer to a question with a "Don't show me again" box.
struct QuestionReply {
    bool ok = false;           // OK rather than Cancel or the window closed
    bool dontAskAgain = false; // the box was ticked
};

// What the shell asks of the user. The desktop build fills it from ui/ (message boxes, and
// later the main window and tray); the headless program answers on the terminal and the
// standard streams. Every member is set.
struct CUserInterface {
    // A Yes/No question; true for Yes.
    std::function<bool(const std::string& text, const std::string& caption)> askYesNo;
    // A failure the user must see (a server start that failed).
    std::function<void(const std::string& text)> showError;
    // kCommandShowWindow: bring the main window forward.
    std::function<void()> showWindow;
    // One request line for the activity pop-up.
    std::function<void(std::string_view line)> showActivity;
    // A changed access-information line.
    std::function<void(const std::string& line)> showAccessInfo;
    // The HTTPS certificate's line (its SHA-256 fingerprint, for the owner to compare once on
    // the phone), when it changed; empty while HTTPS is off.
    std::function<void(const std::string& line)> showCertificate;
    // An OK/Cancel question with a "Don't show me again" box.
    std::function<QuestionReply(const std::string& text, const std::string& caption)> askOnce;
    // Makes the main window and tray around `control` once it exists (the desktop does; the
    // headless program returns none). `command` runs a command of the main window
    // (kCommandToggleEnable, kCommandShowWindow, kCommandExit). The handle is dropped before
    // `control` goes.
    std::function<std::shared_ptr<void>(CServerControl& control,
                                        std::function<void(int command)> command)>
        makeMainWindow;
};

// True when a graphical display is named (DISPLAY or WAYLAND_DISPLAY not empty).
bool HasDisplay();

// The interface of a program without windows: questions on the terminal, errors on standard
// error, the access information on standard output, no activity pop-up.
CUserInterface HeadlessInterface();

// Asks `text` on a terminal: the prompt goes to `out`, one line is read from `in`. Without a
// terminal (`isTerminal` false) nothing is asked. True only for the answer "y" or "yes"
// (any case); an empty line, end of input or no terminal mean No.
bool AskYesNoOnTerminal(const std::string& text, const std::string& caption, std::istream& in,
                        std::ostream& out, bool isTerminal);

} // namespace tvn
