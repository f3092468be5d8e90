#pragma once

#include <string>

namespace tvn {

// What the server document needs of the relay link, which lives in a layer above it and is
// made by the shell.
class IRelayLink {
  public:
    virtual ~IRelayLink() = default;
    // Registers `name` with the relay service from now on; an empty name stops registering.
    virtual void SetRelayName(const std::string& name) = 0;
    // The relay service's host as configured.
    virtual const std::string& ServiceHost() const = 0;
};

} // namespace tvn
