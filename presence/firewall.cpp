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

bool CFirewall::AddException(int port) {
    if (!hasFirewall || port <= 0 || port > 65535)
        return false;
    if (added && added->port == port)
        return true;
    // The rule follows the server's port: the old port is no longer ours to keep open.
    RemoveException();
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

void CFirewall::RemoveException() {
    if (!added)
        return;
    firewalld.RemovePort(added->zone, added->port, kProtocol);
    added.reset();
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
