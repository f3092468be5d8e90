#include "pages/image/img_file.h"

#include <algorithm>
#include <cstring>

namespace tvn {

namespace {
constexpr std::size_t kGrowthStep = 65536;
}

CImgMemFile::CImgMemFile(std::uint8_t* callerBuffer, std::size_t callerSize)
    : buffer(callerBuffer), size(callerBuffer ? callerSize : 0),
      capacity(callerBuffer ? callerSize : 0) {}

CImgMemFile::~CImgMemFile() { Close(); }

bool CImgMemFile::Open() {
    if (buffer)
        return false;
    owned.reset(static_cast<std::uint8_t*>(std::malloc(1)));
    if (!owned)
        return false;
    buffer = owned.get();
    position = size = 0;
    capacity = 1;
    return true;
}

std::uint8_t* CImgMemFile::GetBuffer(bool detach) {
    if (detach)
        owned.release();
    return buffer;
}

bool CImgMemFile::Close() {
    owned.reset();
    buffer = nullptr;
    position = size = capacity = 0;
    return true;
}

// A write that needs `needed` bytes gets `needed` rounded down to the step, plus a step: an
// exact multiple still gains a whole step. Only a buffer the file owns can grow.
bool CImgMemFile::Grow(std::size_t needed) {
    if (needed <= capacity)
        return true;
    if (!owned)
        return false;
    const std::size_t newCapacity = needed / kGrowthStep * kGrowthStep + kGrowthStep;
    void* grown = std::realloc(owned.get(), newCapacity);
    if (!grown)
        return false;
    (void)owned.release(); // realloc already freed or kept the old block
    owned.reset(static_cast<std::uint8_t*>(grown));
    buffer = owned.get();
    capacity = newCapacity;
    return true;
}

std::size_t CImgMemFile::Read(void* out, std::size_t itemSize, std::size_t count) {
    if (!buffer || itemSize == 0 || position >= size)
        return 0;
    const std::size_t bytes = std::min(itemSize * count, size - position);
    std::memcpy(out, buffer + position, bytes);
    position += bytes;
    return bytes / itemSize;
}

std::size_t CImgMemFile::Write(const void* data, std::size_t itemSize, std::size_t count) {
    const std::size_t bytes = itemSize * count;
    if (!buffer || bytes == 0)
        return 0;
    if (!Grow(position + bytes))
        return 0;
    if (position > size) // a seek went past the end: the gap reads as zeros
        std::memset(buffer + size, 0, position - size);
    std::memcpy(buffer + position, data, bytes);
    position += bytes;
    size = std::max(size, position);
    return count;
}

bool CImgMemFile::Seek(long offset, int origin) {
    if (!buffer)
        return false;
    long target = 0;
    switch (origin) {
    case 0:
        target = offset;
        break;
    case 1:
        target = static_cast<long>(position) + offset;
        break;
    case 2:
        target = static_cast<long>(size) + offset;
        break;
    default:
        return false;
    }
    position = static_cast<std::size_t>(std::max(target, 0L));
    return true;
}

long CImgMemFile::Tell() { return buffer ? static_cast<long>(position) : -1; }

long CImgMemFile::Size() { return buffer ? static_cast<long>(size) : -1; }

bool CImgMemFile::Flush() { return buffer != nullptr; }

bool CImgMemFile::Eof() { return !buffer || position >= size; }

bool CImgMemFile::Error() { return !buffer; }

long CImgMemFile::GetC() {
    if (Eof())
        return -1;
    return buffer[position++];
}

char* CImgMemFile::GetS(char* text, int n) {
    if (n <= 0 || Eof())
        return nullptr;
    int used = 0;
    while (used < n - 1 && !Eof()) {
        const char c = static_cast<char>(buffer[position++]);
        text[used++] = c;
        if (c == '\n')
            break;
    }
    text[used] = '\0';
    return text;
}

// Nothing reads formatted text from a picture buffer: no item is ever converted.
long CImgMemFile::Scanf(const char*, void*) { return 0; }

} // namespace tvn
