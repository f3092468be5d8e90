#pragma once

#include <string>
#include <sys/types.h>

namespace tvn {

// What request handling needs of the thing that carries a connection: a TCP socket, or a
// message channel of the relay.
class IRequestChannel {
  public:
    static constexpr long kWouldBlock = -1;
    static constexpr long kFailed = -2;
    static constexpr long kUnsupported = -3;

    virtual ~IRequestChannel() = default;
    // Bytes sent (may be fewer than asked), kWouldBlock, or kFailed. `more` says that more
    // of the same answer follows at once (a channel may hold the bytes back to join them).
    virtual long Send(const char* data, std::size_t length, bool more = false) = 0;
    // Bytes received, 0 when the peer closed, kWouldBlock, or kFailed.
    virtual long Receive(char* buffer, std::size_t length) = 0;
    // Asks for the next read and/or write readiness notification (none for both false).
    virtual void Rearm(bool wantRead, bool wantWrite) = 0;
    // Shuts the channel down (2 = both directions); true on success.
    virtual bool ShutDown(int how) = 0;
    // The peer as "a.b.c.d:port"; empty when unknown.
    virtual std::string PeerName() const = 0;
    // True for a request that came through the relay service.
    virtual bool IsRelayed() const { return false; }
    // True when the bytes cross the network encrypted (TLS).
    virtual bool IsSecure() const { return false; }
    // True when the channel can say its answer is done (ShutDown(1)) and still read what
    // the client sends after it.
    virtual bool CanLinger() const { return true; }
    // Ends the connection; the object goes once control is back in the event loop.
    virtual void Release() = 0;
    // Sends up to `count` bytes of file `fd` from `offset` (advanced); bytes sent, 0 at
    // the end of the file, kWouldBlock, kFailed, or kUnsupported when the channel cannot.
    virtual long SendFile(int /*fd*/, off_t& /*offset*/, std::size_t /*count*/) {
        return kUnsupported;
    }
};

} // namespace tvn
