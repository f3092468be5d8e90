#include "config/stored_path.h"

#include "platform/system_paths.h"

#include <cstdlib>
#include <strings.h>

namespace tvn {
namespace {

constexpr std::string_view kPortable = "Portable:";
constexpr std::string_view kPersonal = "Personal:";

// The part of `path` behind the mount point `mount` (beginning with '/').
std::string BehindMount(const std::string& path, const std::string& mount) {
    if (mount == "/")
        return path;
    return path.substr(mount.size());
}

} // namespace

std::string ToStoredPath(const std::string& path) {
    if (path.empty() || path.front() != '/')
        return path;
    if (IsPortableMount(path)) {
        const std::string mount = MountPointOf(path);
        if (mount == MountPointOf(ExecutableFolder()))
            return std::string(kPortable) + BehindMount(path, mount);
    }
    const auto documents = DocumentsFolder();
    if (!documents || documents->empty())
        return path;
    if (path.size() >= documents->size() &&
        ::strncasecmp(path.c_str(), documents->c_str(), documents->size()) == 0)
        return std::string(kPersonal) + path.substr(documents->size());
    return path;
}

std::string FromStoredPath(const std::string& stored) {
    if (stored.starts_with(kPortable)) {
        const std::string mount = MountPointOf(ExecutableFolder());
        return (mount == "/" ? std::string() : mount) + stored.substr(kPortable.size());
    }
    if (stored.starts_with(kPersonal)) {
        if (const auto documents = DocumentsFolder())
            return *documents + stored.substr(kPersonal.size());
    }
    return stored;
}

int PackVersion(const std::string& dotted) {
    unsigned parts[4] = {0, 0, 0, 0};
    const char* p = dotted.c_str();
    for (int i = 0; i < 4 && *p; ++i) {
        char* end = nullptr;
        parts[i] = static_cast<unsigned>(std::strtoul(p, &end, 10));
        p = (*end == '.') ? end + 1 : end;
        if (*end != '.')
            break;
    }
    const unsigned packed =
        ((parts[0] * 256 + parts[1] % 256) * 256 + parts[2] % 256) * 256 + parts[3] % 256;
    return static_cast<int>(packed);
}

} // namespace tvn
