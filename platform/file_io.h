#pragma once

// Whole reads and writes on a descriptor, written once.
#include "platform/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace tvn {

// Writes all of `bytes` to `fd`; false when a write fails or writes nothing.
inline bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Up to `size` bytes of `fd` from its start, read with pread (never mapped: a file that
// shrinks meanwhile gives what is there, never a fault); nothing when a read fails.
inline std::optional<std::string> ReadFromStart(int fd, std::size_t size) {
    std::string text(size, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            ::pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

// Writes `bytes` to `path` as a whole or not at all: into a new file beside it whose name
// begins with a dot (never served, never taken for a file of the folder), synced, then
// renamed over `path`. A full disk can show up only at flush time, so nothing unwritten is
// ever renamed. `mode` is the new file's, less the umask. 0, or the errno of the step that
// failed; the new file is gone then.
inline int ReplaceWhole(const std::string& path, std::string_view bytes, mode_t mode = 0666) {
    const std::size_t slash = path.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    const std::string temp = path.substr(0, nameAt) + "." + path.substr(nameAt) + ".new";
    ::unlink(temp.c_str()); // left by a write that was cut short
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.Valid())
        return errno;
    errno = 0;
    if (WriteAll(fd.Get(), bytes) && ::fsync(fd.Get()) == 0 && ::close(fd.Release()) == 0 &&
        ::rename(temp.c_str(), path.c_str()) == 0)
        return 0;
    const int error = errno ? errno : EIO;
    ::unlink(temp.c_str());
    return error;
}

} // namespace tvn
