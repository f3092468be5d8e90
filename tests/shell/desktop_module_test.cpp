// Where the program looks for its desktop module: beside itself in the build tree, else in the
// installed folder taken from its own folder, never from the current folder.
#include "shell/desktop_module.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace tvn {
namespace {

TEST(DesktopModulePath, FollowsTheProgramsOwnFolder) {
    struct Case {
        std::string program;            // what /proc/self/exe names
        std::set<std::string> present;  // the files there are
        std::string module;             // where the module is looked for
        std::vector<std::string> asked; // what was asked for, in order
    };
    const std::string installed = "../lib/tarvolin";
    const Case cases[] = {
        // The build tree: the module beside the program.
        {"/work/build/tarvolin",
         {"/work/build/tarvolin-ui.so"},
         "/work/build/tarvolin-ui.so",
         {"/work/build/tarvolin-ui.so"}},
        // Installed, by the package or below another prefix, or unpacked into any folder.
        {"/usr/bin/tarvolin", {}, "/usr/lib/tarvolin/tarvolin-ui.so", {"/usr/bin/tarvolin-ui.so"}},
        {"/home/a/.local/bin/tarvolin",
         {},
         "/home/a/.local/lib/tarvolin/tarvolin-ui.so",
         {"/home/a/.local/bin/tarvolin-ui.so"}},
        {"/tmp/root/usr/bin/tarvolin",
         {"/usr/lib/tarvolin/tarvolin-ui.so"},
         "/tmp/root/usr/lib/tarvolin/tarvolin-ui.so",
         {"/tmp/root/usr/bin/tarvolin-ui.so"}},
        // A program replaced on disk while it runs keeps its folder.
        {"/usr/bin/tarvolin (deleted)",
         {},
         "/usr/lib/tarvolin/tarvolin-ui.so",
         {"/usr/bin/tarvolin-ui.so"}},
        // Names with dots and spaces are the folder's own, not steps.
        {"/opt/x/../My Stick/tarvolin",
         {"/opt/My Stick/tarvolin-ui.so"},
         "/opt/My Stick/tarvolin-ui.so",
         {"/opt/My Stick/tarvolin-ui.so"}},
        {"/tarvolin", {}, "/lib/tarvolin/tarvolin-ui.so", {"/tarvolin-ui.so"}},
        // Not a full path: nothing, and nothing is looked at.
        {"", {}, "", {}},
        {"tarvolin", {"tarvolin-ui.so"}, "", {}},
        {"build/tarvolin", {"build/tarvolin-ui.so"}, "", {}},
        {"./tarvolin", {"./tarvolin-ui.so", "tarvolin-ui.so"}, "", {}},
        {"/usr/bin/", {"/usr/bin/tarvolin-ui.so"}, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        std::vector<std::string> asked;
        const auto exists = [&](const std::string& path) {
            asked.push_back(path);
            return c.present.contains(path);
        };
        EXPECT_EQ(DesktopModulePath(c.program, installed, exists), c.module);
        EXPECT_EQ(asked, c.asked);
    }
}

} // namespace
} // namespace tvn
