#include "platform/host_resolver.h"

#include <arpa/inet.h>
#include <memory>
#include <netdb.h>
#include <sys/socket.h>

namespace tvn {

std::optional<std::uint32_t> ResolveIPv4(std::string_view host) {
    // A NUL would end the name early: "10.0.0.1\0.example" must not pass for 10.0.0.1.
    if (host.empty() || host.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::string name(host);
    in_addr dotted{};
    if (::inet_pton(AF_INET, name.c_str(), &dotted) == 1)
        return dotted.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    return reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
}

std::string LookUpIPv4(std::string_view host) {
    const std::optional<std::uint32_t> address = ResolveIPv4(host);
    if (!address)
        return {};
    in_addr raw{};
    raw.s_addr = *address;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr)
        return {};
    return text;
}

} // namespace tvn
