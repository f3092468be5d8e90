#pragma once

#include "http/request_channel.h"
#include "http/request_connection.h"
#include "platform/async_socket.h"

namespace tvn {

class CConnectionList;
class CHttpSvrDoc;

// One accepted TCP connection: the channel of a CRequestConnection over a non-blocking
// socket. It owns itself and goes (deleteLater) when its connection ends.
class CRequestSocket : public CAsyncSocket, public IRequestChannel {
  public:
    // `peerName` is the client as "a.b.c.d:port", known from the accept.
    CRequestSocket(CHttpSvrDoc& doc, UniqueFd socketFd, std::string peerName);
    ~CRequestSocket() override;

    // Starts reading the request at once: on a busy server it is often already there.
    void Start();
    // Closes the connection when it made no progress for its limit by `now`.
    void ExpireIfIdle(CRequestConnection::Clock::time_point now);
    // Closes the connection when its request head is not yet whole; true when it did.
    bool AbandonIfReadingHead();
    // The client's address, without its port.
    std::string_view Address() const;

    long Send(const char* data, std::size_t length, bool more = false) override;
    long Receive(char* buffer, std::size_t length) override;
    void Rearm(bool wantRead, bool wantWrite) override;
    bool ShutDown(int how) override;
    std::string PeerName() const override;
    void Release() override;
    long SendFile(int fd, off_t& offset, std::size_t count) override;

  protected:
    void OnReadable() override { connection.Step(); }
    void OnWritable() override { connection.Step(); }

  private:
    friend class CConnectionList; // links the live connections through prev and next

    CConnectionList& list;
    std::string peer;
    CRequestConnection connection;
    bool released = false;
    CRequestSocket* prev = nullptr;
    CRequestSocket* next = nullptr;
};

} // namespace tvn
