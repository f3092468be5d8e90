#pragma once

#include "support/file_bytes.h"
#include "support/loopback_client.h"
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
    const int fd = ConnectLoopback(port);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

} // namespace tvn::test
