#include "http/http_svr_doc.h"

#include "config/setting_keys.h"
#include "config/settings_section.h"
#include "config/stored_path.h"
#include "http/listen_socket.h"
#include "http/request_context.h"
#include "http/tls_certificates.h"
#include "http/url_path.h"
#include "platform/resources.h"
#include "platform/system_paths.h"
#include "platform/text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sys/utsname.h>
#include <unistd.h>
#include <utility>

namespace tvn {
namespace {

std::string FormatWithPort(StringId id, int port) {
    char text[512];
    std::snprintf(text, sizeof text, LoadString(id).c_str(), port);
    return text;
}

// The root as every URL is mapped below it: without a trailing '/', and written the way
// mapped paths are ("a//b" or "a/./b" in the settings would otherwise refuse every URL).
std::string StoredRoot(const std::string& given) {
    std::string root = CanonicalizePath(given);
    if (root.empty())
        root = given;
    if (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

} // namespace

CHttpSvrDoc::CHttpSvrDoc(int newPort, const std::string& newRoot)
    : root(StoredRoot(newRoot.empty() ? LoadString(StringId::kDefaultRootName) : newRoot)),
      hostName(LocalHostName()), port(newPort == 0 ? 80 : newPort) {
    const SettingsSection settings;
    logFile = FromStoredPath(
        settings.Text(setting::kLogFileName, ToStoredPath(JoinPath(LogFolder(), "tvn.log"))));
    logFileSize = settings.Number(setting::kLogFileSize);
    httpsPort = settings.Number(setting::kHttpsPort);
    // The settings folder is where TVN.cfg lives: the ACME client's files and the
    // self-signed certificate are kept there, never below the shared folder.
    const std::string cfg = SettingsSection::FilePath();
    const std::size_t slash = cfg.rfind('/');
    settingsFolder = slash == std::string::npos ? SettingsFolder() : cfg.substr(0, slash);
    if (char* resolved = realpath(settingsFolder.c_str(), nullptr)) {
        settingsFolder = resolved;
        free(resolved);
    }
    const std::string certificate = settings.Text(setting::kTlsCertificate);
    const std::string key = settings.Text(setting::kTlsKey);
    certificates = std::make_unique<CTlsCertificates>(
        settingsFolder, certificate.empty() ? "" : FromStoredPath(certificate),
        key.empty() ? "" : FromStoredPath(key));
    certificates->onReady = [this] { OnCertificateReady(); };
}

CHttpSvrDoc::~CHttpSvrDoc() {
    StopServing();
    accessLog.Close();
}

std::string LocalHostName() {
    char name[256] = {};
    const bool named = ::gethostname(name, sizeof name - 1) == 0;
    utsname system{};
    const bool hasSystemName = ::uname(&system) == 0;
    return ChooseHostName(named ? name : nullptr, hasSystemName ? system.nodename : nullptr);
}

std::string ChooseHostName(const char* hostName, const char* computerName) {
    if (hostName && hostName[0] != 0)
        return hostName;
    return ToLower(computerName && computerName[0] != 0 ? computerName : "localhost");
}

bool CHttpSvrDoc::StartServing(int newPort, const std::string& newRoot, bool createDemo) {
    if (newPort != 0)
        port = newPort;
    root = StoredRoot(newRoot);
    if (createDemo && demoInstaller)
        demoInstaller(root);
    StopServing();
    if (port < 1 || port > 65535) {
        // No TCP port has that number: the socket layer would quietly take another one
        // (70000 is 4464) while every message named 70000.
        ReportError(LoadString(StringId::kCannotStartServer));
    } else {
        listener = std::make_unique<CListenSocket>(*this);
        const int error = listener->Listen(port);
        if (error != 0) {
            ReportError(FormatWithPort(
                error == EADDRINUSE ? StringId::kPortInUse : StringId::kCannotListen, port));
            listener.reset();
        }
    }
    StartTls();
    StartRelayLink();
    return listener != nullptr;
}

// Until the self-signed certificate is made (on a worker, the first time it takes a
// moment) the HTTPS port does not listen at all: a browser is refused the connection as it
// would be before the program started, instead of being let into a handshake that could
// only fail. Plain HTTP serves in the meantime; the HTTPS listener follows in
// OnCertificateReady.
void CHttpSvrDoc::StartTls() {
    if (httpsPort == 0)
        return;
    if (httpsPort < 0 || httpsPort > 65535) {
        ReportError(LoadString(StringId::kCannotStartServer));
        return;
    }
    certificates->Refresh(true);
    if (certificates->Context().HasCertificate())
        ListenTls();
    else if (certificates->Pending())
        tlsAwaited = true;
    else
        ReportError(LoadString(StringId::kCannotStartServer));
}

void CHttpSvrDoc::ListenTls() {
    tlsListener = std::make_unique<CListenSocket>(*this, certificates.get());
    const int error = tlsListener->Listen(httpsPort);
    if (error != 0) {
        ReportError(FormatWithPort(
            error == EADDRINUSE ? StringId::kPortInUse : StringId::kCannotListen, httpsPort));
        tlsListener.reset();
    }
}

void CHttpSvrDoc::OnCertificateReady() {
    if (std::exchange(tlsAwaited, false)) {
        if (certificates->Context().HasCertificate())
            ListenTls();
        else
            ReportError(LoadString(StringId::kCannotStartServer));
    }
    if (tlsChanged)
        tlsChanged();
}

void CHttpSvrDoc::StopServing() {
    tlsAwaited = false;
    listener.reset();
    tlsListener.reset();
    relay.reset(); // registrations stop; relayed connections end with it
    relayHost.clear();
}

void CHttpSvrDoc::StartRelayLink() {
    relay.reset();
    relayHost.clear();
    if (!relayFactory)
        return;
    relay = relayFactory(*this);
    if (!relay)
        return;
    relayHost = relay->ServiceHost();
    if (!relayName.empty())
        relay->SetRelayName(relayName);
}

void CHttpSvrDoc::WriteAccessLog(std::string_view text) {
    accessLog.Append(logFile, logFileSize, text);
}

void CHttpSvrDoc::SetRelayName(const std::string& name) {
    relayName = name;
    // The shell hands the same name, with port 80, to the location reporter.
    if (relay)
        relay->SetRelayName(name);
}

void CHttpSvrDoc::ReportError(const std::string& message) const {
    if (reportError)
        reportError(message);
    else
        std::cerr << message << std::endl;
}

} // namespace tvn
