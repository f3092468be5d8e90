#pragma once

#include "http/http_svr_doc.h"
#include "pages/page_stages.h"
#include "presence/acme_client.h"
#include "presence/network_presence.h"
#include "shell/main_settings.h"
#include "shell/user_interface.h"

#include <QTimer>
#include <memory>
#include <string>
#include <vector>

namespace tvn {

class GPS;

// HTTPS as the access line may offer it: its port, and the subject alternative names of a
// certificate a browser trusts ("DNS:name", "IP:address"); no names, no HTTPS in the line.
struct HttpsOffer {
    int port = 0;
    std::vector<std::string> names;
};

namespace access {
// True when a certificate with `names` is good for `host` as a browser checks it: an address
// against the IP names, a host name, in any case, against the DNS names, where "*." stands
// for one label.
bool CertificateCovers(const std::vector<std::string>& names, const std::string& host);
// The access-information line: "https://host[:port] label" for the direct way in when
// `offer` covers the host, else "http://host label"; the label alone without a host. The
// relay carries plain HTTP only, so its line is never an https one.
std::string Line(const AccessInfo& info, const HttpsOffer& offer);
} // namespace access

// The server half of the main window: it owns the server document and the network presence,
// applies the settings at start and on Save, starts and stops the server (`StartServer`),
// runs the one-second timer with the access-information refresh, and the shutdown order.
// The settings dialog (desktop only) shows `Settings()` and calls Save, PreviewEnable and
// ApplyEnable with its controls; the access-information line reaches it, and the terminal of
// the headless program, through CUserInterface::showAccessInfo.
class CServerControl {
  public:
    // `firewall`: the firewall service found at start (not owned); none when there is none.
    // `presenceParts`: the router and the local address (tests); by default the real ones.
    CServerControl(const CUserInterface& ui, CFirewall* firewall,
                   CNetworkPresence::Parts presenceParts = {});
    ~CServerControl();
    CServerControl(const CServerControl&) = delete;
    CServerControl& operator=(const CServerControl&) = delete;

    // Loads the settings and starts the server; run once from the event loop after start.
    void LoadSettingsAndStart();

    // Applies the server state: port 0 stops. 0 when the server is in the requested state,
    // 1 when a requested start failed (the failure has been shown to the user). The demo
    // site is installed on the first start of each program version.
    int StartServer(int port, const std::string& root);

    // The settings as last loaded or saved.
    const MainSettings& Settings() const { return settings; }
    // How many times the settings were loaded from the file: a window made before the load
    // fills its controls again when this changed.
    int SettingsLoads() const { return loads; }
    // Save: stores `chosen`, applies the announcement, the activity pop-up and the server
    // state, and refreshes the access information. 0 on success; 1 when the server could
    // not start on the chosen port (the failure was shown; Port and Enable keep their
    // stored values, the other settings are stored).
    int Save(const MainSettings& chosen);
    // kCommandToggleEnable without a window: inverts Enable and applies it at once. The new state.
    bool ToggleEnable();
    // kCommandToggleEnable of the window, after it inverted its Enable box: the server starts on
    // the port and root of `shown` (the controls) or stops, and on success Port and Enable are
    // stored; the access information follows `shown`. 0 when the server is in that state, 1
    // when the start failed (shown to the user) or the program is ending.
    int ApplyEnable(const MainSettings& shown);
    // The Enable box was clicked but not saved: the access information follows the controls
    // as `shown` holds them (Enable, port, worldwide access, the dynamic DNS account), now and
    // at every refresh until the next Save, load or Enable command.
    void PreviewEnable(const MainSettings& shown);
    // The dynamic DNS domains to offer, with `Settings().domain` selected when present, and
    // in `domain` the one to show (the plug-in may change it).
    std::vector<std::string> DnsDomains(int& selected, std::string& domain) const;
    // The Register button: true when the plug-in handled it; false when the caller should
    // open kDynDnsRegistrationUrl.
    bool RegisterDns();
    // The access-information line as last shown.
    const std::string& AccessLine() const { return shownText; }
    // "HTTPS port N, certificate SHA-256 AB:CD:..." while HTTPS listens; else empty.
    const std::string& CertificateLine() const { return certificateLine; }

    // kCommandShowWindow: shows the main window.
    void ShowWindow();
    // kCommandExit, steps before the window goes: stops the server and network presence.
    // The caller then ends the event loop. Safe to call twice.
    void Shutdown();

    CHttpSvrDoc& Document() { return doc; }
    // The pages' settings: the blog's last post, the map key, the GPS receiver.
    CPageSettings& Pages() { return stages.Settings(); }

  private:
    void OnTimer();
    void RefreshAccessInfo();
    void OnAccessInfo(const AccessInfo& info);
    void SetInfo(const AccessInfo& info);
    HttpsOffer Offer() const;
    void UpdateCertificateLine();
    void AskFirewall();
    void FollowCertificateName(const std::string& name);

    const CUserInterface& ui;
    CFirewall* firewall;
    std::unique_ptr<GPS> gps; // before stages: the pages' settings point at it
    CPageStages stages;       // before doc: the document points at it
    CHttpSvrDoc doc;
    std::unique_ptr<CNetworkPresence> presence; // after doc: its results reach the document
    CAcmeWorker acme;                           // after doc: it fills the document's answers
    std::string acmeName;                       // the name the certificate is kept for
    std::string acmeOutcome;                    // the ACME worker's last line for acmeName, if any
    QTimer timer;
    int ticks = 0;
    bool shutDown = false;
    bool firewallAgreed = false;

    MainSettings settings;
    int loads = 0;
    // What the access information is made from: the controls as the window last read them
    // (at an Enable click or command), else the settings.
    MainSettings shown;
    std::string relayName; // the name the relay link registers

    // The running server: port 0 means stopped.
    int runningPort = 0;
    std::string runningRoot;

    std::string shownAddress; // the line before a blog post's link took its place
    std::string shownText;
    std::string certificateLine;
};

} // namespace tvn
