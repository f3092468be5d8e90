#pragma once

#include "platform/unique_fd.h"

#include <cstddef>
#include <string>
#include <termios.h>

namespace tvn {

// The longest port name that is tried; a longer one is never opened.
inline constexpr std::size_t kMaxPortNameBytes = 255;
// Where serial programs leave their UUCP-style lock files ("LCK..ttyUSB0").
inline constexpr const char* kPortLockFolder = "/run/lock";

// A serial line (a tty device) read by one worker: opened read-only and for this program
// alone, in raw mode at the speed it already has. The line's settings are put back and DTR
// is cleared when it is closed.
class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the existing device `name`; false when the name is too long, the device is
    // missing, is not a terminal, or another program holds it (EBUSY, or a live lock file
    // in `lockFolder`).
    bool Open(const std::string& name, const std::string& lockFolder = kPortLockFolder);
    bool IsOpen() const { return fd.Valid(); }
    // Waits up to `timeoutMs` for input and reads up to `size` bytes; the count read, 0 when
    // nothing came in time, the line hung up or failed, or `cancelFd` became readable.
    std::size_t Read(char* buffer, std::size_t size, int timeoutMs, int cancelFd = -1);
    // Restores the line, clears DTR and closes; nothing when not open.
    void Close();

  private:
    UniqueFd fd;
    termios saved{};
};

// True when `lockFolder` holds a lock file for the device `name` (by its own name or the
// name it links to) that belongs to another live process, or that cannot be read.
bool PortLockedByOther(const std::string& name, const std::string& lockFolder);

// A wake-up another thread can give a waiting Read (an eventfd): Signal makes Fd readable
// until Clear.
class WakeEvent {
  public:
    WakeEvent();
    void Signal() const;
    void Clear() const;
    int Fd() const { return fd.Get(); }

  private:
    UniqueFd fd;
};

} // namespace tvn
