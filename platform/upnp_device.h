#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// A file the device's web server hands out: its name in the web root and its bytes.
struct UpnpServedFile {
    std::string name;
    std::string content;
};

// One UPnP root device published in the LAN through libupnp, announced for as long as the
// object lives. libupnp keeps process-wide state, so a process publishes one device at a time.
// The calls are synchronous (the byebye and the library's shutdown take a moment), so they
// belong on a worker thread.
class CUpnpDevice {
  public:
    CUpnpDevice(const CUpnpDevice&) = delete;
    CUpnpDevice& operator=(const CUpnpDevice&) = delete;
    // Says byebye, unregisters, stops libupnp and removes the private folder with its files.
    ~CUpnpDevice();

    // The private folder the device's web server serves from (mode 0700, only the served files).
    const std::string& Folder() const { return folder; }

  private:
    friend std::unique_ptr<CUpnpDevice> PublishUpnpDevice(const std::string&, const std::string&,
                                                          const std::vector<UpnpServedFile>&, int);
    CUpnpDevice(int deviceHandle, std::string privateFolder);

    int handle;
    std::string folder;
};

// Whether the text of /proc/net/if_inet6 shows an address of the interface `interfaceName` that
// is still tentative (its duplicate-address detection is not done): libupnp cannot bind its
// sockets to such an address, and fails to start for good.
bool HasTentativeIPv6(std::string_view ifInet6, std::string_view interfaceName);

// Whether libupnp can start on `interfaceName` now: up, able to multicast, not loopback, and
// with no tentative IPv6 address (this thread's network namespace).
bool UpnpCanStartOn(const std::string& interfaceName);

// Starts libupnp on the interface `interfaceName`, writes `files` into a new private folder
// (below XDG_RUNTIME_DIR, else the temp folder) that becomes the web server's root and nothing
// else, registers the root device `description` (the library serves it from memory with its
// URLBase filled in) and advertises it with `lifetimeSeconds`. A file that cannot be written is
// left out. nullptr, with everything undone, when a step fails or this process already
// publishes a device, and without trying when UpnpCanStartOn says no: once libupnp failed to
// start, this process publishes nothing through it any more (the library cannot be stopped
// cleanly after a failed start).
std::unique_ptr<CUpnpDevice> PublishUpnpDevice(const std::string& interfaceName,
                                               const std::string& description,
                                               const std::vector<UpnpServedFile>& files,
                                               int lifetimeSeconds);

} // namespace tvn
