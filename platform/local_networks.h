#pragma once

#include <string_view>

namespace tvn {

// True when `address` (dotted IPv4, or IPv6 text) is a loopback address or lies in the
// subnet of one of this machine's interfaces that is up: a visitor on the owner's own
// networks. Anything unparsable is not local.
bool IsLocalNetworkAddress(std::string_view address);

} // namespace tvn
