#include "platform/trimmed_log.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tvn {
namespace {

constexpr std::size_t kMoveChunk = 64 * 1024;

} // namespace

void TrimmedLog::Append(const std::string& name, int newLimit, std::string_view text) {
    limit = newLimit;
    if (name != currentName) {
        currentName = name;
        handle.Reset(::open(name.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        struct stat st {};
        size = handle.Valid() && ::fstat(handle.Get(), &st) == 0 ? st.st_size : 0;
    }
    if (!handle.Valid())
        return;
    // A failed write is ignored: the log is a convenience, never a reason to fail.
    const ssize_t written = ::write(handle.Get(), text.data(), text.size());
    if (written > 0 && static_cast<std::size_t>(written) < text.size()) {
        // A full disk takes only the head of an entry; left there, it would run into the
        // next entry as one cut line. Take it back (the write just ended at the file's end).
        struct stat st {};
        if (::fstat(handle.Get(), &st) == 0 && st.st_size >= written &&
            ::ftruncate(handle.Get(), st.st_size - written) == 0)
            return;
    }
    if (written > 0)
        size += written;
    Shrink();
}

void TrimmedLog::Close() {
    handle.Reset();
    currentName.clear();
}

void TrimmedLog::Shrink() {
    const off_t max = static_cast<off_t>(limit) * 1000000;
    if (size <= max)
        return;
    // Someone else may have written or cut the file meanwhile: cut by its real length.
    struct stat st {};
    size = ::fstat(handle.Get(), &st) == 0 ? st.st_size : 0;
    if (size <= max)
        return;
    // Moved through a bounded buffer, never mapped: a log cut by someone else while it is
    // moved (a rotation by copy and truncate) must not end the process. Written through a
    // descriptor of its own, as writes through the appending one always land at the end.
    UniqueFd rewrite(::open(currentName.c_str(), O_RDWR | O_CLOEXEC));
    if (!rewrite.Valid())
        return;
    std::vector<char> chunk(kMoveChunk);
    // A limit below 1 (a hand-edited LogFileSize) puts the cut beyond the end: empty the log.
    off_t cut = std::min(size, size - max + max / 10);
    // The cut moves on to the start of the next line (up to a NUL byte, which ends the text).
    for (off_t at = cut; at < size;) {
        const ssize_t n = ::pread(rewrite.Get(), chunk.data(), chunk.size(), at);
        if (n <= 0)
            break;
        const auto end = std::find_if(chunk.begin(), chunk.begin() + n,
                                      [](char c) { return c == '\n' || c == 0; });
        if (end != chunk.begin() + n) {
            if (*end == '\n')
                cut = at + (end - chunk.begin()) + 1;
            break;
        }
        at += n;
    }
    off_t kept = 0;
    for (;;) {
        const ssize_t n = ::pread(rewrite.Get(), chunk.data(), chunk.size(), cut + kept);
        if (n <= 0)
            break; // the end, or the file shrank meanwhile: keep what was moved
        if (::pwrite(rewrite.Get(), chunk.data(), static_cast<std::size_t>(n), kept) != n)
            return; // a line twice is better than lines lost: leave the rest standing
        kept += n;
    }
    if (::ftruncate(rewrite.Get(), kept) == 0)
        size = kept;
}

} // namespace tvn
