#pragma once

// The network presence: the only presence header the shell includes besides the firewall's.
#include "config/setting_keys.h"
#include "presence/device_announcer.h"
#include "presence/dyn_dns.h"
#include "presence/firewall.h"
#include "presence/port_mapper.h"

#include <QObject>
#include <QThreadPool>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tvn {

// What one access-information refresh works from: the settings as the user sees them.
struct AccessRequest {
    bool enable = setting::kEnable.number != 0;
    int port = setting::kPort.number;
    bool worldwide = setting::kWorldwide.number != 0;
    std::string user;
    std::string password;
    std::string name;
    std::string domain;
    // The relay service's host as configured (empty: no relay link).
    std::string relayHost;
    // The HTTPS listener's port (0: none); with WorldWide access the router forwards it too.
    int httpsPort = 0;
};

// The outcome: the access-information line is "http://" + host + " " + label, or the label
// alone when host is empty; relayName is the name the relay link registers (empty: none).
struct AccessInfo {
    std::string host;
    std::string label;
    std::string relayName;
    // The router forwards the plain port but not the HTTPS one: from outside, only http://.
    bool httpsShut = false;
};

// What the router step of a refresh found, before the dynamic DNS update.
struct RouterStep {
    std::string address;    // local address, or the router's external one, or the relay's
    std::string lanAddress; // what is shown when the dynamic DNS update did not register
    std::string label;      // "(Worldwide)", "(LAN only)" or empty
    bool relay = false;     // the address is the relay service's
    bool httpsShut = false; // mapped, but the HTTPS port is not forwarded
};

// The steps of a refresh that are pure decisions, for the tests.
namespace access {
// The line without any network: stopped, or no address but loopback; nullopt when the
// router step and the dynamic DNS update have to run.
std::optional<AccessInfo> Early(const AccessRequest& request, const std::string& localAddress);
// The router step: with WorldWide access the router mapping (`mapped`, `mappedAddress` its
// external address) or else the relay (`relayAddress`, empty when it did not resolve, which
// keeps the direct line); without it, the LAN line.
RouterStep AfterRouter(const AccessRequest& request, const std::string& localAddress, bool mapped,
                       const std::string& mappedAddress, const std::string& relayAddress);
// The final line after the dynamic DNS update.
AccessInfo Compose(const AccessRequest& request, const RouterStep& router, const DynDnsResult& dns);
} // namespace access

// Owns the dynamic DNS client, the router port mapping and the firewall exception and runs
// everything that waits for the network on one worker thread of its own, in the order asked:
// the event loop never waits for a router, a DNS service or firewalld. Results come back on
// the thread that made this object, through its event loop. Refreshes do not pile up: one
// runs at a time, and of those asked meanwhile only the newest runs after it.
class CNetworkPresence {
  public:
    struct Parts {
        std::string pluginFolder;                  // where the dynamic DNS plug-in is looked for
        CFirewall* firewall = nullptr;             // not owned; none: no firewall steps
        std::unique_ptr<CPortMapper> mapper;       // none: the default router
        std::unique_ptr<CPortMapper> httpsMapper;  // the HTTPS port's; none: the default router
        std::function<std::string()> localAddress; // none: GetLocalAddress
    };
    using InfoSink = std::function<void(const AccessInfo&)>;

    // `onInfo` gets the outcome of every refresh.
    CNetworkPresence(Parts parts, InfoSink onInfo);
    // Shutdown(), if it was not called.
    ~CNetworkPresence();
    CNetworkPresence(const CNetworkPresence&) = delete;
    CNetworkPresence& operator=(const CNetworkPresence&) = delete;

    // Starts a refresh (or queues it behind the one running).
    void RefreshAccessInfo(const AccessRequest& request);
    // True while a refresh is running or queued.
    bool Refreshing() const { return refreshing; }

    // Lets the server's plain port and its HTTPS port (0: none) in through the firewall,
    // moving the rules of other ports.
    void FollowPort(int port, int httpsPort = 0);
    // Announces the server on `port` as a UPnP device in the LAN, or withdraws it. An
    // announcement already made stays as it is, with the links it was made with, unless the
    // port changed: its page would send visitors to a port nobody listens on. One that could
    // not be made for want of a network is tried again at each refresh.
    void SetAnnouncement(bool on, int port);

    // Ends the presence: refreshes not yet begun are dropped, the one running finishes, then
    // the announcement is withdrawn and the router mapping and the firewall rule are removed.
    // Waits for all of it.
    void Shutdown();

    CDynDns& DynDns() { return dynDns; }

  private:
    void Begin(const AccessRequest& request);
    void AfterWorker(const AccessRequest& request, const RouterStep& router);
    void Finish(const AccessInfo& info);
    void Post(std::function<void()> job);

    CDynDns dynDns;
    CDeviceAnnouncer announcer; // used on the worker only
    int announcedPort = 0;      // the port on its page; worker only
    bool announce = false;      // the announcement is wanted
    int announcePort = 0;
    CFirewall* firewall;
    std::unique_ptr<CPortMapper> mapper;
    std::unique_ptr<CPortMapper> httpsMapper;
    std::function<std::string()> localAddress;
    InfoSink onInfo;
    bool refreshing = false;
    std::optional<AccessRequest> queued;
    std::atomic<bool> ending = false;
    bool shutDown = false;
    QThreadPool worker;
    QObject context; // results come back through its thread's event loop
};

} // namespace tvn
