#include "platform/memory_mapped_file.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace tvn {

bool CMemoryMappedFile::Map(int fd) {
    Close();
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return false;
    void* view =
        ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (view == MAP_FAILED)
        return false;
    data = view;
    length = static_cast<std::size_t>(st.st_size);
    return true;
}

bool CMemoryMappedFile::MapPath(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return fd.Valid() && Map(fd.Get());
}

void CMemoryMappedFile::Close() {
    if (data)
        ::munmap(data, length);
    data = nullptr;
    length = 0;
}

} // namespace tvn
