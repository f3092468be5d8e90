#include "platform/ini_file.h"

#include "platform/file_io.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <optional>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tvn::ini {
namespace {

// One lock serializes every access of the process to the settings files, so that two
// threads writing different keys never lose each other's change.
std::mutex& ProfileLock() {
    static std::mutex lock;
    return lock;
}

// The file's text, and its attributes in `attributes` when it exists; false when it exists
// but cannot be read.
bool ReadWholeFile(const std::string& file, std::string& text,
                   std::optional<struct stat>* attributes = nullptr) {
    text.clear();
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return errno == ENOENT;
    if (attributes) {
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0)
            return false;
        *attributes = st;
    }
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string ReadWholeFile(const std::string& file) {
    std::string text;
    ReadWholeFile(file, text);
    return text;
}

constexpr std::string_view Trim(std::string_view s) { return TrimBlanks(s); }
constexpr bool SameName(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

struct Line {
    std::string_view text;
    std::size_t begin; // offset of the line in the file text
    std::size_t end;   // offset behind its line end
};

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto eol = text.find('\n', pos);
        const std::size_t stop = eol == std::string_view::npos ? text.size() : eol;
        const std::size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
        lines.push_back({text.substr(pos, stop - pos), pos, next});
        pos = next;
    }
    return lines;
}

std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']')
        return line.substr(1, line.size() - 2);
    return std::nullopt;
}

struct Found {
    bool sectionFound = false;
    std::size_t sectionEnd = 0;  // offset behind the section's last non-empty line
    std::optional<Line> keyLine; // the line of the key, when present
    std::optional<std::string_view> value;
};

Found Find(std::string_view text, std::string_view section, std::string_view key) {
    // The names of the file's lines lose their surrounding blanks when read, so the names
    // asked for lose them too: a key written as " Port" is found again as "Port".
    section = Trim(section);
    key = Trim(key);
    Found found;
    bool inSection = false;
    for (const Line& line : SplitLines(text)) {
        if (auto name = SectionName(line.text)) {
            if (inSection)
                break;
            inSection = SameName(Trim(*name), section);
            if (inSection) {
                found.sectionFound = true;
                found.sectionEnd = line.end;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (!Trim(line.text).empty())
            found.sectionEnd = line.end;
        const auto eq = line.text.find('=');
        if (eq == std::string_view::npos || found.keyLine)
            continue;
        if (SameName(Trim(line.text.substr(0, eq)), key)) {
            found.keyLine = line;
            found.value = Trim(line.text.substr(eq + 1));
        }
    }
    return found;
}

// The file a write must replace: `file` itself, or the final target of the chain of
// symbolic links it names, so that a link (say into a synchronized folder) stays a link.
// Nothing when a link cannot be read or the chain loops.
std::optional<std::string> FinalTarget(const std::string& file) {
    constexpr int kMaxLinks = 40; // what the kernel follows before ELOOP
    std::string path = file;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return errno == ENOENT ? std::optional(path) : std::nullopt;
        if (!S_ISLNK(st.st_mode))
            return path;
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
            return std::nullopt;
        std::string target(buffer, static_cast<std::size_t>(n));
        const auto slash = path.rfind('/');
        if (target.front() != '/' && slash != std::string::npos)
            target.insert(0, path, 0, slash + 1);
        path = std::move(target);
    }
    return std::nullopt;
}

// Gives the new file the owner and mode of the one it replaces; a new settings file is
// readable by its owner only, as it may hold the dynamic DNS password. False on failure.
bool CopyAttributes(int fd, const std::optional<struct stat>& existing) {
    if (!existing)
        return ::fchmod(fd, 0600) == 0;
    struct stat own {};
    if (::fstat(fd, &own) != 0)
        return false;
    // Someone else's file in our folder: we may replace it but not give it away; the
    // mode is kept all the same.
    if ((own.st_uid != existing->st_uid || own.st_gid != existing->st_gid) &&
        ::fchown(fd, existing->st_uid, existing->st_gid) != 0 && errno != EPERM)
        return false;
    return ::fchmod(fd, existing->st_mode & 07777) == 0;
}

// Replaces `file` by `text` atomically: the temporary file lies in the same folder, so
// the rename never crosses file systems.
bool ReplaceFile(const std::string& file, const std::string& text,
                 const std::optional<struct stat>& existing) {
    const std::string temp = file + ".tmp" + std::to_string(::getpid());
    ::unlink(temp.c_str()); // left behind by a crash of an earlier process of this id
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid())
        return false;
    // A full disk can show up only at flush time: never rename a file that was not written.
    const bool written = CopyAttributes(fd.Get(), existing) && WriteAll(fd.Get(), text) &&
                         ::fsync(fd.Get()) == 0 && ::close(fd.Release()) == 0;
    if (!written || ::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

// A line end in a value, key or section name would start a line of its own in the file;
// a key with '=' or a leading '[' would be read back as another key or a section.
bool Writable(std::string_view section, std::string_view key, std::string_view value) {
    constexpr std::string_view kLineEnds = "\r\n";
    if (section.find_first_of(kLineEnds) != std::string_view::npos ||
        key.find_first_of(kLineEnds) != std::string_view::npos ||
        value.find_first_of(kLineEnds) != std::string_view::npos)
        return false;
    return key.find('=') == std::string_view::npos && !Trim(key).starts_with('[');
}

} // namespace

std::string ReadString(const std::string& file, std::string_view section, std::string_view key,
                       std::string_view fallback, std::size_t maxLength) {
    std::lock_guard guard(ProfileLock());
    const std::string text = ReadWholeFile(file);
    const Found found = Find(text, section, key);
    std::string value(found.value ? *found.value : fallback);
    if (value.size() > maxLength)
        value.resize(maxLength);
    return value;
}

int ReadInt(const std::string& file, std::string_view section, std::string_view key, int fallback) {
    std::lock_guard guard(ProfileLock());
    const std::string text = ReadWholeFile(file);
    const Found found = Find(text, section, key);
    if (!found.value)
        return fallback;
    return static_cast<int>(std::strtol(std::string(*found.value).c_str(), nullptr, 10));
}

bool WriteString(const std::string& file, std::string_view section, std::string_view key,
                 std::string_view value) {
    if (!Writable(section, key, value))
        return false;
    std::lock_guard guard(ProfileLock());
    const auto target = FinalTarget(file);
    if (!target)
        return false;
    std::string text;
    std::optional<struct stat> existing;
    // A file that is there but cannot be read must not be replaced by one holding only
    // this key: every other setting would be lost.
    if (!ReadWholeFile(*target, text, &existing))
        return false;
    const Found found = Find(text, section, key);
    std::string entry;
    entry.append(key).append("=").append(value).append("\n");
    if (found.keyLine) {
        text.replace(found.keyLine->begin, found.keyLine->end - found.keyLine->begin, entry);
    } else if (found.sectionFound) {
        if (found.sectionEnd > 0 && text[found.sectionEnd - 1] != '\n')
            entry.insert(0, "\n");
        text.insert(found.sectionEnd, entry);
    } else {
        if (!text.empty() && text.back() != '\n')
            text.push_back('\n');
        text.append("[").append(section).append("]\n").append(entry);
    }
    return ReplaceFile(*target, text, existing);
}

} // namespace tvn::ini
