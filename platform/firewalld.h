#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tvn {

// A client of firewalld's D-Bus interface: the default zone and the runtime port rules of a
// zone. Every call waits at most kFirewalldCallTimeoutMs for its answer and blocks until
// then, so the calls belong on a worker thread, never on the event loop. One thread at a time.
class CFirewalld {
  public:
    // Talks to firewalld on the bus at `busAddress`; an empty address is the system bus.
    // Nothing is done until the first call, which connects. A bus that cannot be reached
    // leaves every call failing at once, and so do an address that names no transport
    // ("none") and a system bus that firewalld cannot be on (FirewalldMayBeOnSystemBus): the
    // D-Bus module is then not loaded.
    explicit CFirewalld(const std::string& busAddress);
    ~CFirewalld();
    CFirewalld(const CFirewalld&) = delete;
    CFirewalld& operator=(const CFirewalld&) = delete;

    // The name of the default zone; nullopt when firewalld did not answer in time or failed.
    std::optional<std::string> DefaultZone();
    // Whether `zone` lets `port`/`protocol` in at run time; nullopt when there was no answer.
    std::optional<bool> QueryPort(const std::string& zone, int port, const char* protocol);
    // Adds a runtime rule (no time limit) for `port`/`protocol` to `zone`; true when done.
    bool AddPort(const std::string& zone, int port, const char* protocol);
    // Removes the runtime rule for `port`/`protocol` from `zone`; true when done.
    bool RemovePort(const std::string& zone, int port, const char* protocol);

  private:
    // The D-Bus module's client, made on the first call; null when every call fails at once.
    void* Client();

    std::string busAddress;
    bool looked = false;
    void* client = nullptr;
};

// False when firewalld cannot be on the system bus of this machine: there is no bus socket
// `socketFile` (unless DBUS_SYSTEM_BUS_ADDRESS names another), or neither is a firewalld
// program among `programs` nor does a bus policy (a *.conf file in `policyFolders`) let
// anybody own firewalld's name, which the system bus requires.
bool FirewalldMayBeOnSystemBus(const std::string& socketFile,
                               const std::vector<std::string>& programs,
                               const std::vector<std::string>& policyFolders);

// The bus that holds firewalld: TVN_FIREWALL_BUS when set (tests keep the program away from
// the machine's firewall with it), else empty for the system bus.
std::string FirewallBusAddress();

inline constexpr int kFirewalldCallTimeoutMs = 500;

} // namespace tvn
