#pragma once

#include <arpa/inet.h>
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

// A TCP port on 127.0.0.1 that nobody listens on at the moment of the call.
inline int FreeLoopbackPort() { return LoopbackPort(false).Port(); }

} // namespace tvn::test
