#pragma once

#include "config/setting_keys.h"
#include "platform/firewalld.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// The firewall exceptions: while the server runs, runtime rules of firewalld open its TCP
// ports in the default zone, one rule for the plain port and one for the HTTPS port. Only a
// rule this object added is ever removed; a port the zone already let in is left as it was.
// Without firewalld every step does nothing.
// Each call waits for firewalld (at most kFirewalldCallTimeoutMs per call, three calls at
// most), so call from a worker thread, never the event loop; one thread at a time.
class CFirewall {
  public:
    // Talks to firewalld on the bus at `busAddress` (FirewallBusAddress(): the system bus
    // unless TVN_FIREWALL_BUS names another).
    explicit CFirewall(const std::string& busAddress = FirewallBusAddress());
    // Removes the rule this object added, if any.
    ~CFirewall();
    CFirewall(const CFirewall&) = delete;
    CFirewall& operator=(const CFirewall&) = delete;

    // Asks once whether firewalld answers (never waits for it to start); the answer is what
    // HasFirewall says from then on. True when it answered.
    bool Acquire();
    bool HasFirewall() const { return hasFirewall; }

    // Which of the server's ports a rule is for.
    enum class Port { kPlain = 0, kHttps = 1 };

    // Lets `port` in as the server's `which` port: adds a rule unless the default zone
    // already lets it in, and first removes the rule added for another port before. True
    // when the port is let in.
    bool AddException(int port, Port which = Port::kPlain);
    // Removes the rule AddException added for `which`, if any; failures are passed over.
    void RemoveException(Port which);
    // Removes every rule this object added.
    void RemoveException();

  private:
    struct Rule {
        std::string zone; // the zone it went into, even if the default zone changes later
        int port = 0;
    };

    CFirewalld firewalld;
    bool hasFirewall = false;
    std::optional<Rule> rules[2]; // the rules of ours that are in place, by Port
};

// The user's answer to a question with a "Don't show me again" box.
struct AskReply {
    bool ok = false;           // OK rather than Cancel or the window closed
    bool dontAskAgain = false; // the box was ticked
};

// Shows the question with the texts `captionId` and `textId` (string-table ids) and waits.
using AskUser = std::function<AskReply(int captionId, int textId)>;

// A question the user can silence: when the number setting `noAsk` is not 0 the answer is
// OK without asking. Otherwise `ask` is called; OK with the box ticked sets the setting to 1,
// Cancel stores nothing. True for OK.
bool AskOnce(int captionId, int textId, const SettingKey& noAsk, const AskUser& ask);

// The setting that silences the firewall question.
inline constexpr const SettingKey& kFirewallQuestion = setting::kNoAskFirewall;

} // namespace tvn
