#pragma once

// The one way the program turns a host name into an IPv4 address.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// The IPv4 address of `host`, in network byte order: dotted text as it is, else the first
// IPv4 address a name lookup gives. Nothing when `host` is empty, holds a NUL byte or does
// not resolve. Blocks for the lookup: call it from a worker, never from the event loop.
std::optional<std::uint32_t> ResolveIPv4(std::string_view host);

// ResolveIPv4 as dotted text; empty when the host does not resolve.
std::string LookUpIPv4(std::string_view host);

} // namespace tvn
