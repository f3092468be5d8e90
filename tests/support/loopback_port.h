#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvn::test {

// A socket on 127.0.0.1 bound to a port the kernel chose: holds the port busy (a listener
// when `listen` is set) until it is closed or goes.
class LoopbackPort {
  public:
    explicit LoopbackPort(bool listen) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        if (listen)
            ::listen(fd, 4);
    }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;
    ~LoopbackPort() { Close(); }

    void Close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // The port; -1 when none could be had.
    int Port() const { return port; }

  private:
    int fd;
    int port = -1;
};

// A TCP port that nobody uses at the moment of the call, taken below the kernel's range of
// ephemeral ports (32768 and up): a port the kernel hands out was often given, a moment
// later, to a client socket of another test running beside this one as its local port, and
// the server meant for it could not listen.
inline int FreeLoopbackPort() {
    static std::atomic<unsigned> next =
        static_cast<unsigned>(::getpid()) * 7919u + static_cast<unsigned>(::time(nullptr));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = 20000 + static_cast<int>(next++ * 2654435761u % 12000u);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return LoopbackPort(false).Port();
}

} // namespace tvn::test
