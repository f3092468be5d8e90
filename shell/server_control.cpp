#include "shell/server_control.h"

#include "config/settings_section.h"
#include "config/stored_path.h"
#include "gps/gps.h"
#include "http/tls_certificates.h"
#include "pages/thumbnail_disk_cache.h"
#include "platform/resources.h"
#include "platform/system_paths.h"
#include "platform/text.h"
#include "presence/network_presence.h"
#include "relay/relay_link.h"
#include "resources/string_ids.h"
#include "shell/demo_site.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <ctime>

namespace tvn {
namespace {

constexpr int kTimerMs = 1000;
// How often the certificate worker looks whether renewal is due or a wait is over.
constexpr int kAcmePeriodMs = 60000;

std::unique_ptr<GPS> MakeReceiver() { return std::make_unique<GPS>(); }

// A relay name given by the environment: for one's own relay service without a dynamic DNS
// account (the name is then the relay's business alone). It replaces the refresh's name.
const char* ForcedRelayName() {
    const char* name = std::getenv("TVN_RELAY_NAME");
    return name != nullptr && name[0] != 0 ? name : nullptr;
}

std::string PortSuffix(int port, int silent) {
    return port == silent ? std::string() : ":" + std::to_string(port);
}

} // namespace

namespace access {

bool CertificateCovers(const std::vector<std::string>& names, const std::string& host) {
    if (host.empty())
        return false;
    in_addr ipv4{};
    if (::inet_pton(AF_INET, host.c_str(), &ipv4) == 1)
        return std::find(names.begin(), names.end(), "IP:" + host) != names.end();
    const std::string wanted = ToLower(host);
    const std::size_t dot = wanted.find('.');
    for (const std::string& entry : names) {
        if (!entry.starts_with("DNS:"))
            continue;
        const std::string name = ToLower(std::string_view(entry).substr(4));
        if (name == wanted ||
            (name.starts_with("*.") && dot != std::string::npos && dot > 0 &&
             std::string_view(name).substr(1) == std::string_view(wanted).substr(dot)))
            return true;
    }
    return false;
}

std::string Line(const AccessInfo& info, const HttpsOffer& offer) {
    if (info.host.empty())
        return info.label;
    if (info.relayName.empty() && offer.port > 0 && !info.httpsShut) {
        // The host carries the plain port, unless that is 80.
        std::string host = info.host;
        const std::size_t colon = host.rfind(':');
        if (colon != std::string::npos &&
            host.find_first_not_of("0123456789", colon + 1) == std::string::npos)
            host.resize(colon);
        if (CertificateCovers(offer.names, host))
            return "https://" + host + PortSuffix(offer.port, 443) + " " + info.label;
    }
    return "http://" + info.host + " " + info.label;
}

} // namespace access

CServerControl::CServerControl(const CUserInterface& userInterface, CFirewall* firewallService,
                               CNetworkPresence::Parts parts)
    : ui(userInterface), firewall(firewallService), gps(MakeReceiver()), doc(0, std::string()),
      acme(
          doc.AcmeChallenges(), [] { return std::time(nullptr); },
          [this](const std::string& line) {
              // From the worker: the line is written on the event loop.
              QMetaObject::invokeMethod(
                  &timer,
                  [this, line] {
                      doc.WriteAccessLog(line);
                      // The window's certificate line tells the last outcome as well.
                      acmeOutcome = line;
                      UpdateCertificateLine();
                  },
                  Qt::QueuedConnection);
          }) {
    doc.SetContentStages(&stages);
    // Read after the document's own keys: a new TVN.cfg lists them in the table's order.
    stages.Settings().Load();
    stages.Settings().SetGpsSource(gps.get());
    doc.demoInstaller = [](const std::string& demoRoot) { CreateDemoSite(demoRoot); };
    doc.relayFactory = MakeRelayLink;
    doc.reportError = [this](const std::string& message) { ui.showError(message); };
    // A certificate made on a worker came into use: its fingerprint, and the line.
    doc.tlsChanged = [this] {
        UpdateCertificateLine();
        RefreshAccessInfo();
    };
    doc.showActivity = [this](std::string_view line) {
        if (!settings.hideLog)
            ui.showActivity(line);
    };
    if (parts.pluginFolder.empty())
        parts.pluginFolder = ExecutableFolder();
    parts.firewall = firewall;
    presence = std::make_unique<CNetworkPresence>(
        std::move(parts), [this](const AccessInfo& info) { OnAccessInfo(info); });
    QObject::connect(&timer, &QTimer::timeout, [this] { OnTimer(); });
}

CServerControl::~CServerControl() { Shutdown(); }

void CServerControl::LoadSettingsAndStart() {
    settings = LoadMainSettings();
    // The plug-in may correct the stored domain and name; without one the domain must be one
    // of the list unless the update goes to a service of one's own.
    DdnsDomainList domains{DynDnsDomains(), -1};
    presence->DynDns().PatchOptions(domains, settings.domain, settings.name, settings.user, true);
    shown = settings;
    ++loads;
    timer.start(kTimerMs);
    AskFirewall();
    // At start the setting alone decides, also for a server that is switched off.
    presence->SetAnnouncement(settings.discovery, settings.port);
    StartServer(settings.enable ? settings.port : 0, settings.root);
    RefreshAccessInfo();
    gps->StartReceiver();
}

void CServerControl::AskFirewall() {
    if (firewall == nullptr)
        return;
    const AskUser ask = [this](int captionId, int textId) {
        const QuestionReply reply = ui.askOnce(LoadString(textId), LoadString(captionId));
        return AskReply{reply.ok, reply.dontAskAgain};
    };
    firewallAgreed = AskOnce(static_cast<int>(StringId::kFirewallName),
                             static_cast<int>(StringId::kFirewallAdvice), kFirewallQuestion, ask);
}

int CServerControl::StartServer(int newPort, const std::string& newRoot) {
    if (newPort == 0) {
        if (runningPort != 0)
            doc.StopServing();
        runningPort = 0;
        UpdateCertificateLine();
        return 0;
    }
    if (newPort == runningPort && newRoot == runningRoot)
        return 0;
    if (runningPort != 0)
        doc.StopServing();
    // Stopped from here on: a failed start must not leave the old port looking alive, or
    // asking for it again would be answered "already running" with no listener.
    runningPort = 0;
    const SettingsSection stored;
    const int packed = PackVersion(kProgramVersion);
    const bool create = stored.Number(setting::kCreateDemo) < packed;
    const bool runs = doc.StartServing(newPort, newRoot, create);
    stored.Store(setting::kCreateDemo, packed);
    UpdateCertificateLine();
    if (!runs)
        return 1;
    runningPort = newPort;
    runningRoot = newRoot;
    // Thumbnails outlive the run in the user's cache folder, unless a root that holds it
    // would publish them (with those of protected folders): then none are kept.
    ThumbnailDiskCache().Open(JoinPath(CacheFolder(), "thumbnails"), doc.Root());
    // The firewall rules follow the ports the server listens on.
    if (firewallAgreed)
        presence->FollowPort(newPort, doc.HttpsPort());
    return 0;
}

int CServerControl::Save(const MainSettings& chosen) {
    const SettingsSection stored;
    stored.Store(setting::kDiscovery, chosen.discovery ? 1 : 0);
    presence->SetAnnouncement(chosen.discovery && chosen.enable, chosen.port);
    stored.Store(setting::kWorldwide, chosen.worldwide ? 1 : 0);
    stored.Store(setting::kHideLog, chosen.hideLog ? 1 : 0);
    stored.Store(setting::kRoot, ToStoredPath(chosen.root));
    stored.Store(setting::kName, chosen.name);
    stored.Store(setting::kUser, chosen.user);
    stored.Store(setting::kPass, chosen.pass);
    if (!chosen.domain.empty())
        stored.Store(setting::kDomain, chosen.domain);
    stored.Store(setting::kAcmeDirectory, chosen.acmeDirectory);
    stored.Store(setting::kAcmeTrust, chosen.acmeTrust);
    if (chosen.acmeDirectory != settings.acmeDirectory || chosen.acmeTrust != settings.acmeTrust) {
        // Another service: the worker starts over with it at the refresh below.
        acme.Stop();
        acmeName.clear();
    }
    const int oldPort = settings.port;
    const bool oldEnable = settings.enable;
    settings = chosen;
    if (chosen.domain.empty())
        settings.domain = LoadMainSettings().domain;
    shown = settings;
    if (StartServer(chosen.enable ? chosen.port : 0, chosen.root) != 0) {
        // Port and Enable keep what the file holds.
        settings.port = oldPort;
        settings.enable = oldEnable;
        shown = settings;
        return 1;
    }
    stored.Store(setting::kPort, chosen.port);
    stored.Store(setting::kEnable, chosen.enable ? 1 : 0);
    DdnsDomainList domains{DynDnsDomains(), -1};
    presence->DynDns().PatchOptions(domains, settings.domain, settings.name, settings.user, false);
    RefreshAccessInfo();
    return 0;
}

bool CServerControl::ToggleEnable() {
    MainSettings toggled = shown;
    toggled.enable = !toggled.enable;
    ApplyEnable(toggled);
    return settings.enable;
}

int CServerControl::ApplyEnable(const MainSettings& chosen) {
    if (shutDown)
        return 1;
    shown = chosen;
    const int failed = StartServer(chosen.enable ? chosen.port : 0, chosen.root);
    if (failed == 0) {
        settings.port = chosen.port;
        settings.enable = chosen.enable;
        const SettingsSection stored;
        stored.Store(setting::kPort, chosen.port);
        stored.Store(setting::kEnable, chosen.enable ? 1 : 0);
    }
    RefreshAccessInfo();
    return failed;
}

void CServerControl::PreviewEnable(const MainSettings& chosen) {
    shown = chosen;
    RefreshAccessInfo();
}

std::vector<std::string> CServerControl::DnsDomains(int& selected, std::string& domain) const {
    DdnsDomainList domains{DynDnsDomains(), -1};
    domain = settings.domain;
    std::string name = settings.name;
    std::string user = settings.user;
    presence->DynDns().PatchOptions(domains, domain, name, user, true);
    selected = domains.selected;
    return domains.entries;
}

bool CServerControl::RegisterDns() { return presence->DynDns().Register(); }

void CServerControl::ShowWindow() {
    ui.showWindow();
    // Without a window, showing it means telling where the server can be reached.
    ui.showAccessInfo(shownText);
}

void CServerControl::Shutdown() {
    if (shutDown)
        return;
    shutDown = true;
    StartServer(0, settings.root);
    timer.stop();
    acme.Stop();
    gps->Stop(); // the history and the last position are saved when it goes
    // Waits for the presence worker, then withdraws the announcement and removes the router
    // mapping and the firewall rule.
    presence->Shutdown();
}

void CServerControl::OnTimer() {
    if (ticks++ > 10) {
        // A certificate that arrived or changed meanwhile, also without any connection.
        if (CTlsCertificates* tls = doc.Certificates())
            tls->Refresh();
        UpdateCertificateLine();
        RefreshAccessInfo();
        ticks = 0;
    }
}

void CServerControl::RefreshAccessInfo() {
    if (shutDown)
        return;
    AccessRequest request;
    // A server that failed to start is stopped, whatever the Enable box says: no address is
    // offered where nothing listens.
    request.enable = shown.enable && runningPort != 0;
    request.port = shown.port;
    request.worldwide = shown.worldwide;
    request.user = shown.user;
    request.password = shown.pass;
    request.name = shown.name;
    request.domain = shown.domain;
    request.relayHost = doc.RelayServiceHost();
    request.httpsPort = doc.HttpsPort();
    presence->RefreshAccessInfo(request);
}

void CServerControl::OnAccessInfo(const AccessInfo& info) {
    SetInfo(info);
    AccessRequest request;
    request.enable = shown.enable && runningPort != 0;
    request.worldwide = shown.worldwide;
    request.name = shown.name;
    request.domain = shown.domain;
    FollowCertificateName(acme::WantedName(request, info));
    const char* forced = ForcedRelayName();
    const std::string name = forced != nullptr ? std::string(forced) : info.relayName;
    if (name == relayName)
        return;
    // Whenever the name changes, not only at start and on Save: a later switch to the relay
    // must register the name that the dynamic DNS service now points at the relay.
    relayName = name;
    doc.SetRelayName(relayName);
    // Reports name the server by its relay name, reachable there on port 80.
    gps->SetRelayName(relayName, 80);
}

void CServerControl::UpdateCertificateLine() {
    const CTlsCertificates* tls = doc.Certificates();
    std::string line = tls && !tls->Fingerprint().empty()
                           ? "HTTPS port " + std::to_string(doc.HttpsPort()) +
                                 ", certificate SHA-256 " + tls->Fingerprint()
                           : std::string();
    if (!line.empty() && !acmeName.empty() && !acmeOutcome.empty())
        line += "; " + acmeOutcome;
    if (line == certificateLine)
        return;
    certificateLine = line;
    if (ui.showCertificate)
        ui.showCertificate(line);
}

// Keeps the certificate of `name` fresh on the worker; an empty name stops it (the files
// stay).
void CServerControl::FollowCertificateName(const std::string& name) {
    if (name == acmeName || shutDown)
        return;
    acmeName = name;
    acmeOutcome.clear();
    UpdateCertificateLine();
    if (name.empty()) {
        acme.Stop();
        return;
    }
    const SettingsSection section;
    AcmeSetup setup;
    setup.directoryUrl = section.Text(setting::kAcmeDirectory);
    setup.trustFile = section.Text(setting::kAcmeTrust);
    setup.dnsName = name;
    const std::string file = SettingsSection::FilePath();
    setup.folder = file.substr(0, file.rfind('/'));
    acme.Stop();
    acme.Configure(setup);
    acme.Start(kAcmePeriodMs);
}

// HTTPS is offered in the line only with a certificate a browser takes without a warning.
HttpsOffer CServerControl::Offer() const {
    const CTlsCertificates* tls = doc.Certificates();
    if (tls == nullptr || !tls->Trusted())
        return {};
    return HttpsOffer{doc.SecurePort(), tls->Names()};
}

void CServerControl::SetInfo(const AccessInfo& info) {
    const std::string address = access::Line(info, Offer());
    std::string text;
    if (address == shownAddress && !shownText.empty()) {
        const std::string link = stages.Settings().LastPostLink(doc.Port());
        if (link.empty())
            return;
        text = "http://" + link + " Last blog post";
    } else {
        shownAddress = address;
        stages.Settings().ClearLastPost();
        text = address;
    }
    if (text == shownText)
        return;
    shownText = text;
    ui.showAccessInfo(text);
}

} // namespace tvn
