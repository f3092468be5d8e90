#include "presence/local_address.h"

#include <string_view>

namespace tvn {
namespace {

bool IsLoopbackAddress(std::string_view address) { return address.substr(0, 4) == "127."; }

} // namespace

std::string ChooseLocalAddress(const std::vector<NetInterface>& interfaces) {
    std::string chosen;
    for (const auto& candidate : interfaces) {
        if (candidate.loopback || candidate.address.empty() || IsLoopbackAddress(candidate.address))
            continue;
        // A later interface replaces an earlier one, so that without a routed interface the
        // last address wins; an interface that is up and routed ends the search.
        chosen = candidate.address;
        if (candidate.up && candidate.defaultRoute)
            break;
    }
    return chosen;
}

std::string GetLocalAddress() { return ChooseLocalAddress(ListInterfaces()); }

} // namespace tvn
