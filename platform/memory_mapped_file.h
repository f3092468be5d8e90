#pragma once

#include <string>
#include <string_view>

namespace tvn {

// A read-only view of a whole file. An empty file cannot be mapped.
class CMemoryMappedFile {
  public:
    CMemoryMappedFile() = default;
    CMemoryMappedFile(const CMemoryMappedFile&) = delete;
    CMemoryMappedFile& operator=(const CMemoryMappedFile&) = delete;
    ~CMemoryMappedFile() { Close(); }

    // Maps the file open on `fd` (the descriptor may be closed afterwards); true on success.
    bool Map(int fd);
    // Opens and maps `path`; true on success.
    bool MapPath(const std::string& path);
    void Close();

    std::string_view View() const { return {static_cast<const char*>(data), length}; }

  private:
    void* data = nullptr;
    std::size_t length = 0;
};

} // namespace tvn
