#pragma once

#include "support/loopback_port.h"

// A blocking TCP client for 127.0.0.1 whose every wait is bounded, for tests that talk raw
// bytes to a server; and a runner that keeps the Qt event loop of the test thread turning
// while such a client works on another thread.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tvn::test {

using namespace std::chrono_literals;

class LoopbackClient {
  public:
    LoopbackClient() = default;
    ~LoopbackClient() { Close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Connects to 127.0.0.1:`port`, from the loopback address `from` (host order, e.g.
    // 0x7F000002 for 127.0.0.2) when given, or through a socket made earlier with
    // Prepare(); false when that fails within two seconds.
    bool Connect(int port, std::uint32_t from = 0) {
        if (!prepared && !Prepare())
            return false;
        prepared = false;
        if (from != 0) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(from);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                Close();
                return false;
            }
        }
        return ConnectPrepared(port);
    }

    // Makes the socket now (its descriptor is taken), to connect later.
    bool Prepare() {
        Close();
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        prepared = fd >= 0;
        return prepared;
    }

  private:
    bool ConnectPrepared(int port) {
        const timeval timeout{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            Close();
            return false;
        }
        return true;
    }

  public:
    // Sends all of `bytes`; false when the connection broke.
    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Sends each piece on its own, with a pause after each, so that they arrive as
    // separate TCP segments.
    bool SendPieces(std::initializer_list<std::string_view> pieces,
                    std::chrono::milliseconds pause = 30ms) {
        for (std::string_view piece : pieces) {
            if (!Send(piece))
                return false;
            std::this_thread::sleep_for(pause);
        }
        return true;
    }

    // Everything the server sends until it closes, or until `limit` has passed.
    std::string ReadAll(std::chrono::milliseconds limit = 5000ms) {
        std::string out;
        ReadUntil(out, limit, 0);
        return out;
    }

    // At least `count` bytes (fewer when the server closes first or `limit` passes).
    std::string ReadSome(std::size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::string out;
        ReadUntil(out, limit, count);
        return out;
    }

    // True when nothing arrives (and the server does not close) during `quiet`.
    bool StaysQuiet(std::chrono::milliseconds quiet) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
    }

    // The local port of this connection (what the server sees as the client's port).
    int LocalPort() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return -1;
        return ntohs(address.sin_port);
    }

    // Tells the server that nothing more will be sent (the connection stays open to read).
    void ShutdownWrite() {
        if (fd >= 0)
            ::shutdown(fd, SHUT_WR);
    }

    // Closes at once with a reset, as a browser that gives up does.
    void Abort() {
        if (fd < 0)
            return;
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        Close();
    }

    void Close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

  private:
    void ReadUntil(std::string& out, std::chrono::milliseconds limit, std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        char chunk[65536];
        while (fd >= 0 && (count == 0 || out.size() < count)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms)
                return;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            out.append(chunk, static_cast<std::size_t>(n));
        }
    }

    bool prepared = false; // made by Prepare(), not yet connected
    int fd = -1;
};

// A plain connected socket to 127.0.0.1:`port` (the caller closes it), or -1 when nothing
// accepts there.
inline int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Runs `work` on a thread of its own while this thread's Qt event loop serves; returns
// when `work` has ended, or false after `limit` (the work's own waits are bounded, so the
// thread is always joined).
inline bool RunWhileServing(const std::function<void()>& work,
                            std::chrono::milliseconds limit = 15000ms) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done)
            loop.quit();
    });
    poll.start(2);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    loop.exec();
    worker.join();
    return done;
}

// Lets the event loop run for `duration` (deferred deletions included).
inline void SpinEventLoop(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace tvn::test
