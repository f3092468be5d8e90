#include "platform/serial_port.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tvn {
namespace {

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// True when the lock file at `path` exists and names a live process other than this one.
bool LockFileHeld(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    long pid = 0;
    std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return true; // an empty or blank lock: someone is about to write it
    const auto [end, ec] = std::from_chars(text.data() + start, text.data() + text.size(), pid);
    (void)end;
    if (ec != std::errc() || pid <= 0 || pid > INT_MAX)
        return true; // not the text form: we cannot tell, so we keep off the port
    if (pid == ::getpid())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; // else a stale lock
}

} // namespace

bool PortLockedByOther(const std::string& name, const std::string& lockFolder) {
    if (LockFileHeld(lockFolder + "/LCK.." + BaseName(name)))
        return true;
    char* real = ::realpath(name.c_str(), nullptr);
    if (!real)
        return false;
    const std::string target = BaseName(real);
    std::free(real);
    return target != BaseName(name) && LockFileHeld(lockFolder + "/LCK.." + target);
}

bool SerialPort::Open(const std::string& name, const std::string& lockFolder) {
    Close();
    if (name.empty() || name.size() > kMaxPortNameBytes || PortLockedByOther(name, lockFolder))
        return false;
    // O_NONBLOCK: a line without carrier must not hold the open; the reads wait in poll.
    UniqueFd opened(::open(name.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!opened.Valid())
        return false; // ENOENT, or EBUSY when another program opened it exclusively
    termios settings{};
    if (::tcgetattr(opened.Get(), &settings) != 0)
        return false; // not a terminal
    if (::ioctl(opened.Get(), TIOCEXCL) != 0)
        return false;
    termios raw = settings;
    ::cfmakeraw(&raw); // leaves the speed as it is
    raw.c_cflag |= CREAD | CLOCAL;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(opened.Get(), TCSANOW, &raw) != 0) {
        ::ioctl(opened.Get(), TIOCNXCL);
        return false;
    }
    saved = settings;
    fd = std::move(opened);
    return true;
}

std::size_t SerialPort::Read(char* buffer, std::size_t size, int timeoutMs, int cancelFd) {
    if (!fd.Valid() || size == 0)
        return 0;
    pollfd waits[2] = {{fd.Get(), POLLIN, 0}, {cancelFd, POLLIN, 0}};
    const nfds_t count = cancelFd >= 0 ? 2 : 1;
    int ready;
    do
        ready = ::poll(waits, count, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0 || (count == 2 && (waits[1].revents & POLLIN) != 0))
        return 0;
    ssize_t got;
    do
        got = ::read(fd.Get(), buffer, size);
    while (got < 0 && errno == EINTR);
    // EAGAIN (nothing after all), EIO (the other side of the line went) and 0 (hang-up)
    // all mean that nothing came.
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

void SerialPort::Close() {
    if (!fd.Valid())
        return;
    int dtr = TIOCM_DTR;
    ::ioctl(fd.Get(), TIOCMBIC, &dtr); // a pseudo-terminal has no DTR: the failure is fine
    ::tcsetattr(fd.Get(), TCSANOW, &saved);
    ::ioctl(fd.Get(), TIOCNXCL);
    fd.Reset();
}

WakeEvent::WakeEvent() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeEvent::Signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd.Get(), &one, sizeof one);
}

void WakeEvent::Clear() const {
    std::uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd.Get(), &value, sizeof value);
}

} // namespace tvn
