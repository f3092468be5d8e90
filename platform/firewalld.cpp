// The firewalld client of the program: the calls go to the D-Bus module, which is loaded only
// when firewalld may answer.
#include "platform/firewalld.h"

#include "platform/dbus_services.h"
#include "platform/file_io.h"
#include "platform/unique_fd.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <utility>

namespace tvn {
namespace {

constexpr const char* kFirewalldName = "org.fedoraproject.FirewallD1";

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// True when a *.conf file of `folder` names firewalld's bus name.
bool PolicyNamesFirewalld(const std::string& folder) {
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return false;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (!name.ends_with(".conf"))
            continue;
        // A policy file is a few KiB; of a larger one the first MiB is read.
        const UniqueFd file(::openat(::dirfd(dir.get()), entry->d_name,
                                     O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat info {};
        if (!file.Valid() || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        const auto text = ReadFromStart(file.Get(), 1 << 20);
        if (text && text->find(kFirewalldName) != std::string::npos)
            return true;
    }
    return false;
}

bool FirewalldMayBeOnThisSystemBus() {
    return FirewalldMayBeOnSystemBus("/run/dbus/system_bus_socket",
                                     {"/usr/sbin/firewalld", "/usr/bin/firewalld"},
                                     {"/usr/share/dbus-1/system.d", "/etc/dbus-1/system.d"});
}

} // namespace

bool FirewalldMayBeOnSystemBus(const std::string& socketFile,
                               const std::vector<std::string>& programs,
                               const std::vector<std::string>& policyFolders) {
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if ((!address || !*address) && !Exists(socketFile))
        return false;
    for (const std::string& program : programs) {
        if (Exists(program))
            return true;
    }
    for (const std::string& folder : policyFolders) {
        if (PolicyNamesFirewalld(folder))
            return true;
    }
    return false;
}

CFirewalld::CFirewalld(const std::string& address) : busAddress(address) {}

CFirewalld::~CFirewalld() {
    if (client)
        DBusModule().Get()->closeFirewalld(client);
}

void* CFirewalld::Client() {
    if (std::exchange(looked, true))
        return client;
    // A D-Bus address names its transport before a ':' ("unix:path=..."); without one
    // ("none", as the tests set) it names no bus.
    if (busAddress.empty() ? !FirewalldMayBeOnThisSystemBus()
                           : busAddress.find(':') == std::string::npos)
        return nullptr;
    if (const DBusServices* services = DBusModule().Get())
        client = services->openFirewalld(busAddress);
    return client;
}

std::optional<std::string> CFirewalld::DefaultZone() {
    if (!Client())
        return std::nullopt;
    return DBusModule().Get()->defaultZone(client);
}

std::optional<bool> CFirewalld::QueryPort(const std::string& zone, int port, const char* protocol) {
    if (!Client())
        return std::nullopt;
    return DBusModule().Get()->queryPort(client, zone, port, protocol);
}

bool CFirewalld::AddPort(const std::string& zone, int port, const char* protocol) {
    return Client() && DBusModule().Get()->addPort(client, zone, port, protocol);
}

bool CFirewalld::RemovePort(const std::string& zone, int port, const char* protocol) {
    return Client() && DBusModule().Get()->removePort(client, zone, port, protocol);
}

std::string FirewallBusAddress() {
    const char* address = std::getenv("TVN_FIREWALL_BUS");
    return address ? address : "";
}

} // namespace tvn
