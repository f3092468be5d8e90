#pragma once

// Whole reads and writes on a descriptor, written once.
#include <cerrno>
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

} // namespace tvn
