#include "http/request_socket.h"

#include "http/connection_list.h"
#include "http/http_svr_doc.h"

#include <cerrno>
#include <sys/sendfile.h>
#include <sys/socket.h>

namespace tvn {
namespace {

long ErrnoResult() {
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
               ? IRequestChannel::kWouldBlock
               : IRequestChannel::kFailed;
}

} // namespace

CRequestSocket::CRequestSocket(CHttpSvrDoc& doc, UniqueFd socketFd, std::string peerName)
    : CAsyncSocket(std::move(socketFd)), list(doc.Connections()), peer(std::move(peerName)),
      connection(doc, *this) {
    // A direct client may keep its connection; a relayed one never does.
    connection.AllowRequests(CRequestConnection::kMaxRequestsPerConnection);
    list.Add(*this);
}

CRequestSocket::~CRequestSocket() { list.Remove(*this); }

void CRequestSocket::Start() { connection.Step(); }

bool CRequestSocket::AbandonIfReadingHead() {
    return !released && connection.AbandonIfReadingHead();
}

std::string_view CRequestSocket::Address() const {
    const std::string_view name(peer);
    return name.substr(0, std::min(name.size(), name.rfind(':')));
}

void CRequestSocket::ExpireIfIdle(CRequestConnection::Clock::time_point now) {
    if (!released)
        connection.ExpireIfIdle(now);
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
    // Both directions end with the close that follows at once (Release): it sends the same
    // FIN, and resets the same way should unread bytes wait. One call fewer per connection.
    if (how == 2)
        return true;
    return ::shutdown(Handle(), how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR) == 0;
}

std::string CRequestSocket::PeerName() const { return peer; }

void CRequestSocket::Release() {
    if (released)
        return;
    released = true;
    Close();
    list.Retire(*this); // never delete what is calling us
}

long CRequestSocket::SendFile(int fileFd, off_t& offset, std::size_t count) {
    const ssize_t n = ::sendfile(Handle(), fileFd, &offset, count);
    return n >= 0 ? static_cast<long>(n) : ErrnoResult();
}

} // namespace tvn
