#pragma once

// The command line and the allow-list file of tarvolin-relay, read without touching a socket.
#include "relay/stop_and_wait.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn::relay {

struct RelayOptions {
    std::uint16_t httpPort = 8081; // browsers
    std::uint16_t udpPort = 1212;  // registrations and relayed traffic
    std::string bind = "0.0.0.0";  // IPv4 address both listen on
    std::string configFile;        // allow-list; empty: every name from every address
    std::string name;              // the service's own host name; empty: the machine's
    // The wait for a server's acknowledgement of a request message before it goes again.
    std::chrono::milliseconds resendWait = kRequestRetries.wait;
    bool help = false;
};

// The options of `arguments` (without the program name): "--flag value" or "--flag=value".
// On failure `error` says why and `options` is not to be used.
struct OptionsResult {
    RelayOptions options;
    std::string error;
};
OptionsResult ParseArguments(const std::vector<std::string>& arguments);

// The text --help prints.
std::string UsageText();

// Who may register a name: an entry allows one address, or any without one; an entry with a
// secret allows only registrations that carry it. Names are kept lower-case.
struct AllowEntry {
    std::optional<std::uint32_t> address;
    std::string secret; // empty: none asked for
};
using AllowList = std::map<std::string, std::vector<AllowEntry>, std::less<>>;

// Reads the allow-list file's text: one "name address [secret]" per line, the address an IPv4
// address or "*" for any, the secret the server's ServiceSecret; '#' starts a comment; blank
// lines are skipped. On failure `error` names the line.
struct AllowListResult {
    AllowList list;
    std::string error;
};
AllowListResult ParseAllowList(std::string_view text);

// The IPv4 address of dotted text, in host order; nothing when it is not one.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);

// A host name as names are compared: lower-case, without one trailing dot. Empty when the
// name holds anything but letters, digits, '-' and '.', is longer than 253 bytes, or is
// empty.
std::string NormalizeName(std::string_view name);

} // namespace tvn::relay
