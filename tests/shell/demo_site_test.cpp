#include "platform/resources.h"
#include "shell/demo_site.h"
#include "shell_fixture.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <strings.h>
#include <sys/resource.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

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
    // Further backups are numbered in the same place.
    EXPECT_EQ(PrevEditionName("index.html", 2), "index (PrevEdition 2).html");
    EXPECT_EQ(PrevEditionName(".pass", 12), ".pass (PrevEdition 12)");
    EXPECT_EQ(PrevEditionName("README", 3), "README (PrevEdition 3)");
}

TEST(WriteDemoFile, KeepsOrSetsAsideTheUsersEdition) {
    struct Case {
        const char* what;
        std::optional<std::string> existing; // the file before the write
        std::optional<std::string> oldBackup;
        std::string fresh;                 // what the demo writes
        std::string after;                 // the file afterwards
        std::optional<std::string> backup; // " (PrevEdition)" afterwards
        std::optional<std::string> second; // " (PrevEdition 2)" afterwards
    };
    const Case cases[] = {
        {"new file", std::nullopt, std::nullopt, "<p>demo</p>", "<p>demo</p>", std::nullopt,
         std::nullopt},
        {"same length kept", "<p>mine</p>", std::nullopt, "<p>demo</p>", "<p>mine</p>",
         std::nullopt, std::nullopt},
        {"other length set aside", "<p>my page</p>", std::nullopt, "<p>demo</p>", "<p>demo</p>",
         "<p>my page</p>", std::nullopt},
        // The older backup holds the owner's first edits: it stays, the new one goes beside.
        {"older backup kept", "<p>my page</p>", "first edits", "<p>demo</p>", "<p>demo</p>",
         "first edits", "<p>my page</p>"},
        {"empty file set aside", "", std::nullopt, "x", "x", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        const std::string target = folder + "/index.html";
        if (c.existing)
            WriteFileBytes(target, *c.existing);
        if (c.oldBackup)
            WriteFileBytes(folder + "/index (PrevEdition).html", *c.oldBackup);
        WriteDemoFile(target, c.fresh);
        EXPECT_EQ(ReadFileBytes(target), c.after);
        EXPECT_EQ(ReadFileBytes(folder + "/index (PrevEdition).html"), c.backup);
        EXPECT_EQ(ReadFileBytes(folder + "/index (PrevEdition 2).html"), c.second);
    }
}

// A second update deleted the " (PrevEdition)" backup to make room for the next one, and
// with it the owner's first edits. Every update sets the edition aside under the first
// free name, whatever stands under the taken ones (a gap is filled).
TEST(WriteDemoFile, SecondUpdateKeepsTheFirstBackup) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    const std::string target = folder + "/.pass";
    WriteFileBytes(target, "me,first");
    WriteDemoFile(target, "demo,demo1");
    WriteFileBytes(target, "me,second edit");
    WriteDemoFile(target, "demo,demo2");
    fs::create_directories(folder + "/.pass (PrevEdition 3)/inner"); // taken by a folder
    WriteFileBytes(target, "me,third edit!");
    WriteDemoFile(target, "demo,demo3");
    fs::remove(folder + "/.pass (PrevEdition 2)");
    WriteFileBytes(target, "me,fourth edit!!");
    WriteDemoFile(target, "demo,demo4");

    EXPECT_EQ(ReadFileBytes(target), "demo,demo4");
    const std::pair<const char*, const char*> backups[] = {
        {".pass (PrevEdition)", "me,first"},
        {".pass (PrevEdition 2)", "me,fourth edit!!"},
        {".pass (PrevEdition 4)", "me,third edit!"},
    };
    for (const auto& [name, content] : backups)
        EXPECT_EQ(ReadFileBytes(folder + "/" + name), content) << name;
    EXPECT_TRUE(fs::is_directory(folder + "/.pass (PrevEdition 3)/inner"));
}

// The demo file went out through an ofstream whose failure nobody looked at: a full disk
// left a cut demo file, which the next update took for an edit of the owner's and set aside.
TEST(WriteDemoFile, FailedWriteLeavesNoCutFileToBeTakenForAnEdit) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    const std::string target = folder + "/index.html";
    const std::string demo(4096, 'd');
    WriteFileBytes(target, "my own page");
    {
        // Files cannot grow past 100 bytes: as good as a full disk, for root too.
        struct rlimit old {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 100;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        WriteDemoFile(target, demo);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldSignal);
    }
    EXPECT_FALSE(fs::exists(target)) << "a cut demo file was left";
    EXPECT_EQ(ReadFileBytes(folder + "/index (PrevEdition).html"), "my own page");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    WriteDemoFile(target, demo); // the next update
    EXPECT_EQ(ReadFileBytes(target), demo);
    EXPECT_EQ(ReadFileBytes(folder + "/index (PrevEdition).html"), "my own page");
    EXPECT_FALSE(fs::exists(folder + "/index (PrevEdition 2).html"));
}

TEST(WriteDemoFile, CreatesEveryMissingFolder) {
    QTemporaryDir dir;
    const std::string target = dir.path().toStdString() + "/a/b/.c/page.txt";
    WriteDemoFile(target, "text");
    EXPECT_EQ(ReadFileBytes(target), "text");
}

// When the user's edition cannot be renamed out of the way (here every backup name is
// longer than a file name may be), writing the demo over it would destroy the only copy.
TEST(WriteDemoFile, KeepsTheUsersEditionWhenItCannotBeSetAside) {
    QTemporaryDir dir;
    const std::string target = dir.path().toStdString() + "/" + std::string(240, 'p') + ".html";
    WriteFileBytes(target, "my own longer page");
    WriteDemoFile(target, "demo");
    EXPECT_EQ(ReadFileBytes(target), "my own longer page");
    EXPECT_EQ(
        std::distance(fs::directory_iterator(dir.path().toStdString()), fs::directory_iterator()),
        1);
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
    EXPECT_EQ(ReadFileBytes(root + "/demo/index.html"), "second one");
    EXPECT_EQ(ReadFileBytes(root + "/demo/index (PrevEdition).html"), "first");
    EXPECT_EQ(ReadFileBytes(root + "/demo/.pict/dot.gif"), "GIF");
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
