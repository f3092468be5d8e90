#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// The desktop entry that starts the program with the user's desktop session (the XDG
// autostart folder). It names the program by its absolute path, so that a copy run from a
// removable drive starts from there; TryExec lets the desktop skip it while the drive is away.
class CAutostartEntry {
  public:
    // The entry at `file`; by default DefaultFile().
    explicit CAutostartEntry(std::string file = DefaultFile());

    // $XDG_CONFIG_HOME/autostart/tarvolin.desktop; ~/.config stands in for XDG_CONFIG_HOME
    // when it is unset or not a full path. Empty when there is no home folder either.
    static std::string DefaultFile();
    // The absolute path of the running program (/proc/self/exe); empty when unknown.
    static std::string RunningProgram();

    const std::string& File() const { return file; }
    // True when the entry exists, is not hidden or switched off, and its Exec starts
    // `program` (the same path, or another name of the same file).
    bool Starts(const std::string& program) const;
    // Writes the entry for `program`, an absolute path, and the folders above it: a new file
    // renamed over the old one, so that a failure leaves the old entry whole. True on
    // success; else false with a sentence for the user in `error`.
    bool Write(const std::string& program, std::string& error) const;
    // Deletes the entry. True when it is gone (or never was); else false with a sentence for
    // the user in `error`.
    bool Remove(std::string& error) const;

  private:
    std::string file;
};

// `argument` as one argument of an Exec value: quoted, with '"', '`', '$' and '\' escaped and
// '%' doubled, then escaped as a string value of the file ('\' doubled; tab, line feed and
// carriage return as \t, \n and \r).
std::string ExecArgument(std::string_view argument);

// The program an Exec value (as it stands in the file) starts: its first argument with the
// escapes of both levels undone. Nothing when the value is malformed or names no program.
std::optional<std::string> ExecProgram(std::string_view value);

} // namespace tvn
