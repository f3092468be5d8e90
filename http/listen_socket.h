#pragma once

#include "platform/async_socket.h"

#include <memory>

class QTimer;

namespace tvn {

class CHttpSvrDoc;
class CTlsCertificates;

// The listening TCP socket: every accepted connection becomes a CRequestSocket, or with
// `tls` a CTlsRequestSocket showing the certificate `tls` chooses.
class CListenSocket : public CAsyncSocket {
  public:
    explicit CListenSocket(CHttpSvrDoc& doc, CTlsCertificates* tls = nullptr);
    ~CListenSocket() override;

    // Binds to `port` on all local addresses and listens. 0 on success, else the errno of
    // the failing step.
    int Listen(int port);

  protected:
    void OnReadable() override { OnAccept(); }

  private:
    void OnAccept();
    void PauseAccepting();

    CHttpSvrDoc& doc;
    CTlsCertificates* tls;
    std::unique_ptr<QTimer> resumeTimer; // accepting again after running out of descriptors
};

} // namespace tvn
