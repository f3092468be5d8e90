#include "presence/network_presence.h"

#include "platform/host_resolver.h"
#include "presence/local_address.h"

#include <QMetaObject>

namespace tvn {
namespace {

constexpr const char* kMappingName = "TVN";
constexpr const char* kHttpsMappingName = "TVN HTTPS";

std::string PortSuffix(int port) { return port == 80 ? std::string() : ":" + std::to_string(port); }

} // namespace

namespace access {

std::optional<AccessInfo> Early(const AccessRequest& request, const std::string& localAddress) {
    if (!request.enable)
        return AccessInfo{std::string(), "The Server is stopped", std::string()};
    if (localAddress.empty())
        return AccessInfo{"localhost" + PortSuffix(request.port), "Only. No NET connections found",
                          std::string()};
    return std::nullopt;
}

RouterStep AfterRouter(const AccessRequest& request, const std::string& localAddress, bool mapped,
                       const std::string& mappedAddress, const std::string& relayAddress) {
    RouterStep step;
    step.address = localAddress;
    step.lanAddress = localAddress;
    if (!request.worldwide) {
        step.label = "(LAN only)";
    } else if (mapped) {
        step.address = mappedAddress;
        step.lanAddress = mappedAddress;
        step.label = "(Worldwide)";
    } else if (!relayAddress.empty()) {
        // The relay only when its address is known: with no relay service, or one that does
        // not resolve, the line stays the direct one and no relay name is registered.
        step.address = relayAddress;
        step.relay = true;
    }
    return step;
}

AccessInfo Compose(const AccessRequest& request, const RouterStep& router,
                   const DynDnsResult& dns) {
    std::string label = router.label + dns.status;
    std::string address = router.address;
    bool relay = router.relay;
    if (dns.registered) {
        // Only the relay is named: a name pointed straight at this computer, for want of a
        // router or relay, gets no word of how it is reached.
        if (label.empty() && relay)
            label = "(via Zereru Zadariv)";
        address = dns.address; // the registered host name
    } else {
        // The dynamic DNS name is not shown, and the relay is not named without it.
        address = router.lanAddress;
        relay = false;
    }
    AccessInfo info;
    info.host = relay ? address : address + PortSuffix(request.port);
    info.label = std::move(label);
    info.httpsShut = router.httpsShut;
    if (relay)
        info.relayName = request.name + "." + request.domain;
    return info;
}

} // namespace access

CNetworkPresence::CNetworkPresence(Parts parts, InfoSink sink)
    : dynDns(parts.pluginFolder), firewall(parts.firewall), mapper(std::move(parts.mapper)),
      httpsMapper(std::move(parts.httpsMapper)), localAddress(std::move(parts.localAddress)),
      onInfo(std::move(sink)) {
    if (!mapper)
        mapper = std::make_unique<CPortMapper>();
    if (!httpsMapper)
        httpsMapper = std::make_unique<CPortMapper>();
    if (!localAddress)
        localAddress = GetLocalAddress;
    worker.setMaxThreadCount(1);
    worker.setExpiryTimeout(-1);
}

CNetworkPresence::~CNetworkPresence() { Shutdown(); }

void CNetworkPresence::Post(std::function<void()> job) {
    worker.start([this, job = std::move(job)] {
        if (!ending)
            job();
    });
}

void CNetworkPresence::RefreshAccessInfo(const AccessRequest& request) {
    if (shutDown)
        return;
    if (refreshing) {
        queued = request; // the newest settings win; the one running finishes first
        return;
    }
    refreshing = true;
    Begin(request);
}

void CNetworkPresence::Begin(const AccessRequest& request) {
    Post([this, request, retryAnnouncement = announce, port = announcePort] {
        const std::string address = localAddress();
        // An announcement that found no network at first is made once there is one.
        if (retryAnnouncement && !address.empty() && !announcer.Registered()) {
            announcer.SetAnnouncement(true, port, address);
            announcedPort = port;
        }
        std::optional<AccessInfo> early = access::Early(request, address);
        RouterStep router;
        if (!early) {
            bool mapped = false;
            std::string mappedAddress = address;
            std::string relayAddress;
            bool httpsMapped = false;
            if (request.worldwide) {
                mapped = mapper->Ensure(static_cast<std::uint16_t>(request.port),
                                        static_cast<std::uint16_t>(request.port), "TCP",
                                        mappedAddress, kMappingName);
                if (!mapped)
                    relayAddress = LookUpIPv4(request.relayHost);
            } else {
                mapper->Remove(); // and forgotten: a later WorldWide access maps anew
            }
            // The HTTPS port is forwarded beside the plain one, and only then.
            if (mapped && request.httpsPort > 0 && request.httpsPort != request.port) {
                std::string httpsAddress = address;
                httpsMapped = httpsMapper->Ensure(static_cast<std::uint16_t>(request.httpsPort),
                                                  static_cast<std::uint16_t>(request.httpsPort),
                                                  "TCP", httpsAddress, kHttpsMappingName);
            } else {
                httpsMapper->Remove();
            }
            router = access::AfterRouter(request, address, mapped, mappedAddress, relayAddress);
            router.httpsShut = mapped && !httpsMapped;
        }
        QMetaObject::invokeMethod(
            &context,
            [this, request, early = std::move(early), router = std::move(router)] {
                if (early)
                    Finish(*early);
                else
                    AfterWorker(request, router);
            },
            Qt::QueuedConnection);
    });
}

void CNetworkPresence::AfterWorker(const AccessRequest& request, const RouterStep& router) {
    if (shutDown)
        return;
    DynDnsAccount account{request.user, request.password, request.name, request.domain,
                          router.address};
    const bool started = dynDns.Update(account, [this, request, router](const DynDnsResult& dns) {
        Finish(access::Compose(request, router, dns));
    });
    if (!started) // an update of its own is under way: this refresh registers nothing
        Finish(access::Compose(request, router, DynDnsResult{}));
}

void CNetworkPresence::Finish(const AccessInfo& info) {
    if (shutDown)
        return;
    onInfo(info);
    if (queued) {
        const AccessRequest next = std::move(*queued);
        queued.reset();
        Begin(next);
        return;
    }
    refreshing = false;
}

void CNetworkPresence::FollowPort(int port, int httpsPort) {
    if (firewall == nullptr || shutDown)
        return;
    Post([this, port, httpsPort] {
        firewall->AddException(port, CFirewall::Port::kPlain);
        if (httpsPort > 0)
            firewall->AddException(httpsPort, CFirewall::Port::kHttps);
        else
            firewall->RemoveException(CFirewall::Port::kHttps);
    });
}

void CNetworkPresence::SetAnnouncement(bool on, int port) {
    if (shutDown)
        return;
    announce = on;
    announcePort = port;
    Post([this, on, port] {
        if (on && announcer.Registered() && port != announcedPort)
            announcer.Unregister();
        announcer.SetAnnouncement(on, port, on ? localAddress() : std::string());
        announcedPort = port;
    });
}

void CNetworkPresence::Shutdown() {
    if (shutDown)
        return;
    shutDown = true;
    queued.reset();
    ending = true; // jobs not yet begun are dropped
    worker.waitForDone();
    // The last steps run on the worker as well: the mapper and the firewall were used there.
    worker.start([this] {
        announcer.Unregister();
        mapper->Remove();
        httpsMapper->Remove();
        if (firewall != nullptr)
            firewall->RemoveException();
    });
    worker.waitForDone();
}

} // namespace tvn
