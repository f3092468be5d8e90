#include "shell/server_control.h"

#include "config/settings_section.h"
#include "config/stored_path.h"
#include "gps/gps.h"
#include "platform/http_client.h"
#include "relay/relay_link.h"
#include "shell/default_folders.h"
#include "shell/demo_site.h"

#include <cstdlib>

namespace tvn {
namespace {

constexpr int kTimerMs = 1000;

std::unique_ptr<GPS> MakeReceiver() {
    InitHttpClient(); // once, before the receiver's worker can send a report
    return std::make_unique<GPS>();
}

} // namespace

CServerControl::CServerControl(const CUserInterface& userInterface, bool haveFirewallProfile)
    : ui(userInterface), firewallProfile(haveFirewallProfile), gps(MakeReceiver()),
      doc(0, std::string()) {
    doc.SetContentStages(&stages);
    doc.SetGpsSource(gps.get());
    doc.demoInstaller = [](const std::string& demoRoot) { CreateDemoSite(demoRoot); };
    doc.relayFactory = MakeRelayLink;
    doc.reportError = [this](const std::string& message) { ui.showError(message); };
    doc.showActivity = [this](std::string_view line) {
        if (activityEnabled)
            ui.showActivity(line);
    };
    QObject::connect(&timer, &QTimer::timeout, [this] { OnTimer(); });
}

CServerControl::~CServerControl() = default;

void CServerControl::LoadSettingsAndStart() {
    const SettingsSection settings;
    port = settings.GetInt("Port", 8080);
    enable = settings.GetFlag("Enable", 1);
    activityEnabled = settings.GetInt("HideLog", 0) != 1; // only 1 hides the pop-up
    root = FromStoredPath(settings.GetString("Root", ToStoredPath(DefaultDocumentFolder())));
    name = settings.GetString("Name", "");
    user = settings.GetString("User", "");
    pass = settings.GetString("Pass", "");
    domain = settings.GetString("Domain", kDefaultDnsDomain);
    // TODO(presence): the dynamic DNS client patches the domain list (or its plug-in the texts)
    // here, and the dialog fills its controls.
    timer.start(kTimerMs);
    if (firewallProfile) {
        // TODO(presence): the firewall question, and on OK the exception for this program.
    }
    discovery = settings.GetFlag("uPnPDiscovery", 1);
    // TODO(presence): the UPnP announcement starts when `discovery && enable`, else it is
    // withdrawn.
    worldwide = settings.GetFlag("uPnPRouter", 1);
    StartServer(enable ? port : 0, root);
    const std::string relayName = RefreshAccessInfo();
    doc.SetRelayName(relayName);
    // Reports name the server by its relay name, reachable there on port 80.
    gps->SetRelayName(relayName, 80);
    gps->StartReceiver();
    // TODO(ui): the dialog enables the controls that depend on Enable.
}

int CServerControl::StartServer(int newPort, const std::string& newRoot) {
    if (newPort == 0) {
        if (runningPort != 0)
            doc.StopServing();
        runningPort = 0;
        return 0;
    }
    if (newPort == runningPort && newRoot == runningRoot)
        return 0;
    if (runningPort != 0)
        doc.StopServing();
    // Stopped from here on: a failed start must not leave the old port looking alive, or
    // asking for it again would be answered "already running" with no listener.
    runningPort = 0;
    const SettingsSection settings;
    const int packed = PackVersion(kProgramVersion);
    const bool create = settings.GetInt("CreateDemo", 0) < packed;
    const bool runs = doc.StartServing(newPort, newRoot, create);
    settings.SetInt("CreateDemo", packed);
    if (!runs)
        return 1;
    runningPort = newPort;
    runningRoot = newRoot;
    return 0;
}

void CServerControl::ShowWindow() {
    ui.showWindow();
    // Until the window exists, showing it means telling where the server can be reached.
    ui.showAccessInfo(shownText);
}

void CServerControl::Shutdown() {
    if (shutDown)
        return;
    shutDown = true;
    // TODO(ui): the help viewer is closed here once there is one.
    StartServer(0, root);
    timer.stop();
    gps->Stop(); // the history and the last position are saved when it goes
    // TODO(presence): in this order, withdraw the UPnP announcement, remove the router port mapping
    // (forgetting the mapped port, local address and protocol), remove the firewall
    // exception.
}

void CServerControl::OnTimer() {
    if (ticks++ > 10) {
        RefreshAccessInfo();
        ticks = 0;
    }
}

// Interim access information: the host name and the loopback address of the running
// server. TODO(presence): network presence (local address, router mapping, dynamic DNS)
// replaces it and then gives the relay name; until then the environment variable
// TVN_RELAY_NAME names the host to register with one's own relay service.
std::string CServerControl::RefreshAccessInfo() {
    if (!enable || runningPort == 0) {
        SetInfo("", "The Server is stopped");
        return {};
    }
    const std::string suffix = runningPort == 80 ? "" : ":" + std::to_string(runningPort);
    SetInfo(doc.HostName() + suffix + "/", "http://127.0.0.1" + suffix + "/");
    const char* relayName = std::getenv("TVN_RELAY_NAME");
    return relayName ? relayName : "";
}

void CServerControl::SetInfo(const std::string& host, const std::string& label) {
    std::string text;
    if (host == shownHost && label == shownLabel && !shownText.empty()) {
        const std::string link = doc.LastPostLink();
        if (link.empty())
            return;
        text = "http://" + link + " Last blog post";
    } else {
        shownHost = host;
        shownLabel = label;
        doc.ClearLastPost();
        text = host.empty() ? label : "http://" + host + " " + label;
    }
    if (text == shownText)
        return;
    shownText = text;
    ui.showAccessInfo(text);
}

} // namespace tvn
