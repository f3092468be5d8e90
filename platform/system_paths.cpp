#include "platform/system_paths.h"

#include <QStandardPaths>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tvn {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string StripTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool IsWritableFolder(const std::string& folder) {
    return !folder.empty() && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string XdgFolder(const char* variable, const char* fallbackBelowHome) {
    std::string base = Env(variable);
    if (base.empty())
        base = JoinPath(Env("HOME").empty() ? std::string("/tmp") : Env("HOME"), fallbackBelowHome);
    const std::string folder = JoinPath(base, "tarvolin");
    std::string partial;
    std::stringstream parts(folder);
    std::string piece;
    while (std::getline(parts, piece, '/')) {
        partial += piece.empty() && partial.empty() ? "" : "/" + piece;
        if (!partial.empty())
            ::mkdir(partial.c_str(), 0700);
    }
    return folder;
}

// Mount points and file-system types from /proc/self/mounts (octal escapes decoded).
struct Mount {
    std::string point;
    std::string device;
    std::string type;
};

std::string DecodeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out.push_back(
                static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8)));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

Mount FindMount(const std::string& path) {
    Mount best{"/", "", ""};
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, type, rest;
    while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
        point = DecodeMountField(point);
        const bool prefix =
            point == "/" || path == point || (path.starts_with(point) && path[point.size()] == '/');
        if (prefix && point.size() >= best.point.size())
            best = {point, device, type};
    }
    return best;
}

bool RemovableFlag(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    const std::string base = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                             std::to_string(minor(st.st_dev));
    // A partition keeps the flag on its parent disk.
    for (const char* rel : {"/removable", "/../removable"}) {
        std::ifstream flag(base + rel);
        int value = 0;
        if (flag >> value)
            return value == 1;
    }
    return false;
}

} // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

std::string ExecutableFolder() {
    std::string folder = Env("U3_DEVICE_EXEC_PATH");
    if (!folder.empty())
        return StripTrailingSlash(folder.substr(0, 255));
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return ".";
    std::string exe(buffer, static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::string SettingsFolder() {
    const std::string folder = Env("U3_APP_DATA_PATH");
    if (!folder.empty())
        return StripTrailingSlash(folder);
    const std::string exe = ExecutableFolder();
    return IsWritableFolder(exe) ? exe : XdgFolder("XDG_CONFIG_HOME", ".config");
}

std::string LogFolder() {
    const std::string exe = ExecutableFolder();
    return IsWritableFolder(exe) ? exe : XdgFolder("XDG_STATE_HOME", ".local/state");
}

std::string CacheFolder() {
    std::string base = Env("XDG_CACHE_HOME");
    if (!base.starts_with('/')) // a relative one is to be ignored, as XDG says
        base = JoinPath(Env("HOME").empty() ? std::string("/tmp") : Env("HOME"), ".cache");
    return JoinPath(StripTrailingSlash(base), "tarvolin");
}

std::string DocumentBaseFolder() {
    const std::string folder = Env("U3_DEVICE_DOCUMENT_PATH");
    if (!folder.empty())
        return StripTrailingSlash(folder);
    const std::string exe = ExecutableFolder();
    if (IsWritableFolder(exe))
        return exe;
    return DocumentsFolder().value_or(exe);
}

std::optional<std::string> DocumentsFolder() {
    const QString location = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (location.isEmpty())
        return std::nullopt;
    return StripTrailingSlash(location.toLocal8Bit().toStdString());
}

std::string MountPointOf(const std::string& path) { return FindMount(path).point; }

bool IsPortableMount(const std::string& path) {
    const Mount mount = FindMount(path);
    if (mount.point.starts_with("/media/") || mount.point.starts_with("/run/media/"))
        return true;
    for (const char* network :
         {"nfs", "nfs4", "cifs", "smb3", "sshfs", "fuse.sshfs", "9p", "iso9660", "udf"}) {
        if (mount.type == network)
            return true;
    }
    return RemovableFlag(path);
}

} // namespace tvn
