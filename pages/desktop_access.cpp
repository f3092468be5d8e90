#include "pages/desktop_access.h"

#include "http/request_context.h"
#include "platform/local_networks.h"

#include <cerrno>
#include <sys/stat.h>

namespace tvn {

bool MayUseDesktop(const CRequestContext& context) {
    // The relay hands on visitors from anywhere; the address it gives says nothing of them.
    if (!context.Relayed() && IsLocalNetworkAddress(context.request.peerAddress))
        return true;
    // A folder with a password list lets only those who passed it this far.
    struct stat st {};
    const std::string list = context.LocalFolder() + ".pass";
    return ::lstat(list.c_str(), &st) == 0;
}

} // namespace tvn
