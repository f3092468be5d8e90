// Whether firewalld can be on the system bus, told without loading the D-Bus module.
#include "platform/firewalld.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>

namespace tvn {
namespace {

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(FirewalldMayBeOnSystemBus, NeedsTheBusAndFirewalldsProgramOrPolicy) {
    test::TempDir dir;
    const std::string socket = dir.Path() + "/system_bus_socket";
    const std::string program = dir.Path() + "/firewalld";
    const std::string policies = dir.Path() + "/system.d";
    const std::string elsewhere = dir.Path() + "/other.d";
    std::filesystem::create_directories(policies);
    std::filesystem::create_directories(elsewhere);
    Write(policies + "/org.freedesktop.UPower.conf", "<busconfig>UPower</busconfig>");
    Write(elsewhere + "/FirewallD.conf.disabled", "own=\"org.fedoraproject.FirewallD1\"");
    test::EnvGuard env;

    struct Case {
        const char* name;
        bool socket;
        bool program;
        const char* policy;  // a *.conf file of `policies`, or none
        const char* address; // DBUS_SYSTEM_BUS_ADDRESS, or unset
        bool may;
    };
    const Case cases[] = {
        {"no bus", false, true, "<allow own=\"org.fedoraproject.FirewallD1\"/>", nullptr, false},
        {"a bus elsewhere", false, true, nullptr, "unix:path=/x", true},
        {"a bus, no firewalld", true, false, nullptr, nullptr, false},
        {"a bus and the program", true, true, nullptr, nullptr, true},
        {"a bus and its policy", true, false, "<allow own=\"org.fedoraproject.FirewallD1\"/>",
         nullptr, true},
        {"a policy of another name", true, false, "<allow own=\"org.fedoraproject.Other\"/>",
         nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(socket);
        std::filesystem::remove(program);
        std::filesystem::remove(policies + "/zz.conf");
        if (c.socket)
            Write(socket, "");
        if (c.program)
            Write(program, "");
        if (c.policy)
            Write(policies + "/zz.conf", c.policy);
        if (c.address)
            env.Set("DBUS_SYSTEM_BUS_ADDRESS", c.address);
        else
            env.Unset("DBUS_SYSTEM_BUS_ADDRESS");
        // The file that is no *.conf names firewalld, and is passed over.
        EXPECT_EQ(FirewalldMayBeOnSystemBus(socket, {program}, {policies, elsewhere}), c.may);
    }
}

} // namespace
} // namespace tvn
