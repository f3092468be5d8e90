#include "platform/resources.h"
#include "shell/demo_site.h"
#include "shell_fixture.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <strings.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;
using test::ReadWhole;
using test::WriteWhole;

TEST(PrevEditionName, PutsTheMarkBeforeTheExtension) {
    struct Case {
        const char* name;
        const char* backup;
    };
    const Case cases[] = {
        {"index.html", "index (PrevEdition).html"},
        {"archive.tar.gz", "archive.tar (PrevEdition).gz"},
        {"README", "README (PrevEdition)"},
        // A dot-file keeps its leading dot, so its backup stays out of listings and is
        // refused like the original (".pass" holds the user's passwords).
        {".pass", ".pass (PrevEdition)"},
        {".dir", ".dir (PrevEdition)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PrevEditionName(c.name), c.backup);
    }
}

TEST(WriteDemoFile, KeepsOrSetsAsideTheUsersEdition) {
    struct Case {
        const char* what;
        std::optional<std::string> existing; // the file before the write
        std::optional<std::string> oldBackup;
        std::string fresh;                 // what the demo writes
        std::string after;                 // the file afterwards
        std::optional<std::string> backup; // the backup afterwards
    };
    const Case cases[] = {
        {"new file", std::nullopt, std::nullopt, "<p>demo</p>", "<p>demo</p>", std::nullopt},
        {"same length kept", "<p>mine</p>", std::nullopt, "<p>demo</p>", "<p>mine</p>",
         std::nullopt},
        {"other length set aside", "<p>my page</p>", std::nullopt, "<p>demo</p>", "<p>demo</p>",
         "<p>my page</p>"},
        {"older backup replaced", "<p>my page</p>", "old", "<p>demo</p>", "<p>demo</p>",
         "<p>my page</p>"},
        {"empty file set aside", "", std::nullopt, "x", "x", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const std::string target = dir.path().toStdString() + "/index.html";
        const std::string backupPath = dir.path().toStdString() + "/index (PrevEdition).html";
        if (c.existing)
            WriteWhole(target, *c.existing);
        if (c.oldBackup)
            WriteWhole(backupPath, *c.oldBackup);
        WriteDemoFile(target, c.fresh);
        EXPECT_EQ(ReadWhole(target), c.after);
        EXPECT_EQ(ReadWhole(backupPath), c.backup);
    }
}

TEST(WriteDemoFile, CreatesEveryMissingFolder) {
    QTemporaryDir dir;
    const std::string target = dir.path().toStdString() + "/a/b/.c/page.txt";
    WriteDemoFile(target, "text");
    EXPECT_EQ(ReadWhole(target), "text");
}

// When the user's edition cannot be renamed out of the way (here a folder with content
// stands where the backup would go), writing the demo over it would destroy the only copy.
TEST(WriteDemoFile, KeepsTheUsersEditionWhenItCannotBeSetAside) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    fs::create_directories(folder + "/index (PrevEdition).html/inner");
    WriteWhole(folder + "/index.html", "my own longer page");
    WriteDemoFile(folder + "/index.html", "demo");
    EXPECT_EQ(ReadWhole(folder + "/index.html"), "my own longer page");
}

TEST(WriteDemoFile, LeavesAFolderOfTheSameNameAlone) {
    QTemporaryDir dir;
    const std::string target = dir.path().toStdString() + "/index.html";
    fs::create_directories(target + "/inside");
    WriteDemoFile(target, "demo");
    EXPECT_TRUE(fs::is_directory(target + "/inside"));
}

// Entries are written in order: a later entry for the same path meets the earlier one as
// an existing file.
TEST(WriteDemoSite, WritesEntriesInOrderBelowTheRoot) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    WriteDemoSite(root, {{"demo/index.html", "first"},
                         {"demo/.pict/dot.gif", "GIF"},
                         {"demo/index.html", "second one"}});
    EXPECT_EQ(ReadWhole(root + "/demo/index.html"), "second one");
    EXPECT_EQ(ReadWhole(root + "/demo/index (PrevEdition).html"), "first");
    EXPECT_EQ(ReadWhole(root + "/demo/.pict/dot.gif"), "GIF");
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Every demo file compiled into the program must be one the installer writes; a name typed
// differently in the list would silently drop the file from every new installation.
TEST(DemoSiteEntries, InstallsEveryCompiledDemoFile) {
    const auto entries = DemoSiteEntries();
    std::size_t compiled = 0;
    for (const std::string& name : ListResources("BINDAT")) {
        if (FindResource("BINDAT", name)->empty())
            continue;
        ++compiled;
        SCOPED_TRACE(name);
        EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                                [&](const DemoEntry& e) { return SameName(e.path, name); }));
    }
    const auto templates = std::count_if(entries.begin(), entries.end(), [](const DemoEntry& e) {
        return e.path.ends_with("/.dir") || e.path.ends_with("/.file");
    });
    EXPECT_EQ(entries.size() - static_cast<std::size_t>(templates), compiled);
    EXPECT_LE(compiled, 40u) << "the demo site has 40 files";
    if (compiled < 40)
        std::cout << "note: " << compiled << " of the 40 demo files are compiled in\n";
}

} // namespace
} // namespace tvn
