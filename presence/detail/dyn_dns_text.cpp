#include "presence/detail/dyn_dns_text.h"

#include "platform/text.h"

#include <cstdio>

namespace tvn::presence {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(static_cast<char>(c)) ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

void AppendEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUnreserved(byte)) {
            out += c;
            continue;
        }
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", byte);
        out += escape;
    }
}

constexpr std::string_view kDefaultUpdateHost = "members.dyndns.org";

bool IsLoopbackHost(std::string_view host) {
    return host == "localhost" || host == "[::1]" ||
           (host.starts_with("127.") && IsDottedIPv4(host));
}

} // namespace

bool IsDottedIPv4(std::string_view text) {
    int parts = 0;
    std::size_t at = 0;
    while (parts < 4) {
        int value = 0;
        std::size_t digits = 0;
        while (at < text.size() && IsDigit(text[at]) && digits < 4) {
            value = value * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        if (++parts < 4) {
            if (at >= text.size() || text[at] != '.')
                return false;
            ++at;
        }
    }
    return at == text.size();
}

std::string OneLine(std::string_view body) {
    const std::size_t end = body.find_first_of("\r\n");
    std::string line(body.substr(0, end));
    for (char& c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E)
            c = '?';
    }
    return line;
}

DnsAnswer ClassifyAnswer(long httpStatus, std::string_view line) {
    if (httpStatus == 200 && line.starts_with("good"))
        return DnsAnswer::Good;
    if (httpStatus == 200 && line.starts_with("nochg"))
        return DnsAnswer::NoChange;
    // Failure words are tried in this order.
    if (line.starts_with("abuse"))
        return DnsAnswer::Abuse;
    if (line.starts_with("nohost"))
        return DnsAnswer::NoHost;
    if (line.starts_with("!donator"))
        return DnsAnswer::NoDonator;
    if (line.starts_with("badauth"))
        return DnsAnswer::BadAuth;
    return DnsAnswer::Other;
}

const char* AnswerWord(DnsAnswer answer) {
    switch (answer) {
    case DnsAnswer::BadAuth:
        return "Invalid User/Password";
    case DnsAnswer::NoDonator:
        return "Invalid Account credit";
    case DnsAnswer::NoHost:
        return "Invalid server/domain name";
    case DnsAnswer::Abuse:
        return "Too many names changes";
    case DnsAnswer::Good:
    case DnsAnswer::NoChange:
    case DnsAnswer::Other:
        break;
    }
    return "";
}

bool IsRefusedLogin(DnsAnswer answer) {
    return answer == DnsAnswer::BadAuth || answer == DnsAnswer::NoDonator;
}

std::optional<std::string> UpdateBase(std::string_view url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return std::nullopt;
    const std::string scheme = ToLower(url.substr(0, schemeEnd));
    const std::size_t hostStart = schemeEnd + 3;
    std::size_t hostEnd = url.find_first_of("/?#", hostStart);
    if (hostEnd == std::string_view::npos)
        hostEnd = url.size();
    const std::string_view authority = url.substr(hostStart, hostEnd - hostStart);
    // Credentials in the URL would go out in place of the account's.
    if (authority.empty() || authority.find('@') != std::string_view::npos)
        return std::nullopt;
    std::string_view host = authority;
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos)
        host = host.substr(0, colon);
    if (scheme == "https" || (scheme == "http" && IsLoopbackHost(ToLower(host))))
        return scheme + "://" + std::string(authority);
    return std::nullopt;
}

bool IsDefaultUpdateService(std::string_view url) {
    if (url.empty())
        return true;
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return false;
    const std::size_t hostStart = schemeEnd + 3;
    std::size_t hostEnd = url.find_first_of("/?#", hostStart);
    if (hostEnd == std::string_view::npos)
        hostEnd = url.size();
    std::string_view host = url.substr(hostStart, hostEnd - hostStart);
    const std::size_t colon = host.find(':');
    if (colon != std::string_view::npos)
        host = host.substr(0, colon);
    if (host.ends_with('.'))
        host.remove_suffix(1);
    return ToLower(host) == kDefaultUpdateHost;
}

std::optional<std::string> UpdatePath(std::string_view name, std::string_view domain,
                                      std::string_view address) {
    if (!IsDottedIPv4(address))
        return std::nullopt;
    std::string path = "/nic/update?hostname=";
    AppendEscaped(path, name);
    path += '.';
    AppendEscaped(path, domain);
    path += "&myip=";
    path += address;
    return path;
}

} // namespace tvn::presence
