#pragma once

#include "http/http_svr_doc.h"
#include "pages/page_stages.h"
#include "shell/user_interface.h"

#include <QTimer>
#include <memory>
#include <string>

namespace tvn {

class GPS;

// The default of `Domain`: the dynamic DNS service's main domain.
inline constexpr const char* kDefaultDnsDomain = "dyndns.org";

// The server half of the main window: it owns the server document and applies the settings
// at start, starts and stops the server (`StartServer`), runs the one-second timer and the
// shutdown order. The settings dialog, when it arrives, owns one of these and adds its
// controls; the places where it, the tray and network presence plug in are marked below.
class CServerControl {
  public:
    // `firewallProfile`: the firewall profile was obtained before start.
    CServerControl(const CUserInterface& ui, bool firewallProfile);
    ~CServerControl();
    CServerControl(const CServerControl&) = delete;
    CServerControl& operator=(const CServerControl&) = delete;

    // Loads the settings and starts the server; run once from the event loop after start.
    void LoadSettingsAndStart();

    // Applies the server state: port 0 stops. 0 when the server is in the requested state,
    // 1 when a requested start failed (the failure has been shown to the user). The demo
    // site is installed on the first start of each program version.
    int StartServer(int port, const std::string& root);

    // Command 5010: shows the main window.
    void ShowWindow();
    // Command 5011, steps before the window goes: stops the server and network presence.
    // The caller then ends the event loop. Safe to call twice.
    void Shutdown();

    CHttpSvrDoc& Document() { return doc; }
    int RunningPort() const { return runningPort; }

  private:
    void OnTimer();
    std::string RefreshAccessInfo();
    void SetInfo(const std::string& host, const std::string& label);

    const CUserInterface& ui;
    bool firewallProfile;
    std::unique_ptr<GPS> gps; // before doc: the document points at it
    CPageStages stages;       // before doc: the document points at it
    CHttpSvrDoc doc;
    QTimer timer;
    int ticks = 0;
    bool shutDown = false;

    // Settings as loaded at start (the dialog's controls, once it exists).
    int port = 8080;
    bool enable = true;
    bool activityEnabled = true;
    bool discovery = true;
    bool worldwide = true;
    std::string root;
    std::string name;
    std::string user;
    std::string pass;
    std::string domain;

    // The running server: port 0 means stopped.
    int runningPort = 0;
    std::string runningRoot;

    std::string shownHost;
    std::string shownLabel;
    std::string shownText;
};

} // namespace tvn
