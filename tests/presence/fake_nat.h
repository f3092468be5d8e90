#pragma once

// A UPnP router in memory for the port mapping tests: the mappings it holds and every call
// made to it, in order.
#include "platform/upnp_nat.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tvn::test {

inline const std::string kHere = "192.168.1.20";
inline const std::string kOther = "192.168.1.30";
inline const std::string kPublic = "93.184.216.34";

// A router in memory: the mappings it holds and every call made to it, in order.
struct FakeRouter {
    bool present = true;
    bool refuseAdd = false;
    std::uint16_t refusePort = 0; // a port it takes no mapping for (0: none)
    std::optional<std::string> external = kPublic;
    std::map<std::pair<std::uint16_t, std::string>, NatMapping> mappings;
    std::vector<std::string> calls;
    int discoveries = 0;
};

class FakeNat final : public CUpnpNat {
  public:
    explicit FakeNat(FakeRouter& r) : router(r) {}
    bool Discover() override {
        ++router.discoveries;
        return router.present;
    }
    std::optional<NatMapping> GetMapping(std::uint16_t port, const std::string& proto) override {
        router.calls.push_back("get " + std::to_string(port));
        const auto found = router.mappings.find({port, proto});
        if (found == router.mappings.end())
            return std::nullopt;
        return found->second;
    }
    bool AddMapping(std::uint16_t port, const std::string& proto, std::uint16_t internalPort,
                    const std::string& internalClient, const std::string& description) override {
        router.calls.push_back("add " + std::to_string(port) + " " + internalClient);
        if (router.refuseAdd || port == router.refusePort)
            return false;
        router.mappings[{port, proto}] = {internalClient, internalPort, description, true};
        return true;
    }
    bool DeleteMapping(std::uint16_t port, const std::string& proto) override {
        router.calls.push_back("delete " + std::to_string(port));
        return router.mappings.erase({port, proto}) == 1;
    }
    std::optional<std::string> ExternalAddress() override {
        router.calls.push_back("external");
        return router.external;
    }

  private:
    FakeRouter& router;
};

} // namespace tvn::test
