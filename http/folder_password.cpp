// Protected folders: a ".pass" list of "user,password" lines in a folder asks every
// request for its content for HTTP Basic credentials.
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "http/url_path.h"
#include "platform/file_attributes.h"
#include "platform/local_networks.h"

#include <QByteArray>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>

namespace tvn {
namespace {

// Standard Base64, leniently: every other character (the '=' padding too) is skipped, and
// the result ends at a zero byte.
std::string DecodeBase64(std::string_view text) {
    const QByteArray bytes = QByteArray::fromBase64(
        QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size())));
    return std::string(bytes.constData(),
                       ::strnlen(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

bool ListHoldsLine(std::string_view list, std::string_view expected) {
    // A list saved by an editor that writes a byte-order mark still matches on its first line.
    if (list.starts_with("\xEF\xBB\xBF"))
        list.remove_prefix(3);
    std::size_t pos = 0;
    while (pos < list.size()) {
        const auto end = list.find_first_of("\r\n", pos);
        const std::size_t stop = end == std::string_view::npos ? list.size() : end;
        if (stop > pos && list.substr(pos, stop - pos) == expected)
            return true;
        pos = stop + 1;
    }
    return false;
}

} // namespace

bool HasPassList(const std::string& folder) {
    // A list that exists in any form but cannot be read (no permission, a dangling link, a
    // folder) must fail closed, not admit everybody.
    constexpr std::string_view kName = ".pass";
    char path[PATH_MAX];
    if (folder.size() + kName.size() >= sizeof path)
        return true; // a name too long to look at is no proof of an open folder
    std::memcpy(path, folder.data(), folder.size());
    std::memcpy(path + folder.size(), kName.data(), kName.size());
    path[folder.size() + kName.size()] = '\0';
    struct stat st {};
    return ::lstat(path, &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

bool PassListHolds(const std::string& folder, std::string_view line) {
    const auto list = LoadWholeFile(folder + ".pass");
    return list && ListHoldsLine(*list, line);
}

std::optional<std::string> CRequestContext::PassLine() const {
    if (MustAskOverTls())
        return std::nullopt;
    const Credentials credentials = ReadBasicCredentials();
    return credentials.user + "," + credentials.password;
}

CFolderAdmission::CFolderAdmission(std::string credentials, bool credentialsMayBeRead)
    : expected(std::move(credentials)), mayRead(credentialsMayBeRead) {}

bool CFolderAdmission::Admits(const std::string& folder) const {
    if (!HasPassList(folder))
        return true;
    return mayRead && PassListHolds(folder, expected);
}

CFolderAdmission CRequestContext::FolderAdmission() const {
    const Credentials credentials = ReadBasicCredentials();
    return CFolderAdmission(credentials.user + "," + credentials.password, !MustAskOverTls());
}

CRequestContext::Credentials CRequestContext::ReadBasicCredentials() const {
    const std::string& value = request.Header("authorization");
    const auto space = value.find(' ');
    if (space == std::string::npos)
        return {};
    const std::string decoded = DecodeBase64(std::string_view(value).substr(space + 1));
    const auto colon = decoded.find(':');
    if (colon == std::string::npos)
        return {};
    return {decoded.substr(0, colon), decoded.substr(colon + 1)};
}

bool CRequestContext::CheckFolderPassword() {
    // Both names are made in this thread's own room, which every request reuses.
    thread_local std::string realFolder;
    thread_local std::string urlFolder;
    LocalFolderInto(realFolder);
    // The folder the URL names, below the root as the URL spells it (links and all).
    const std::string& root = doc.Root();
    std::string_view named = request.urlPath;
    if (!(request.attributes & kAttributeDirectory))
        named = named.substr(0, named.rfind('/') + 1);
    urlFolder.assign(root == "/" ? std::string_view() : std::string_view(root));
    urlFolder.append(named);
    return FoldersAdmit({&urlFolder, &realFolder});
}

StageResult CRequestContext::CheckPassword() {
    return CheckFolderPassword() ? StageResult::kGoOn : StageResult::kAnswered;
}

bool CRequestContext::FoldersAdmit(std::initializer_list<const std::string*> folders) {
    bool admitted = true;
    bool consulted = false; // a list that exists was checked
    std::string expected;
    const std::string* previous = nullptr;
    for (const std::string* folder : folders) {
        if (!admitted || folder->empty())
            break;
        // Usually the URL's folder is the real one: one look at its list is enough.
        if (previous && *previous == *folder)
            continue;
        previous = folder;
        if (!HasPassList(*folder))
            continue;
        if (MustAskOverTls()) {
            // Credentials never cross the network in clear for it, nor does a challenge.
            RedirectToTls();
            return false;
        }
        if (expected.empty()) {
            const Credentials credentials = ReadBasicCredentials();
            expected = credentials.user + "," + credentials.password;
        }
        admitted = PassListHolds(*folder, expected);
        consulted = true;
    }
    if (admitted) {
        passedFolderPassword = passedFolderPassword || consulted;
        return true;
    }
    answer.Start(HttpStatus::kUnauthorized);
    answer.AddHeader("WWW-Authenticate", "Basic realm=\"Tarvolin\"");
    answer.AddHeader("Expires", "0");
    answer.AddHeader("Content-Type", "text/html");
    answer.AppendBody("<h1>Authorization Required</h1>");
    return false;
}

bool CRequestContext::MustAskOverTls() const {
    return doc.SecurePort() > 0 && !secure && !relayed &&
           !IsLocalNetworkAddress(request.peerAddress);
}

namespace {

// The host the browser asked for, without its port, when it is a plain host name, IPv4
// address or bracketed IPv6 address; else empty.
std::string_view AskedHost(std::string_view host) {
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos ||
            host.substr(1, close - 1).find_first_not_of("0123456789abcdefABCDEF:.") !=
                std::string_view::npos)
            return {};
        return host.substr(0, close + 1);
    }
    host = host.substr(0, host.find(':'));
    if (host.empty() || host.size() > 253 ||
        host.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") !=
            std::string_view::npos)
        return {};
    return host;
}

} // namespace

void CRequestContext::RedirectToTls() {
    std::string location = "https://";
    const std::string_view asked = AskedHost(request.Header("host"));
    location.append(asked.empty() ? std::string_view(doc.HostName()) : asked);
    if (doc.SecurePort() != 443) {
        location.push_back(':');
        location.append(std::to_string(doc.SecurePort()));
    }
    location.append(EncodeForLocation(request.url));
    if (!request.query.empty()) {
        location.push_back('?');
        // The query as it came, with anything a header must not hold percent-encoded.
        AppendPercentEncoded(location, request.query,
                             [](unsigned char c) { return c <= 0x20 || c >= 0x7F; });
    }
    answer.Start(HttpStatus::kMovedPermanently);
    answer.AddHeader("Location", location);
}

} // namespace tvn
