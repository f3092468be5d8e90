#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tvn {

class CUpnpDevice;
class CSsdpResponder;

// The links under which the server is reachable in the LAN, as HTML: one link to `address`
// (GetLocalAddress) with the port, or, when `address` is empty, a localhost link followed by
// " or". The port is left out for 80.
std::string BuildLanLinks(int port, const std::string& address);

// The presentation page of the LAN device: the built-in template ".pnp" with its first "%1"
// replaced by the announcement text that carries BuildLanLinks.
std::string BuildPresentationPage(int port, const std::string& address);

// `pageTemplate` with its first "%1" replaced by `body`; a template without one as it is.
std::string FillPageTemplate(std::string_view pageTemplate, std::string_view body);

// The device's UDN without its "uuid:" prefix: the UUID kept in the settings (uPnPUDN), made
// and stored there the first time, or when the stored text is no UUID.
std::string DeviceUuid();

// The device description registered in the LAN, with the UDN "uuid:" + `uuid`.
std::string BuildDeviceDescription(const std::string& uuid);

// The service description served as TVN.xml: one state variable, no actions.
std::string BuildServiceDescription();

// The server as a UPnP root device named "Tarvolin" in the LAN, with the presentation page
// TVN.html. Through libupnp when it can start on the interface; otherwise (the interface is not
// ready for it yet, or libupnp failed once and cannot be started again in this process) through
// the SSDP responder of our own, which announces the same description and files from memory.
// Synchronous (libupnp's start and shutdown take a moment): meant for a worker thread, one
// thread at a time.
class CDeviceAnnouncer {
  public:
    CDeviceAnnouncer(); // nothing announced yet
    ~CDeviceAnnouncer();
    CDeviceAnnouncer(const CDeviceAnnouncer&) = delete;
    CDeviceAnnouncer& operator=(const CDeviceAnnouncer&) = delete;

    // Off unregisters; on registers the page of `port` and `address`, unless already registered
    // (the page then keeps the links of the moment it was registered).
    void SetAnnouncement(bool on, int port, const std::string& address);
    // Announces the device on the interface that carries `address`, serving `page` as TVN.html.
    // Does nothing when already registered or `address` is empty. True when the device is
    // announced when the call returns; failures are silent.
    bool Register(const std::string& page, const std::string& address);
    // Says byebye and removes the served files; nothing when not registered.
    void Unregister();
    bool Registered() const;
    // The private folder TVN.xml and TVN.html are served from; empty when not registered or
    // served from memory by the SSDP responder.
    std::string ServedFolder() const;
    // Whether the SSDP responder of our own announces the device.
    bool ByOwnResponder() const { return responder != nullptr; }

  private:
    std::unique_ptr<CUpnpDevice> device;
    std::unique_ptr<CSsdpResponder> responder;
};

} // namespace tvn
