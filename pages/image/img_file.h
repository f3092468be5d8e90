#pragma once

// The file interface the picture encoders write through, and a file that grows in memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace tvn {

// Frees a buffer that came from malloc, such as the one a memory file hands over.
struct CFreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// A file as the picture encoders see it. Seek origins: 0 from the start, 1 from the current
// position, 2 from the end.
class CImgFile {
  public:
    virtual ~CImgFile() = default;
    virtual bool Close() = 0; // true when closed
    virtual std::size_t Read(void* buffer, std::size_t size, std::size_t count) = 0; // items
    virtual std::size_t Write(const void* data, std::size_t size, std::size_t count) = 0;
    virtual bool Seek(long offset, int origin) = 0; // true when moved
    virtual long Tell() = 0;                        // position, or -1
    virtual long Size() = 0;                        // size, or -1
    virtual bool Flush() = 0;                       // true when flushed
    virtual bool Eof() = 0;
    virtual bool Error() = 0;
    // Writes one byte through Write; true when it was written.
    virtual bool PutC(unsigned char c) { return Write(&c, 1, 1) == 1; }
    virtual long GetC() = 0; // the next byte, or -1 at the end
    // Reads up to `n` - 1 bytes, stopping after a line feed, and ends them with a zero byte;
    // `text`, or nullptr when nothing was read.
    virtual char* GetS(char* text, int n) = 0;
    virtual long Scanf(const char* format, void* output) = 0; // items converted
};

// A byte buffer that grows as it is written, in steps of 65536 bytes. `Size` is the
// high-water mark of the bytes written, not the capacity.
class CImgMemFile : public CImgFile {
  public:
    // A file over `buffer` of `size` bytes, which stays the caller's and never grows; without
    // a buffer the file is closed until Open.
    explicit CImgMemFile(std::uint8_t* buffer = nullptr, std::size_t size = 0);
    ~CImgMemFile() override;
    CImgMemFile(const CImgMemFile&) = delete;
    CImgMemFile& operator=(const CImgMemFile&) = delete;

    // Allocates a buffer of 1 byte that the file owns; false when it already has one.
    bool Open();
    // The buffer. With `detach` the caller takes it over (free it with std::free) and closing
    // the file no longer frees it.
    std::uint8_t* GetBuffer(bool detach = true);
    std::size_t Capacity() const { return capacity; }

    bool Close() override;
    std::size_t Read(void* buffer, std::size_t size, std::size_t count) override;
    std::size_t Write(const void* data, std::size_t size, std::size_t count) override;
    bool Seek(long offset, int origin) override;
    long Tell() override;
    long Size() override;
    bool Flush() override;
    bool Eof() override;
    bool Error() override;
    long GetC() override;
    char* GetS(char* text, int n) override;
    long Scanf(const char* format, void* output) override;

  private:
    bool Grow(std::size_t needed);

    std::unique_ptr<std::uint8_t, CFreeDeleter> owned; // set while the file owns `buffer`
    std::uint8_t* buffer = nullptr;
    std::size_t position = 0;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

} // namespace tvn
