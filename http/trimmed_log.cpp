#include "http/trimmed_log.h"

#include "config/stored_path.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

struct Unmap {
    std::size_t length;
    void operator()(void* view) const { ::munmap(view, length); }
};

} // namespace

void TrimmedLog::Append(const std::string& name, int newLimit, std::string_view text) {
    limit = newLimit;
    if (name != currentName) {
        currentName = name;
        const std::string path = FromStoredPath(name);
        handle.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        struct stat st {};
        size = handle.Valid() && ::fstat(handle.Get(), &st) == 0 ? st.st_size : 0;
    }
    if (!handle.Valid())
        return;
    // A failed or short write is ignored: the log is a convenience, never a reason to fail.
    const ssize_t written = ::write(handle.Get(), text.data(), text.size());
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
    void* view = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED,
                        handle.Get(), 0);
    if (view == MAP_FAILED)
        return;
    std::unique_ptr<void, Unmap> mapping(view, Unmap{static_cast<std::size_t>(size)});
    char* bytes = static_cast<char*>(view);
    // A limit below 1 (a hand-edited LogFileSize) puts the cut beyond the end: empty the log.
    off_t cut = std::min(size, size - max + max / 10);
    for (off_t i = cut; i < size && bytes[i] != 0; ++i) {
        if (bytes[i] == '\n') {
            cut = i + 1;
            break;
        }
    }
    std::memmove(bytes, bytes + cut, static_cast<std::size_t>(size - cut));
    mapping.reset();
    if (::ftruncate(handle.Get(), size - cut) == 0)
        size -= cut;
}

} // namespace tvn
