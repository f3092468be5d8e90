#include "shell/autostart_entry.h"

#include "platform/file_io.h"
#include "platform/unique_fd.h"

#include <QString>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tvn {
namespace {

namespace fs = std::filesystem;

// An entry larger than this is not one we wrote, and is not read.
constexpr std::size_t kMaxEntryBytes = 64 * 1024;
// Characters that the Exec rules allow in an argument only when it is quoted.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (home.empty()) {
        if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir)
            home = user->pw_dir;
    }
    return home;
}

std::string Why(int error) { return std::strerror(error); }

// Undoes the escapes of a string value: \s, \n, \t, \r and \\. Any other backslash stays
// for the Exec rules to read.
std::string UnescapeString(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out.push_back(value[i]);
            continue;
        }
        switch (value[i + 1]) {
        case 's':
            out.push_back(' ');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case '\\':
            out.push_back('\\');
            break;
        default:
            out.append(value.substr(i, 2));
            break;
        }
        ++i;
    }
    return out;
}

// Replaces "%%" by '%'; nothing when another field code (%f, %u, ...) or a lone '%' is left,
// as no program path holds one.
std::optional<std::string> LiteralPercents(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 1 == text.size() || text[i + 1] != '%')
                return std::nullopt;
            ++i;
        }
        out.push_back(text[i]);
    }
    return out;
}

// The first argument of an Exec value whose string escapes are undone.
std::optional<std::string> FirstArgument(std::string_view exec) {
    const auto start = exec.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return std::nullopt;
    exec.remove_prefix(start);
    if (exec.front() != '"') {
        const std::string_view word = exec.substr(0, exec.find_first_of(" \t"));
        if (word.find_first_of(kReserved) != std::string_view::npos)
            return std::nullopt;
        return LiteralPercents(word);
    }
    std::string argument;
    for (std::size_t i = 1; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == '"') {
            const bool ends = i + 1 == exec.size() || exec[i + 1] == ' ' || exec[i + 1] == '\t';
            return ends ? LiteralPercents(argument) : std::nullopt;
        }
        if (c == '\\') {
            // Inside quotes only these four may follow a backslash.
            if (i + 1 == exec.size() ||
                std::string_view("\"`$\\").find(exec[i + 1]) == std::string_view::npos)
                return std::nullopt;
            argument.push_back(exec[++i]);
            continue;
        }
        argument.push_back(c);
    }
    return std::nullopt; // no closing quote
}

// A string value of the file: backslash, tab, line feed and carriage return escaped.
std::string EscapeString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out.push_back(c);
            break;
        }
    }
    return out;
}

std::string_view TrimSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

struct EntryKeys {
    std::optional<std::string> exec; // as it stands in the file
    bool off = false;                // Hidden=true or X-GNOME-Autostart-enabled=false
};

// The keys of the "Desktop Entry" group that decide whether the entry starts a program.
EntryKeys ReadKeys(std::string_view text) {
    EntryKeys keys;
    bool inEntry = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = TrimSpaces(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntry || equals == std::string_view::npos)
            continue;
        const std::string_view key = TrimSpaces(line.substr(0, equals));
        const std::string_view value = TrimSpaces(line.substr(equals + 1));
        if (key == "Exec")
            keys.exec = std::string(value);
        else if (key == "Hidden" && value == "true")
            keys.off = true;
        else if (key == "X-GNOME-Autostart-enabled" && value == "false")
            keys.off = true;
    }
    return keys;
}

std::optional<std::string> ReadEntry(const std::string& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (!fd.Valid() || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > kMaxEntryBytes)
        return std::nullopt;
    return ReadFromStart(fd.Get(), static_cast<std::size_t>(status.st_size));
}

bool SameProgram(const std::string& named, const std::string& program) {
    if (named == program)
        return true;
    std::error_code ec;
    return fs::equivalent(named, program, ec) && !ec;
}

std::string EntryText(const std::string& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tarvolin\n"
           "Comment=Share a folder of your files with phones and other computers over HTTP\n"
           "Exec=" +
           ExecArgument(program) + "\nTryExec=" + EscapeString(program) +
           "\n"
           "Icon=tarvolin\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

} // namespace

CAutostartEntry::CAutostartEntry(std::string entryFile) : file(std::move(entryFile)) {}

std::string CAutostartEntry::DefaultFile() {
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        const std::string home = HomeFolder();
        if (home.empty())
            return {};
        config = home + "/.config";
    }
    return config + "/autostart/tarvolin.desktop";
}

std::string CAutostartEntry::RunningProgram() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) == sizeof buffer)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool CAutostartEntry::Starts(const std::string& program) const {
    if (file.empty() || program.empty())
        return false;
    const auto text = ReadEntry(file);
    if (!text)
        return false;
    const EntryKeys keys = ReadKeys(*text);
    if (keys.off || !keys.exec)
        return false;
    const auto named = ExecProgram(*keys.exec);
    return named && SameProgram(*named, program);
}

bool CAutostartEntry::Write(const std::string& program, std::string& error) const {
    if (file.empty()) {
        error = "Tarvolin cannot start with the session: there is no home folder to hold its "
                "autostart entry.";
        return false;
    }
    // The desktop reads the entry as UTF-8; a path in another encoding would name another file.
    const QByteArray bytes(program.data(), static_cast<qsizetype>(program.size()));
    if (program.empty() || program.front() != '/' || QString::fromUtf8(bytes).toUtf8() != bytes) {
        error = "Tarvolin cannot start with the session: its path \"" + program +
                "\" is not a full path in UTF-8.";
        return false;
    }
    const fs::path folder = fs::path(file).parent_path();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        error = "Tarvolin cannot start with the session: the folder " + folder.string() +
                " could not be made (" + ec.message() + ").";
        return false;
    }
    if (const int failed = ReplaceWhole(file, EntryText(program), 0644); failed != 0) {
        error = "Tarvolin cannot start with the session: " + file + " could not be written (" +
                Why(failed) + ").";
        return false;
    }
    return true;
}

bool CAutostartEntry::Remove(std::string& error) const {
    if (file.empty() || ::unlink(file.c_str()) == 0 || errno == ENOENT)
        return true;
    const int failed = errno;
    error = "Tarvolin still starts with the session: " + file + " could not be deleted (" +
            Why(failed) + ").";
    return false;
}

std::string ExecArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted.push_back('\\');
        quoted.push_back(c);
        if (c == '%')
            quoted.push_back('%');
    }
    quoted.push_back('"');
    return EscapeString(quoted);
}

std::optional<std::string> ExecProgram(std::string_view value) {
    auto program = FirstArgument(UnescapeString(value));
    if (!program || program->empty())
        return std::nullopt;
    return program;
}

} // namespace tvn
