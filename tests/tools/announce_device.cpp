// The LAN device announcement in a process of its own, for the lab tests that run it inside a
// network namespace (`ip netns exec NS announce_device SETTINGS_FILE`), so that the whole of
// libupnp lives and sends there. Commands come one a line on standard input:
//   register PORT [ADDRESS]  announce with the page of PORT and ADDRESS (GetLocalAddress when
//                            left out); answers "registered 0|1 FOLDER", FOLDER being
//                            "memory" when the SSDP responder of our own announces it
//   unregister               answers "unregistered"
// End of input unregisters and ends the program.
#include "config/settings_section.h"
#include "presence/device_announcer.h"
#include "presence/local_address.h"

#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: announce_device SETTINGS_FILE\n";
        return 2;
    }
    tvn::SettingsSection::OverrideFilePath(argv[1]);
    tvn::CDeviceAnnouncer announcer;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "register") {
            int port = 0;
            std::string address;
            words >> port;
            if (!(words >> address))
                address = tvn::GetLocalAddress();
            announcer.SetAnnouncement(true, port, address);
            std::cout << "registered " << (announcer.Registered() ? 1 : 0) << " "
                      << (announcer.ByOwnResponder() ? "memory" : announcer.ServedFolder())
                      << std::endl;
        } else if (command == "unregister") {
            announcer.SetAnnouncement(false, 0, "");
            std::cout << "unregistered" << std::endl;
        } else {
            std::cout << "unknown " << command << std::endl;
        }
    }
    return 0;
}
