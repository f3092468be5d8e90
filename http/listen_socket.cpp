#include "http/listen_socket.h"

#include "http/http_svr_doc.h"
#include "http/request_socket.h"
#include "http/tls_certificates.h"
#include "http/tls_request_socket.h"

#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tvn {
namespace {

// A backlog of 5 overflows with a phone page of a dozen thumbnails, or a few visitors at
// once, and the kernel then drops their connection attempts for a whole second. A deeper
// queue costs nothing.
constexpr int kBacklog = 128;
constexpr int kAcceptsPerWakeUp = 64;
constexpr int kDeferAcceptSeconds = 10;
constexpr int kResumeAfterMs = 200;
constexpr int kFreedWhenExhausted = 16;

// "a.b.c.d:port", as inet_ntop and the port would write it, without going through printf
// once per connection.
std::string PeerName(const sockaddr_in& peer) {
    const auto address = static_cast<std::uint32_t>(ntohl(peer.sin_addr.s_addr));
    char text[sizeof "255.255.255.255:65535"];
    char* at = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        at = std::to_chars(at, std::end(text), (address >> shift) & 0xFF).ptr;
        *at++ = shift > 0 ? '.' : ':';
    }
    at = std::to_chars(at, std::end(text), ntohs(peer.sin_port)).ptr;
    return std::string(text, static_cast<std::size_t>(at - text));
}

} // namespace

CListenSocket::CListenSocket(CHttpSvrDoc& owner, CTlsCertificates* certificates)
    : doc(owner), tls(certificates) {}

CListenSocket::~CListenSocket() = default;

int CListenSocket::Listen(int port) {
    // sendfile() has no MSG_NOSIGNAL: a browser that leaves in the middle of a file would
    // otherwise end the whole program with SIGPIPE instead of failing that one send.
    ::signal(SIGPIPE, SIG_IGN);
    UniqueFd socketFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socketFd.Valid())
        return errno;
    const int on = 1;
    ::setsockopt(socketFd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(socketFd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return errno;
    if (::listen(socketFd.Get(), kBacklog) != 0)
        return errno;
    // Wake up for a connection only once its request has begun to arrive: the request can
    // then be read at the accept, without a trip through the event loop.
    const int deferSeconds = kDeferAcceptSeconds;
    ::setsockopt(socketFd.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
    Adopt(std::move(socketFd));
    AsyncSelect(kAccept);
    return 0;
}

void CListenSocket::OnAccept() {
    doc.Connections().DeleteRetired(); // no connection is on the stack here
    // Several connections per wake-up: a busy listener would otherwise pay one trip
    // through the event loop for each.
    for (int i = 0; i < kAcceptsPerWakeUp; ++i) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd accepted(::accept4(Handle(), reinterpret_cast<sockaddr*>(&peer), &length,
                                    SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.Valid()) {
            const bool outOfDescriptors = errno == EMFILE || errno == ENFILE;
            // Out of descriptors: the oldest connections still waiting for a request head
            // (slow or hostile clients) make room for the one waiting in the backlog.
            if (outOfDescriptors &&
                doc.Connections().CloseOldestIncomplete(kFreedWhenExhausted) > 0)
                continue;
            if (outOfDescriptors || errno == ENOBUFS || errno == ENOMEM)
                PauseAccepting();
            return;
        }
        std::string peerName = PeerName(peer);
        const std::size_t colon = peerName.rfind(':');
        // Closed at once when that client holds its share already.
        if (doc.Connections().AtAddressLimit(peerName.substr(0, colon)))
            continue;
        CRequestSocket* socket = nullptr; // owns itself
        if (tls) {
            tls->Refresh(); // a certificate changed on disk serves from this connection on
            socket = new CTlsRequestSocket(doc, tls->Context(), std::move(accepted),
                                           std::move(peerName));
        } else {
            socket = new CRequestSocket(doc, std::move(accepted), std::move(peerName));
        }
        socket->Start();
    }
}

// Out of descriptors: the pending connection stays in the backlog, and a level-triggered
// notifier would wake us again at once. Stop listening for a moment instead of spinning;
// the open connections go on being served and free their descriptors.
void CListenSocket::PauseAccepting() {
    AsyncSelect(0);
    if (!resumeTimer) {
        resumeTimer = std::make_unique<QTimer>();
        resumeTimer->setSingleShot(true);
        QObject::connect(resumeTimer.get(), &QTimer::timeout, [this] { AsyncSelect(kAccept); });
    }
    resumeTimer->start(kResumeAfterMs);
}

} // namespace tvn
