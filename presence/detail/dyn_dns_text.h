#pragma once

// The texts of the dynamic DNS exchange: the request, the service's answer and what is shown
// of it. Pure functions, tested without a network.
#include <optional>
#include <string>
#include <string_view>

namespace tvn::presence {

// The service's answers that mean something to us.
enum class DnsAnswer { Good, NoChange, BadAuth, NoDonator, NoHost, Abuse, Other };

// True for a dotted IPv4 address: four decimal numbers 0..255 of one to three digits.
bool IsDottedIPv4(std::string_view text);

// The first line of `body`, with every byte that is not printable ASCII replaced by '?':
// safe to store in the settings and to show.
std::string OneLine(std::string_view body);

// What the answer says: its first word, compared at the start of `line`; "good" and "nochg"
// count only with HTTP status 200.
DnsAnswer ClassifyAnswer(long httpStatus, std::string_view line);

// The text shown for a failure answer; empty for an answer without one.
const char* AnswerWord(DnsAnswer answer);

// True when the answer refuses the account, so that only other account data may try again.
bool IsRefusedLogin(DnsAnswer answer);

// The scheme, host and port of `url` without a trailing '/', when the password may be sent
// there: HTTPS anywhere, plain HTTP only to this computer. Nothing otherwise.
std::optional<std::string> UpdateBase(std::string_view url);

// True when `url` leads to the default service's host (members.dyndns.org, any scheme, port
// or path, in any case): its domains are the list's. An empty text means the default.
bool IsDefaultUpdateService(std::string_view url);

// "/nic/update?hostname=" name "." domain "&myip=" address, with the host name escaped so it
// cannot add query parameters; nothing when `address` is not a dotted IPv4 address.
std::optional<std::string> UpdatePath(std::string_view name, std::string_view domain,
                                      std::string_view address);

} // namespace tvn::presence
