#include "platform/descriptor_limit.h"

#include <algorithm>
#include <sys/resource.h>

namespace tvn {

long RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, rlim_t(1) << 20);
    if (limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<long>(limit.rlim_cur);
}

} // namespace tvn
