#include "platform/upnp_nat.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <sstream>

namespace tvn {
namespace {

constexpr unsigned kRouteUp = 0x1;      // RTF_UP
constexpr unsigned kRouteGateway = 0x2; // RTF_GATEWAY
constexpr unsigned char kSsdpTtl = 2;   // miniupnpc's advice

struct DevListFree {
    void operator()(UPNPDev* list) const { freeUPNPDevlist(list); }
};
using DevList = std::unique_ptr<UPNPDev, DevListFree>;

// The kept router: its URLs (freed with it) and the WAN connection service's type.
struct Igd {
    UPNPUrls urls{};
    IGDdatas data{};
    Igd() = default;
    Igd(const Igd&) = delete;
    Igd& operator=(const Igd&) = delete;
    ~Igd() { FreeUPNPUrls(&urls); }
};

std::optional<unsigned> ParseHex(const std::string& text) {
    unsigned value = 0;
    const auto end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, 16);
    if (ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    unsigned value = 0;
    const auto end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

class CMiniUpnpNat final : public CUpnpNat {
  public:
    CMiniUpnpNat(GatewayReader gatewayReader, int delayMs)
        : readGateway(std::move(gatewayReader)), discoveryDelayMs(delayMs) {}

    bool Discover() override {
        igd.reset();
        const std::optional<std::string> gateway = readGateway ? readGateway() : std::nullopt;
        if (!gateway)
            return false;
        int error = 0;
        const DevList devices(upnpDiscover(discoveryDelayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY,
                                           0, kSsdpTtl, &error));
        for (const UPNPDev* device = devices.get(); device; device = device->pNext) {
            // Any host of the LAN may answer the search; only the gateway is the router.
            if (UrlHost(device->descURL) != *gateway)
                continue;
            auto found = std::make_unique<Igd>();
            char lanAddress[64] = {};
            if (UPNP_GetIGDFromUrl(device->descURL, &found->urls, &found->data, lanAddress,
                                   sizeof lanAddress) == 0)
                continue;
            // The description names the control address: it must be the gateway's too.
            if (!found->urls.controlURL || UrlHost(found->urls.controlURL) != *gateway ||
                found->data.first.servicetype[0] == '\0')
                continue;
            igd = std::move(found);
            return true;
        }
        return false;
    }

    std::optional<NatMapping> GetMapping(std::uint16_t externalPort,
                                         const std::string& protocol) override {
        if (!igd)
            return std::nullopt;
        // Sizes as miniupnpc documents them, with room to spare.
        char client[64] = {}, port[16] = {}, description[128] = {}, enabled[8] = {}, lease[32] = {};
        const std::string external = std::to_string(externalPort);
        if (UPNP_GetSpecificPortMappingEntry(igd->urls.controlURL, igd->data.first.servicetype,
                                             external.c_str(), protocol.c_str(), nullptr, client,
                                             port, description, enabled, lease) != 0)
            return std::nullopt;
        const std::optional<std::uint16_t> internalPort = ParsePort(port);
        if (!internalPort || client[0] == '\0')
            return std::nullopt;
        return NatMapping{client, *internalPort, description, std::strcmp(enabled, "1") == 0};
    }

    bool AddMapping(std::uint16_t externalPort, const std::string& protocol,
                    std::uint16_t internalPort, const std::string& internalClient,
                    const std::string& description) override {
        if (!igd)
            return false;
        const std::string external = std::to_string(externalPort);
        const std::string internal = std::to_string(internalPort);
        return UPNP_AddPortMapping(igd->urls.controlURL, igd->data.first.servicetype,
                                   external.c_str(), internal.c_str(), internalClient.c_str(),
                                   description.c_str(), protocol.c_str(), nullptr, "0") == 0;
    }

    bool DeleteMapping(std::uint16_t externalPort, const std::string& protocol) override {
        if (!igd)
            return false;
        const std::string external = std::to_string(externalPort);
        return UPNP_DeletePortMapping(igd->urls.controlURL, igd->data.first.servicetype,
                                      external.c_str(), protocol.c_str(), nullptr) == 0;
    }

    std::optional<std::string> ExternalAddress() override {
        if (!igd)
            return std::nullopt;
        char address[64] = {};
        if (UPNP_GetExternalIPAddress(igd->urls.controlURL, igd->data.first.servicetype, address) !=
                0 ||
            address[0] == '\0')
            return std::nullopt;
        return std::string(address);
    }

  private:
    GatewayReader readGateway;
    int discoveryDelayMs;
    std::unique_ptr<Igd> igd; // empty until Discover found the router
};

} // namespace

std::unique_ptr<CUpnpNat> MakeUpnpNat(GatewayReader gateway, int discoveryDelayMs) {
    return std::make_unique<CMiniUpnpNat>(std::move(gateway), discoveryDelayMs);
}

std::optional<std::string> DefaultGateway() {
    // thread-self: a thread that entered another network namespace sees that one's routes.
    std::ifstream file("/proc/thread-self/net/route");
    if (!file)
        file.open("/proc/net/route");
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return ParseDefaultGateway(text.str());
}

std::optional<std::string> ParseDefaultGateway(std::string_view procNetRoute) {
    std::istringstream lines{std::string(procNetRoute)};
    std::string line;
    std::getline(lines, line); // the column names
    std::optional<std::string> best;
    unsigned bestMetric = std::numeric_limits<unsigned>::max();
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >>
              mask))
            continue;
        const auto destinationValue = ParseHex(destination);
        const auto gatewayValue = ParseHex(gateway);
        const auto flagValue = ParseHex(flags);
        const auto maskValue = ParseHex(mask);
        unsigned metricValue = 0;
        if (std::from_chars(metric.data(), metric.data() + metric.size(), metricValue).ec !=
            std::errc())
            continue;
        if (!destinationValue || !gatewayValue || !flagValue || !maskValue ||
            *destinationValue != 0 || *maskValue != 0 || *gatewayValue == 0 ||
            (*flagValue & (kRouteUp | kRouteGateway)) != (kRouteUp | kRouteGateway))
            continue;
        if (best && metricValue >= bestMetric)
            continue;
        // The kernel prints the address as the number it holds in network byte order.
        in_addr address{};
        const std::uint32_t raw = *gatewayValue;
        std::memcpy(&address.s_addr, &raw, sizeof raw);
        char dotted[INET_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET, &address, dotted, sizeof dotted))
            continue;
        best = dotted;
        bestMetric = metricValue;
    }
    return best;
}

std::string UrlHost(std::string_view url) {
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return {};
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = rest.rfind('@'); at != std::string_view::npos)
        rest = rest.substr(at + 1);
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        return close == std::string_view::npos ? std::string()
                                               : std::string(rest.substr(1, close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

} // namespace tvn
