#include "http/request_socket.h"

#include <sys/sendfile.h>
#include <sys/socket.h>

#include <cerrno>

namespace tvn {
namespace {

CRequestSocket* liveHead = nullptr;
std::size_t liveCount = 0;

long ErrnoResult() {
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? IRequestChannel::kWouldBlock
                                                                       : IRequestChannel::kFailed;
}

} // namespace

CRequestSocket::CRequestSocket(CHttpSvrDoc& doc, UniqueFd socketFd)
    : CAsyncSocket(std::move(socketFd)), peer(PeerAddressPort()), connection(doc, *this) {
    next = liveHead;
    if (liveHead)
        liveHead->prev = this;
    liveHead = this;
    ++liveCount;
}

CRequestSocket::~CRequestSocket() {
    if (prev)
        prev->next = next;
    else
        liveHead = next;
    if (next)
        next->prev = prev;
    --liveCount;
}

void CRequestSocket::Start() { connection.Step(); }

void CRequestSocket::SweepIdle() {
    const auto now = CRequestConnection::Clock::now();
    for (CRequestSocket* s = liveHead; s; s = s->next) {
        if (!s->released)
            s->connection.ExpireIfIdle(now);
    }
}

std::size_t CRequestSocket::LiveCount() { return liveCount; }

long CRequestSocket::Send(const char* data, std::size_t length) {
    const ssize_t n = ::send(Handle(), data, length, MSG_NOSIGNAL);
    return n >= 0 ? static_cast<long>(n) : ErrnoResult();
}

long CRequestSocket::Receive(char* buffer, std::size_t length) {
    const ssize_t n = ::recv(Handle(), buffer, length, 0);
    return n >= 0 ? static_cast<long>(n) : ErrnoResult();
}

void CRequestSocket::Rearm(bool wantRead, bool wantWrite) {
    AsyncSelect((wantRead ? kRead | kClose : 0) | (wantWrite ? kWrite : 0));
}

bool CRequestSocket::ShutDown(int how) {
    return ::shutdown(Handle(), how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR) == 0;
}

std::string CRequestSocket::PeerName() const { return peer; }

void CRequestSocket::Release() {
    if (released)
        return;
    released = true;
    Close();
    deleteLater(); // never delete what is calling us
}

long CRequestSocket::SendFile(int fileFd, off_t& offset, std::size_t count) {
    const ssize_t n = ::sendfile(Handle(), fileFd, &offset, count);
    return n >= 0 ? static_cast<long>(n) : ErrnoResult();
}

} // namespace tvn
