#include "http/request_socket.h"

#include <QTimer>
#include <cerrno>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <vector>

namespace tvn {
namespace {

CRequestSocket* liveHead = nullptr;
std::size_t liveCount = 0;
// Connections that ended, deleted at the next accept or sweep: posting a deletion event
// for each one would cost the event loop a wake-up per request.
std::vector<CRequestSocket*> releasedSockets;
QTimer* releaseTimer = nullptr;
QTimer* sweepTimer = nullptr;
constexpr int kSweepEveryMs = 5000;

// An idle server frees ended connections after this delay; a busy one at every accept.
constexpr int kReleaseDelayMs = 50;

long ErrnoResult() {
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
               ? IRequestChannel::kWouldBlock
               : IRequestChannel::kFailed;
}

} // namespace

CRequestSocket::CRequestSocket(CHttpSvrDoc& doc, UniqueFd socketFd, std::string peerName)
    : CAsyncSocket(std::move(socketFd)), peer(std::move(peerName)), connection(doc, *this) {
    next = liveHead;
    if (liveHead)
        liveHead->prev = this;
    liveHead = this;
    ++liveCount;
    if (!sweepTimer) {
        sweepTimer = new QTimer(); // lives as long as the process
        QObject::connect(sweepTimer, &QTimer::timeout, [] { SweepIdle(); });
    }
    if (!sweepTimer->isActive())
        sweepTimer->start(kSweepEveryMs);
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
    if (liveCount == 0 && sweepTimer)
        sweepTimer->stop(); // an idle server does not wake up for nothing
    const auto now = CRequestConnection::Clock::now();
    for (CRequestSocket* s = liveHead; s; s = s->next) {
        if (!s->released)
            s->connection.ExpireIfIdle(now);
    }
}

std::size_t CRequestSocket::LiveCount() { return liveCount; }

void CRequestSocket::DeleteReleased() {
    std::vector<CRequestSocket*> batch;
    batch.swap(releasedSockets);
    for (CRequestSocket* socket : batch)
        delete socket;
}

long CRequestSocket::Send(const char* data, std::size_t length, bool more) {
    // MSG_MORE lets the head of an answer leave in one segment with its file's first bytes.
    const ssize_t n = ::send(Handle(), data, length, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
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
    // Never delete what is calling us: the object goes once control is back in the loop.
    releasedSockets.push_back(this);
    if (!releaseTimer) {
        releaseTimer = new QTimer();
        releaseTimer->setSingleShot(true);
        QObject::connect(releaseTimer, &QTimer::timeout, [] { DeleteReleased(); });
    }
    if (!releaseTimer->isActive())
        releaseTimer->start(kReleaseDelayMs);
}

long CRequestSocket::SendFile(int fileFd, off_t& offset, std::size_t count) {
    const ssize_t n = ::sendfile(Handle(), fileFd, &offset, count);
    return n >= 0 ? static_cast<long>(n) : ErrnoResult();
}

} // namespace tvn
