#pragma once

#include <cstring>
#include <memory>
#include <string_view>

namespace tvn {

// The receive and output buffer of a connection: `Size()` is the capacity in use (16384 at
// first), `Pending()` the bytes at its start still to be sent.
class COutputBuffer {
  public:
    static constexpr std::size_t kChunk = 16384;

    COutputBuffer() : data(std::make_unique_for_overwrite<char[]>(kChunk)), size(kChunk) {}

    // Appends `text` at the pending end; a buffer too small first grows to
    // pending + (length / 16384) * 16384 + 16384.
    void Append(std::string_view text) {
        if (pending + text.size() > size)
            Grow(pending + (text.size() / kChunk) * kChunk + kChunk);
        std::memcpy(data.get() + pending, text.data(), text.size());
        pending += text.size();
    }
    // Makes the capacity at least `capacity`, keeping the pending bytes (a body made in large
    // pieces); Reset returns to one chunk.
    void Reserve(std::size_t capacity) {
        if (capacity > size)
            Grow(capacity);
    }
    // Drops everything and returns to one chunk.
    void Reset() {
        if (size != kChunk) {
            data = std::make_unique_for_overwrite<char[]>(kChunk);
            size = kChunk;
        }
        pending = 0;
    }
    // Removes `count` sent bytes from the front; the capacity stays.
    void Consume(std::size_t count) {
        std::memmove(data.get(), data.get() + count, pending - count);
        pending -= count;
    }

    char* Data() { return data.get(); }
    const char* Data() const { return data.get(); }
    std::size_t Size() const { return size; }
    std::size_t Pending() const { return pending; }
    void SetPending(std::size_t count) { pending = count; }
    std::string_view View() const { return {data.get(), pending}; }

  private:
    void Grow(std::size_t newSize) {
        auto grown = std::make_unique_for_overwrite<char[]>(newSize);
        std::memcpy(grown.get(), data.get(), pending);
        data = std::move(grown);
        size = newSize;
    }

    std::unique_ptr<char[]> data;
    std::size_t size;
    std::size_t pending = 0;
};

} // namespace tvn
