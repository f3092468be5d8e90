#pragma once

#include "http/request_socket.h"
#include "platform/tls.h"

#include <memory>

namespace tvn {

// One accepted HTTPS connection: the same connection over a TLS session. The handshake runs
// inside Receive and Send, which say kWouldBlock while it waits, so the head deadline and
// the idle limit cover a handshake that never ends as they cover a slow head.
class CTlsRequestSocket : public CRequestSocket {
  public:
    CTlsRequestSocket(CHttpSvrDoc& doc, CTlsContext& context, UniqueFd socketFd,
                      std::string peerName);

    long Send(const char* data, std::size_t length, bool more = false) override;
    long Receive(char* buffer, std::size_t length) override;
    void Rearm(bool wantRead, bool wantWrite) override;
    bool ShutDown(int how) override;
    bool IsSecure() const override { return true; }
    long SendFile(int fd, off_t& offset, std::size_t count) override;

  private:
    CTlsSession session;
    // A step of the connection is posted for bytes the session holds; it finds the socket
    // still there only while this lives.
    std::shared_ptr<char> alive = std::make_shared<char>();
    bool stepPosted = false;
};

} // namespace tvn
