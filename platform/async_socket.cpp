#include "platform/async_socket.h"

#include <QSocketNotifier>
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

} // namespace tvn
