// A dynamic DNS plug-in for the tests: registers every name without asking anyone, offers
// two domains of its own, and fills the name to the last byte without a terminating zero.
#include "platform/ddns_plugin_api.h"

#include <cstring>

extern "C" {

int Start(const char*, const char*, const char* name, const char*, char* address, char* status) {
    strcpy(address, name);
    strcat(address, ".plugin.example");
    strcpy(status, " registered by the plug-in");
    return 1;
}

void Register(void) {}

void PatchOptions(TvnDdnsDomainList* domains, char* domain, char* name, char* user, int loading) {
    (void)user;
    if (!loading)
        return;
    domains->clear(domains->context);
    domains->add(domains->context, "one.example");
    domains->add(domains->context, "two.example");
    domains->select(domains->context, 1);
    strcpy(domain, domains->at(domains->context, domains->selected(domains->context)));
    memset(name, 'x', TVN_DDNS_TEXT_SIZE);
}

} // extern "C"
