#pragma once

#include "platform/interfaces.h"

#include <string>
#include <vector>

namespace tvn {

// The IPv4 address of this computer that the access information shows and the router mapping
// and the dynamic DNS client use: dotted, or empty when there is none but loopback.
std::string GetLocalAddress();

// The choice GetLocalAddress makes among `interfaces`, taken in their order: the first
// interface that is up and carries the default route gives its address; without one, the
// last address that is not loopback. Empty when no interface has such an address.
std::string ChooseLocalAddress(const std::vector<NetInterface>& interfaces);

} // namespace tvn
