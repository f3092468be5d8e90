#pragma once

#include "config/setting_keys.h"

#include <string>

namespace tvn {

// The settings the main window shows and Save applies.
struct MainSettings {
    // Each field is the key of config/setting_keys.h of its name, with its default.
    int port = setting::kPort.number;                 // 1..65535
    bool enable = setting::kEnable.number != 0;       // the server runs
    bool discovery = setting::kDiscovery.number != 0; // uPnPDiscovery: the LAN announcement
    bool worldwide = setting::kWorldwide.number != 0; // uPnPRouter: the mapping, else the relay
    bool hideLog = setting::kHideLog.number == 1;     // no activity pop-up
    std::string root;                                 // a full path
    std::string name;   // the dynamic DNS host name without its domain
    std::string domain; // the dynamic DNS domain
    std::string user;   // of the dynamic DNS account
    std::string pass;   // of the dynamic DNS account
    // Where the certificate of the dynamic DNS name comes from: AcmeDirectory (an https://
    // address) and AcmeTrust (a full path, or empty).
    std::string acmeDirectory = setting::kAcmeDirectory.text;
    std::string acmeTrust;
};

// Reads them from the settings file (missing keys get their defaults written).
MainSettings LoadMainSettings();

} // namespace tvn
