#include "relay/notify.h"

#include "relay/datagram.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

namespace tvn {

CNotify::CNotify(std::string host, int port, std::string registrationSecret)
    : serviceHost(std::move(host)), servicePort(port), secret(std::move(registrationSecret)) {}

CNotify::~CNotify() { Stop(); }

void CNotify::StartWith(const std::string& name, int newPeriodMs) {
    {
        std::lock_guard guard(dataLock);
        registration = relay::MakeRegistration(name, secret);
    }
    Start(newPeriodMs);
}

std::optional<sockaddr_in> CNotify::ServiceAddress() const {
    std::lock_guard guard(dataLock);
    return serviceAddress;
}

std::optional<sockaddr_in> CNotify::ResolveService() const {
    if (serviceHost.empty() || servicePort <= 0 || servicePort > 65535)
        return std::nullopt;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(servicePort));
    if (::inet_pton(AF_INET, serviceHost.c_str(), &address.sin_addr) == 1)
        return address;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(serviceHost.c_str(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return address;
}

void CNotify::Notify(bool final) {
    if (final)
        return;
    const std::optional<sockaddr_in> address = ResolveService();
    std::string datagram;
    {
        std::lock_guard guard(dataLock);
        if (address)
            serviceAddress = address; // a failed lookup keeps the last address known
        datagram = registration;
    }
    if (!address || datagram.empty())
        return; // the next period tries again
    // A failed send is ignored as well: the next period tries again.
    ::sendto(SocketFd(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
}

} // namespace tvn
