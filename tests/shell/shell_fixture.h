#pragma once

#include "support/file_bytes.h"
#include "support/loopback_port.h"
#include "support/spin.h"
// Helpers of the shell tests: temporary folders, loopback ports, running the event loop.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tvn::test {

// A port that was free a moment ago.
inline int FreePort() { return FreeLoopbackPort(); }

// True when something accepts connections on 127.0.0.1:`port`.
inline bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace tvn::test
