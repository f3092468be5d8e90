#include "http/tls_request_socket.h"

#include <QCoreApplication>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tvn {
namespace {

long ChannelResult(long result) {
    if (result == CTlsSession::kWouldBlock)
        return IRequestChannel::kWouldBlock;
    if (result == CTlsSession::kFailed)
        return IRequestChannel::kFailed;
    return result;
}

} // namespace

CTlsRequestSocket::CTlsRequestSocket(CHttpSvrDoc& doc, CTlsContext& context, UniqueFd socketFd,
                                     std::string peerName)
    : CRequestSocket(doc, std::move(socketFd), std::move(peerName)), session(context, Handle()) {
    // Every write is a whole record. Held back for the acknowledgement of the one before,
    // the first answer waits behind the session tickets for the client's delayed
    // acknowledgement (40 ms on Linux).
    const int on = 1;
    ::setsockopt(Handle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

long CTlsRequestSocket::Send(const char* data, std::size_t length, bool) {
    return ChannelResult(session.Write(data, length));
}

long CTlsRequestSocket::Receive(char* buffer, std::size_t length) {
    return ChannelResult(session.Read(buffer, length));
}

void CTlsRequestSocket::Rearm(bool wantRead, bool wantWrite) {
    // While the session waits for the other direction (the handshake sends its flight, a
    // record read wants a write), that readiness is what moves the connection on.
    if (wantRead || wantWrite) {
        if (session.Wanted() == CTlsSession::Step::kWantWrite)
            wantWrite = true;
        else if (session.Wanted() == CTlsSession::Step::kWantRead)
            wantRead = true;
    }
    CRequestSocket::Rearm(wantRead, wantWrite);
    // Read ahead, the next request (or the rest of this one) may already be in the session
    // with nothing left on the socket to wake the connection: it goes on from the event
    // loop instead (never from here, inside its own step).
    if (wantRead && !stepPosted && session.HasPending()) {
        stepPosted = true;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, ticket = std::weak_ptr<char>(alive)] {
                if (!ticket.lock())
                    return;
                stepPosted = false;
                OnReadable();
            },
            Qt::QueuedConnection);
    }
}

bool CTlsRequestSocket::ShutDown(int how) {
    // The close notification says the answer is whole; what the client still sends is read
    // through the session as before.
    const bool notified = how == 0 || session.Shutdown();
    const bool shut = CRequestSocket::ShutDown(how);
    return notified && shut;
}

long CTlsRequestSocket::SendFile(int, off_t&, std::size_t) { return kUnsupported; }

} // namespace tvn
