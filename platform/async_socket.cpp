#include "platform/async_socket.h"

#include <QSocketNotifier>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tvn {

CAsyncSocket::CAsyncSocket(UniqueFd newFd) : fd(std::move(newFd)) {}

CAsyncSocket::~CAsyncSocket() {
    readNotifier.reset();
    writeNotifier.reset();
}

void CAsyncSocket::Adopt(UniqueFd newFd) {
    readNotifier.reset();
    writeNotifier.reset();
    fd = std::move(newFd);
}

void CAsyncSocket::AsyncSelect(int events) {
    if (!fd.Valid())
        return;
    const bool wantRead = (events & (kRead | kAccept | kClose)) != 0;
    const bool wantWrite = (events & kWrite) != 0;
    if (wantRead && !readNotifier) {
        readNotifier = std::make_unique<QSocketNotifier>(fd.Get(), QSocketNotifier::Read);
        QObject::connect(readNotifier.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    }
    if (wantWrite && !writeNotifier) {
        writeNotifier = std::make_unique<QSocketNotifier>(fd.Get(), QSocketNotifier::Write);
        QObject::connect(writeNotifier.get(), &QSocketNotifier::activated,
                         [this] { OnWritable(); });
    }
    if (readNotifier)
        readNotifier->setEnabled(wantRead);
    if (writeNotifier)
        writeNotifier->setEnabled(wantWrite);
}

void CAsyncSocket::Close() {
    readNotifier.reset();
    writeNotifier.reset();
    fd.Reset();
}

std::string CAsyncSocket::PeerAddress() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (!fd.Valid() || ::getpeername(fd.Get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return text;
}

std::string CAsyncSocket::PeerAddressPort() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (!fd.Valid() || ::getpeername(fd.Get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

} // namespace tvn
