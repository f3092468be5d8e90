#pragma once

#include "platform/work_thread.h"

#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>

namespace tvn {

// The registration sender: every period, the registration datagram naming the host name
// this server serves goes to the relay service, from the socket the relayed traffic uses,
// so that the service learns the address and port behind any NAT. The service's host is
// resolved at every send (off the main thread); the address found is kept for the relay
// link, which takes relayed traffic from that address only. The registration carries the
// server's secret, when it has one, so that the service moves the name to a new address or
// port only for this server.
class CNotify : public CWorkThread {
  public:
    CNotify(std::string serviceHost, int servicePort, std::string secret = {});
    ~CNotify() override;

    // Registers `name` every `periodMs` from now on (a running worker takes up the new
    // name and period at its next send).
    void StartWith(const std::string& name, int newPeriodMs);
    // The service's address as last resolved; nothing before the first resolution or when
    // the service host is empty. Any thread.
    std::optional<sockaddr_in> ServiceAddress() const;
    // Resolves the service host now (a dotted address as it is, else a name lookup);
    // nothing when it is empty or unknown. Blocks for the lookup: never on the main thread.
    std::optional<sockaddr_in> ResolveService() const;

  protected:
    void Notify(bool final) override;
    // The socket registrations leave from.
    virtual int SocketFd() const = 0;

  private:
    const std::string serviceHost;
    const int servicePort;
    const std::string secret;    // ServiceSecret; empty: registrations carry none
    mutable std::mutex dataLock; // guards the two below
    std::string registration;    // the datagram, made by StartWith
    std::optional<sockaddr_in> serviceAddress;
};

} // namespace tvn
