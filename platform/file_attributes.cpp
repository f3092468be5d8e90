#include "platform/file_attributes.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

constexpr int kMaxReplacements = 40;

bool LastComponentHidden(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    const auto slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (begin >= end)
        return false;
    const std::string_view name(path.data() + begin, end - begin);
    if (name == "." || name == "..") {
        // A folder named by its place ("/docs/./"): its own name decides.
        char real[PATH_MAX];
        return ::realpath(path.c_str(), real) && LastComponentHidden(real);
    }
    return name.front() == '.';
}

int AttributesOf(const std::string& path, const struct stat& st) {
    int attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= kAttributeDirectory;
    if (LastComponentHidden(path))
        attributes |= kAttributeHidden;
    return attributes;
}

} // namespace

int GetFileAttributes(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return kInvalidAttributes;
    return AttributesOf(path, st);
}

std::string ResolveShortcuts(std::string path, std::size_t trustedPrefix, int* attributes) {
    int unused = kUnknownAttributes;
    int& learned = attributes ? *attributes : unused;
    learned = kUnknownAttributes;
    // The path as given is kept aside only once a link changes it: the walk of a path
    // without links makes no copy.
    std::string current = std::move(path);
    std::string given;
    bool changed = false;
    std::size_t start = trustedPrefix <= current.size() ? trustedPrefix : 0;
    for (int replacements = 0; replacements <= kMaxReplacements; ++replacements) {
        bool replaced = false;
        std::size_t pos = start;
        while (pos < current.size()) {
            const auto next = current.find('/', pos + 1);
            const std::size_t end = next == std::string::npos ? current.size() : next;
            if (end == pos + 1 && current[pos] == '/') { // empty component ("//")
                pos = end;
                continue;
            }
            // The prefix up to `end`, ended in place for the call.
            const char cut = end < current.size() ? current[end] : '\0';
            if (end < current.size())
                current[end] = '\0';
            struct stat st {};
            const bool found = ::lstat(current.c_str(), &st) == 0;
            char target[4096];
            const ssize_t n = found && S_ISLNK(st.st_mode)
                                  ? ::readlink(current.c_str(), target, sizeof target - 1)
                                  : 0;
            if (end < current.size())
                current[end] = cut;
            if (!found) {
                learned = kInvalidAttributes; // a missing part: the path does not exist
                return current;               // and nothing further down can be a link
            }
            if (S_ISLNK(st.st_mode)) {
                if (n <= 0) {
                    learned = kUnknownAttributes;
                    return changed ? given : current;
                }
                const std::string_view prefix(current.data(), end);
                std::string resolved(target, static_cast<std::size_t>(n));
                if (resolved.front() != '/') {
                    const auto slash = prefix.rfind('/');
                    if (slash != std::string_view::npos)
                        resolved.insert(0, prefix.substr(0, slash + 1));
                }
                // The URL, not the link's text, says whether a trailing '/' follows.
                while (resolved.size() > 1 && resolved.back() == '/')
                    resolved.pop_back();
                resolved.append(current, end);
                if (!changed)
                    given = std::move(current);
                changed = true;
                current = std::move(resolved);
                replaced = true;
                start = 0; // the target may hold links of its own anywhere
                break;
            }
            pos = end;
            // The last component is no link: what lstat saw is what stat would see.
            learned = pos >= current.size() ? AttributesOf(current, st) : kUnknownAttributes;
        }
        if (!replaced)
            return current;
        learned = kUnknownAttributes;
    }
    return given;
}

std::optional<std::string> ResolveRealPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    if (!real)
        return std::nullopt;
    return std::string(real.get());
}

} // namespace tvn
