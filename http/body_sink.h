#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

namespace tvn {

// Where the body of a request goes as the connection reads it. The connection hands it the
// bytes in order and stops reading while it is full; the sink says from any thread, through
// the function given to SetOnRoom, when it has room again.
class IBodySink {
  public:
    virtual ~IBodySink() = default;
    // Takes the next bytes of the body; false when it takes no more (it failed, and the
    // request's wake tells the answer).
    virtual bool Take(std::string_view bytes) = 0;
    // Memory of the sink's own where the connection may read the next bytes, up to `want`
    // of them, without a copy; empty when the sink has none (or takes no more): the
    // connection then reads into its own and calls Take. Each Room is followed by TakeRoom.
    virtual std::span<char> Room(std::size_t want) {
        (void)want;
        return {};
    }
    // Takes the first `count` bytes (0 when the read brought none) of the last Room, as
    // Take would; false when it takes no more.
    virtual bool TakeRoom(std::size_t count) {
        (void)count;
        return false;
    }
    // True while the bytes taken wait for their place and no more should be read.
    virtual bool Full() const = 0;
    // The whole body was taken.
    virtual void End() = 0;
    virtual void SetOnRoom(std::function<void()> onRoom) = 0;
};

} // namespace tvn
