#include "presence/firewall.h"

#include "config/settings_section.h"

namespace tvn {
namespace {

constexpr const char* kProtocol = "tcp";

} // namespace

CFirewall::CFirewall(const std::string& busAddress) : firewalld(busAddress) {}

CFirewall::~CFirewall() { RemoveException(); }

bool CFirewall::Acquire() {
    hasFirewall = firewalld.DefaultZone().has_value();
    return hasFirewall;
}

bool CFirewall::AddException(int port, Port which) {
    if (!hasFirewall || port <= 0 || port > 65535)
        return false;
    std::optional<Rule>& added = rules[static_cast<int>(which)];
    if (added && added->port == port)
        return true;
    // The rule follows the server's port: the old port is no longer ours to keep open.
    RemoveException(which);
    const std::optional<Rule>& other = rules[1 - static_cast<int>(which)];
    if (other && other->port == port) {
        added = other; // one rule lets the port in for both; it goes with the last of them
        return true;
    }
    const auto zone = firewalld.DefaultZone();
    if (!zone)
        return false;
    const auto open = firewalld.QueryPort(*zone, port, kProtocol);
    if (!open)
        return false;
    if (*open)
        return true; // someone else's rule: used, never removed
    if (!firewalld.AddPort(*zone, port, kProtocol))
        return false;
    added = Rule{*zone, port};
    return true;
}

void CFirewall::RemoveException(Port which) {
    std::optional<Rule>& added = rules[static_cast<int>(which)];
    if (!added)
        return;
    const std::optional<Rule>& other = rules[1 - static_cast<int>(which)];
    if (!other || other->port != added->port || other->zone != added->zone)
        firewalld.RemovePort(added->zone, added->port, kProtocol);
    added.reset();
}

void CFirewall::RemoveException() {
    RemoveException(Port::kPlain);
    RemoveException(Port::kHttps);
}

bool AskOnce(int captionId, int textId, const SettingKey& noAsk, const AskUser& ask) {
    const SettingsSection settings;
    if (settings.Number(noAsk) != 0)
        return true;
    const AskReply reply = ask(captionId, textId);
    if (!reply.ok)
        return false;
    if (reply.dontAskAgain)
        settings.Store(noAsk, 1);
    return true;
}

} // namespace tvn
