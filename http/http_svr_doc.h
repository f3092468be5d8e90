#pragma once

#include "http/acme_challenges.h"
#include "http/connection_list.h"
#include "http/relay_seam.h"
#include "platform/trimmed_log.h"

#include <functional>
#include <memory>
#include <string>

namespace tvn {

class CListenSocket;
class CTlsCertificates;
class IContentStages;

// The web server's settings and running state: root, port, host name, listener and access
// log. One instance, owned by the shell's server control (CServerControl), which the main
// window holds.
class CHttpSvrDoc {
  public:
    // `port` 0 means 80; an empty root means "htdocs". Reads LogFileName and LogFileSize
    // (writing their defaults when missing). The relay link's settings are the relay link's
    // own (relayFactory), the pages' settings the pages' own (CPageSettings).
    CHttpSvrDoc(int port, const std::string& root);
    virtual ~CHttpSvrDoc();
    CHttpSvrDoc(const CHttpSvrDoc&) = delete;
    CHttpSvrDoc& operator=(const CHttpSvrDoc&) = delete;

    // Stores port (0 keeps the previous one) and root, installs the demo site when asked,
    // and listens on the port, and on HttpsPort for HTTPS unless that is 0; true when the
    // plain port listens. A failure of either is reported to the user; one of HTTPS leaves
    // plain serving running. HTTPS may begin later, once its first certificate is made.
    bool StartServing(int port, const std::string& root, bool createDemo);
    // Closes the listener; live connections finish by themselves.
    void StopServing();
    bool IsListening() const { return listener != nullptr; }
    bool IsListeningTls() const { return tlsListener != nullptr; }
    // The HTTPS port (0: none), and the certificate chooser while HTTPS listens (else null).
    int HttpsPort() const { return httpsPort; }
    CTlsCertificates* Certificates() const { return tlsListener ? certificates.get() : nullptr; }
    // The certificate chooser, also while HTTPS does not listen (tests set its seams).
    CTlsCertificates& CertificateChooser() { return *certificates; }
    // The live TCP connections; they end with the document at the latest.
    CConnectionList& Connections() { return connections; }

    // Appends one line to the access log.
    void WriteAccessLog(std::string_view text);
    // Registers `name` with the relay service (an empty name stops registering); nothing
    // without a relay link.
    void SetRelayName(const std::string& name);
    // The relay service's host as configured, while a relay link runs; else empty.
    const std::string& RelayServiceHost() const { return relayHost; }
    // The relay link, when ServiceHost names a service and its socket could be made.
    IRelayLink* RelayLink() const { return relay.get(); }

    const std::string& Root() const { return root; }
    // The port HTTPS is served on, 0 while it is not.
    int SecurePort() const { return tlsListener ? httpsPort : 0; }
    int Port() const { return port; }
    const std::string& HostName() const { return hostName; }
    // The folder of TVN.cfg, its links resolved: nothing below it is ever served.
    const std::string& SettingsFolderPath() const { return settingsFolder; }
    // True when the shared folder (links resolved) holds the settings folder; worked out
    // again only when the root changes.
    bool ShareHoldsSettings() const;

    // The http-01 answers the plain listener gives while a certificate is being obtained.
    CAcmeChallenges& AcmeChallenges() { return acmeChallenges; }

    // Content stages of the pages subsystem (not owned); none answers folders with 404.
    void SetContentStages(IContentStages* stages) { contentStages = stages; }
    IContentStages* ContentStages() const { return contentStages; }

    // Seams filled by the shell: the demo-site writer, the activity pop-up, and how a start
    // failure is shown to the user (a message box, or standard error when headless).
    std::function<void(const std::string& root)> demoInstaller;
    std::function<void(std::string_view line)> showActivity;
    std::function<void(const std::string& message)> reportError;
    // Called on the event loop when a certificate made off the loop came into use, and
    // when HTTPS waited for it: its listener then listens (or failed, reported).
    std::function<void()> tlsChanged;
    // Makes the relay link from its settings at each start (the shell's: it lives in a layer
    // above this one); none, or a null link, leaves the server without one.
    std::function<std::unique_ptr<IRelayLink>(CHttpSvrDoc& doc)> relayFactory;

  private:
    void ReportError(const std::string& message) const;
    void StartRelayLink();
    void StartTls();
    void ListenTls();
    void OnCertificateReady();

    std::string root;
    std::string hostName;
    std::string settingsFolder;
    mutable std::string shareHoldsSettingsFor; // the root the answer below was found for
    mutable bool shareHoldsSettings = false;
    int port;
    std::unique_ptr<CListenSocket> listener;
    int httpsPort = 0;
    std::unique_ptr<CTlsCertificates> certificates;
    std::unique_ptr<CListenSocket> tlsListener;
    bool tlsAwaited = false; // HTTPS listens once the certificate being made is there
    std::unique_ptr<IRelayLink> relay;
    std::string relayName; // kept across restarts of the link
    std::string relayHost; // the service host of the running link
    TrimmedLog accessLog;
    std::string logFile; // the access log, as a path of this computer
    int logFileSize = 1;
    IContentStages* contentStages = nullptr;
    CAcmeChallenges acmeChallenges;
    CConnectionList connections; // last: gone first, while everything they use still stands
};

// The server's host name: `hostName` (from the socket layer) when there is one, else the
// computer's name `computerName` in lower case, else "localhost". Nulls stand for failures.
std::string ChooseHostName(const char* hostName, const char* computerName);
// This computer's host name as ChooseHostName makes it from the system's names now.
std::string LocalHostName();

} // namespace tvn
