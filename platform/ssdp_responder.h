#pragma once

#include "platform/unique_fd.h"
#include "platform/upnp_device.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tvn {

// What the SSDP responder announces: one root device with one service, its description and the
// files its web server hands out.
struct SsdpDevice {
    std::string uuid;        // the UDN without "uuid:"
    std::string deviceType;  // the description's deviceType
    std::string serviceType; // the one service's serviceType
    // The root device description, served as description.xml in the form SsdpServedDescription
    // gives it.
    std::string description;
    std::vector<UpnpServedFile> files;
    int lifetimeSeconds = 1800;
};

// The parts of an M-SEARCH that decide the answer.
struct SsdpSearch {
    std::string target; // ST
    int maxWait = 0;    // MX
};

// The M-SEARCH in `datagram`, or nullopt when it is none: the request line "M-SEARCH *
// HTTP/1.1", MAN "ssdp:discover" and an ST header are needed; anything malformed, oversized
// or with a bare line break is no search.
std::optional<SsdpSearch> ParseSsdpSearch(std::string_view datagram);

// The search targets of `device` that answer `target`, each as its ST and USN: all of them for
// "ssdp:all", else the one that is `target`; none for a target of another device.
struct SsdpTarget {
    std::string st;
    std::string usn;
};
std::vector<SsdpTarget> SsdpTargetsFor(const SsdpDevice& device, std::string_view target);

// The unicast answer to a search for `target`, with the description at `location`.
std::string SsdpSearchReply(const SsdpDevice& device, const SsdpTarget& target,
                            const std::string& location, const std::string& date);

// One NOTIFY for `target`: ssdp:alive with the description at `location`, or ssdp:byebye.
std::string SsdpNotify(const SsdpDevice& device, const SsdpTarget& target,
                       const std::string& location, bool alive);

// `description` as a control point is given it: each line without its indentation and ended by
// CRLF, empty lines left out, and "<URLBase>" + `urlBase` + "</URLBase>" as the last child of
// the root (the form libupnp serves it in).
std::string SsdpServedDescription(std::string_view description, std::string_view urlBase);

// The answer of the responder's web server to the request head `request`: `description` as
// description.xml or one of the device's files, 404 for any other path, 400 for what is no
// request, 405 for another method than GET or HEAD. `lastModified` is the HTTP date of the
// start.
std::string SsdpHttpAnswer(const SsdpDevice& device, const std::string& description,
                           std::string_view request, const std::string& lastModified);

// A UPnP root device announced in the LAN by a small SSDP responder of our own, for as long as
// the object lives: it joins the SSDP group on one interface, answers M-SEARCH with unicast
// replies to hosts of that interface's subnet, sends NOTIFY ssdp:alive at start and before the
// lifetime runs out and ssdp:byebye when it goes, and serves the description and the files
// from memory through a web server of its own on that interface's address (an ephemeral
// port). Unlike libupnp it can be started again after a failed start. Everything runs on a
// thread of its own; the constructor and the destructor return at once (the byebye is a few
// datagrams).
class CSsdpResponder {
  public:
    CSsdpResponder(const CSsdpResponder&) = delete;
    CSsdpResponder& operator=(const CSsdpResponder&) = delete;
    // Says byebye and closes everything.
    ~CSsdpResponder();

    // The description's URL, "http://ADDRESS:PORT/description.xml".
    const std::string& Location() const { return location; }

    // Starts on the interface whose IPv4 address is `address` (up, multicast, not loopback);
    // nullptr when a socket cannot be made or bound, or no such interface exists. `ssdpPort` is
    // 1900 but for tests.
    static std::unique_ptr<CSsdpResponder> Start(const std::string& address, SsdpDevice device,
                                                 std::uint16_t ssdpPort = 1900);

  private:
    CSsdpResponder() = default;
    void Run();
    void Notify(bool alive);

    SsdpDevice device;
    std::string served;  // the description as served
    std::string started; // HTTP date of the start
    std::string location;
    std::uint32_t localAddress = 0; // network byte order
    std::uint32_t localMask = 0;    // network byte order
    std::uint16_t ssdpPort = 1900;
    UniqueFd udp;
    UniqueFd listener;
    UniqueFd wake; // an eventfd: written to end the thread
    std::thread thread;
};

} // namespace tvn
