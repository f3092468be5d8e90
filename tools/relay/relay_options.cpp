#include "tools/relay/relay_options.h"

#include "relay/datagram.h"

#include <arpa/inet.h>
#include <charconv>

namespace tvn::relay {
namespace {

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Milliseconds from 1 to 60000.
std::optional<std::chrono::milliseconds> ParseWait(std::string_view text) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 60000)
        return std::nullopt;
    return std::chrono::milliseconds(value);
}

// Stores `value` for `flag`; an error text when the flag is unknown or the value invalid.
std::string Apply(RelayOptions& options, std::string_view flag, std::string_view value) {
    if (flag == "--http-port" || flag == "--udp-port") {
        const auto port = ParsePort(value);
        if (!port)
            return std::string(flag) + ": not a port number: " + std::string(value);
        (flag == "--http-port" ? options.httpPort : options.udpPort) = *port;
    } else if (flag == "--bind") {
        if (!ParseIpv4(value))
            return "--bind: not an IPv4 address: " + std::string(value);
        options.bind = value;
    } else if (flag == "--config") {
        options.configFile = value;
    } else if (flag == "--name") {
        options.name = NormalizeName(value);
        if (options.name.empty())
            return "--name: not a host name: " + std::string(value);
    } else if (flag == "--resend-wait") {
        const auto wait = ParseWait(value);
        if (!wait)
            return "--resend-wait: not 1 to 60000 milliseconds: " + std::string(value);
        options.resendWait = *wait;
    } else {
        return "unknown option: " + std::string(flag);
    }
    return {};
}

std::string_view Trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos)
        return {};
    const auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

} // namespace

OptionsResult ParseArguments(const std::vector<std::string>& arguments) {
    OptionsResult result;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view flag = arguments[i];
        if (flag == "--help" || flag == "-h") {
            result.options.help = true;
            continue;
        }
        std::string_view value;
        if (const auto equals = flag.find('='); equals != std::string_view::npos) {
            value = flag.substr(equals + 1);
            flag = flag.substr(0, equals);
        } else if (i + 1 < arguments.size() && flag.starts_with("--")) {
            value = arguments[++i];
        } else {
            result.error = flag.starts_with("--") ? std::string(flag) + ": missing value"
                                                  : "unknown option: " + std::string(flag);
            return result;
        }
        result.error = Apply(result.options, flag, value);
        if (!result.error.empty())
            return result;
    }
    return result;
}

std::string UsageText() {
    return "Usage: tarvolin-relay [options]\n"
           "Carries browsers' requests to Tarvolin servers that registered their host name,\n"
           "and the answers back.\n"
           "\n"
           "  --http-port PORT  TCP port for browsers (default 8081)\n"
           "  --udp-port PORT   UDP port for registrations and relayed traffic (default 1212)\n"
           "  --bind ADDRESS    IPv4 address to listen on (default 0.0.0.0)\n"
           "  --name NAME       the relay's own host name (default: the machine's name)\n"
           "  --config FILE     names allowed to register: lines \"name address [secret]\",\n"
           "                    the address an IPv4 address or * for any, the secret the\n"
           "                    server's ServiceSecret; # starts a comment. Without it every\n"
           "                    name may register from any address.\n"
           "  --resend-wait MS  wait for a server's acknowledgement of a request before it\n"
           "                    goes again, " +
           std::to_string(kRequestRetries.attempts) + " times in all (default " +
           std::to_string(kRequestRetries.wait.count()) +
           ")\n"
           "  --help            this text\n";
}

AllowListResult ParseAllowList(std::string_view text) {
    AllowListResult result;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        std::vector<std::string_view> words;
        while (!line.empty()) {
            const auto space = line.find_first_of(" \t");
            words.push_back(line.substr(0, space));
            line = space == std::string_view::npos ? std::string_view() : Trim(line.substr(space));
        }
        const std::string name = NormalizeName(words[0]);
        const std::string_view address = words.size() > 1 ? words[1] : std::string_view();
        const std::string_view secret = words.size() > 2 ? words[2] : std::string_view();
        const auto ip = ParseIpv4(address);
        if (name.empty() || (address != "*" && !ip) || words.size() > 3 ||
            (words.size() == 3 && !IsRegistrationSecret(secret))) {
            result.error =
                "line " + std::to_string(number) + ": expected \"name address [secret]\"";
            return result;
        }
        result.list[name].push_back(AllowEntry{ip, std::string(secret)});
    }
    return result;
}

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
    in_addr address{};
    if (text.size() > 15 || ::inet_pton(AF_INET, std::string(text).c_str(), &address) != 1)
        return std::nullopt;
    return ntohl(address.s_addr);
}

std::string NormalizeName(std::string_view name) {
    if (name.ends_with('.'))
        name.remove_suffix(1);
    if (name.empty() || name.size() > 253)
        return {};
    std::string out;
    for (const char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.' && c != '_')
            return {};
        out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return out;
}

} // namespace tvn::relay
