#pragma once

#include <string>

namespace tvn {

// The default of `Domain`: the dynamic DNS service's main domain.
inline constexpr const char* kDefaultDnsDomain = "dyndns.org";

// The settings the main window shows and Save applies.
struct MainSettings {
    int port = 8080;       // Port, 1..65535
    bool enable = true;    // Enable: the server runs
    bool discovery = true; // uPnPDiscovery: the LAN announcement
    bool worldwide = true; // uPnPRouter: the router mapping, else the relay
    bool hideLog = false;  // HideLog: no activity pop-up
    std::string root;      // Root, as a full path
    std::string name;      // Name: the dynamic DNS host name without its domain
    std::string domain;    // Domain
    std::string user;      // User of the dynamic DNS account
    std::string pass;      // Pass of the dynamic DNS account
};

// Reads them from the settings file (missing keys get their defaults written).
MainSettings LoadMainSettings();

} // namespace tvn
