#include "http/http_svr_doc.h"

#include "config/settings_section.h"
#include "config/stored_path.h"
#include "http/listen_socket.h"
#include "http/request_context.h"
#include "http/url_path.h"
#include "platform/resources.h"
#include "platform/system_paths.h"
#include "platform/text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <sys/random.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace tvn {
namespace {

constexpr const char* kDefaultBlogSound =
    "/usr/share/sounds/freedesktop/stereo/message-new-instant.oga";
// No public relay service exists: the user names their own. Empty means no relay link (no
// registration, no name lookup).
constexpr const char* kDefaultServiceHost = "";

// A new secret for the relay registrations: 32 hexadecimal digits from the kernel's random
// source; empty when it gives none.
std::string NewRelaySecret() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string secret;
    for (const unsigned char byte : bytes) {
        secret.push_back(kHex[byte >> 4]);
        secret.push_back(kHex[byte & 0x0F]);
    }
    return secret;
}

std::string FormatWithPort(StringId id, int port) {
    char text[512];
    std::snprintf(text, sizeof text, LoadString(id).c_str(), port);
    return text;
}

std::string LocalHostName() {
    char name[256] = {};
    const bool named = ::gethostname(name, sizeof name - 1) == 0;
    utsname system{};
    const bool hasSystemName = ::uname(&system) == 0;
    return ChooseHostName(named ? name : nullptr, hasSystemName ? system.nodename : nullptr);
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
    blogSound = settings.GetString("BlogSound", kDefaultBlogSound);
    logFileName = settings.GetString("LogFileName", ToStoredPath(JoinPath(LogFolder(), "tvn.log")));
    logFileSize = settings.GetInt("LogFileSize", 1);
    googleApiKey = settings.GetString("GoogleApiKey", "");
    // The GPS receiver lives in a layer above; the shell starts it once it is made.
}

CHttpSvrDoc::~CHttpSvrDoc() {
    StopServing();
    accessLog.Close();
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
    StartRelayLink();
    return listener != nullptr;
}

void CHttpSvrDoc::StopServing() {
    listener.reset();
    relay.reset(); // registrations stop; relayed connections end with it
    relayHost.clear();
}

void CHttpSvrDoc::StartRelayLink() {
    const SettingsSection settings;
    const std::string host = settings.GetString("ServiceHost", kDefaultServiceHost);
    const int servicePort = settings.GetInt("ServicePort", 1212);
    const int period = settings.GetInt("ServicePeriod", 20000);
    relay.reset();
    relayHost.clear();
    if (host.empty() || !relayFactory)
        return;
    // Made once and kept: with it the relay service moves the name to another address or
    // port only for this server, not for a neighbour behind the same NAT. A stored text that
    // is no secret (too short, other characters) makes registrations without one.
    relaySecret = settings.GetString("ServiceSecret", NewRelaySecret());
    relay = relayFactory(*this, host, servicePort, period);
    if (relay)
        relayHost = host;
    if (relay && !relayName.empty())
        relay->SetRelayName(relayName);
}

void CHttpSvrDoc::WriteAccessLog(std::string_view text) {
    accessLog.Append(logFileName, logFileSize, text);
}

void CHttpSvrDoc::SetRelayName(const std::string& name) {
    relayName = name;
    // The shell hands the same name, with port 80, to the location reporter.
    if (relay)
        relay->SetRelayName(name);
}

std::string CHttpSvrDoc::ResolveRelayAddress() const {
    return relay ? relay->ServiceAddressText() : std::string();
}

std::string CHttpSvrDoc::LastPostLink() const {
    if (lastPost.empty())
        return {};
    return "localhost:" + std::to_string(port) + lastPost;
}

void CHttpSvrDoc::ReportError(const std::string& message) const {
    if (reportError)
        reportError(message);
    else
        std::cerr << message << std::endl;
}

} // namespace tvn
