#include "relay/notify.h"

#include "platform/host_resolver.h"
#include "relay/datagram.h"

#include <arpa/inet.h>
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
    if (servicePort <= 0 || servicePort > 65535)
        return std::nullopt;
    const std::optional<std::uint32_t> found = ResolveIPv4(serviceHost);
    if (!found)
        return std::nullopt;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(servicePort));
    address.sin_addr.s_addr = *found;
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
