#pragma once

#include "platform/ddns_plugin.h"

#include <QObject>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tvn {

// What an update is asked to register.
struct DynDnsAccount {
    std::string user;
    std::string password;
    std::string name;    // the host name without its domain
    std::string domain;  // one of the service's domains
    std::string address; // the local IPv4 address, dotted
};

// The outcome of an update, as the access information shows it.
struct DynDnsResult {
    int registered = 0;  // 1 when the name is registered (now or before)
    std::string address; // the registered host name, else the address asked with
    std::string status;  // a text to show, one printable line; may be empty
};

// The dynamic DNS client: registers the computer's address under a permanent host name with a
// service that speaks the dyndns2 "/nic/update" protocol (DNS_UpdateURL, HTTPS by default).
// A request goes out only when the name, domain or address differ from what was last sent,
// or when the account changed after a refused login; every outcome is kept in the settings,
// so a restart with unchanged data sends nothing. A plug-in beside the program may replace
// the update, the domain list and the Register button. Lives on the main thread.
class CDynDns {
  public:
    // Loads the plug-in of `pluginFolder` (the program's folder) and reads the settings.
    explicit CDynDns(const std::string& pluginFolder);
    // Makes an update under way give up and waits for its worker; its `done` is not called.
    ~CDynDns();
    CDynDns(const CDynDns&) = delete;
    CDynDns& operator=(const CDynDns&) = delete;

    // Starts an update on a worker; `done` is called with its result on this object's
    // thread, from the event loop. False, and `done` is never called, while another update
    // is under way.
    bool Update(const DynDnsAccount& account, std::function<void(const DynDnsResult&)> done);
    // True from Update until its `done` has returned.
    bool Busy() const { return busy; }

    // For the settings dialog: lets the plug-in adjust the domain list and the texts, or,
    // without a plug-in, when `loading`, selects `domain` in the list and sets `domain` to the
    // selected entry. A domain absent from the list gives way to the first entry, unless the
    // update goes to a service of one's own (OwnService): then it stays, with no selection.
    void PatchOptions(DdnsDomainList& domains, std::string& domain, std::string& name,
                      std::string& user, bool loading) const;
    // The Register button: the plug-in's when it has one (true); false when the caller
    // should open kDynDnsRegistrationUrl.
    bool Register() const;
    // True when DNS_UpdateURL names another service than the default one: its domains are
    // its own, so the window lets any domain be typed.
    static bool OwnService();

  private:
    struct Plan;
    Plan Prepare(const DynDnsAccount& account);
    DynDnsResult Finish(const Plan& plan, long httpStatus, const std::string& body);
    void LoadCache();
    void Run(Plan plan, std::function<void(const DynDnsResult&)> done);

    DdnsPlugin plugin;
    std::string cachedAddress;
    std::string cachedDomain;
    std::string cachedName;
    std::string cachedResult;
    std::string cachedComment;
    std::string lastAccount; // digest of the user and password last sent
    bool refusedLogin = false;
    int status = 0;
    bool busy = false;

    std::atomic<bool> cancel = false;
    std::thread worker;
    QObject context; // results come back through its thread's event loop
};

// The domains offered in the settings dialog without a plug-in.
const std::vector<std::string>& DynDnsDomains();

// Where a new user registers a host name.
inline constexpr const char* kDynDnsRegistrationUrl = "https://account.dyn.com/";

} // namespace tvn
