#pragma once

#include <unistd.h>
#include <utility>

namespace tvn {

// Owns one file descriptor and closes it when it goes.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) noexcept : handle(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : handle(std::exchange(o.handle, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        Reset(std::exchange(o.handle, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const noexcept { return handle; }
    bool Valid() const noexcept { return handle >= 0; }
    int Release() noexcept { return std::exchange(handle, -1); }
    void Reset(int fd = -1) noexcept {
        if (handle >= 0)
            ::close(handle);
        handle = fd;
    }

  private:
    int handle;
};

} // namespace tvn
