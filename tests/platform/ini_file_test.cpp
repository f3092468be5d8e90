// The INI reader and writer that stand in for the private-profile functions.
#include "platform/ini_file.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvn {
namespace {

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        file = temp / "TVN.cfg";
    }
    test::TempDir temp;
    std::string file;
};

TEST_F(IniFileTest, FirstWriteCreatesTheFile) {
    EXPECT_TRUE(ini::WriteString(file, "SOFTWARE\\Tarvolin\\1.0", "Port", "8080"));
    EXPECT_EQ(test::ReadFile(file), "[SOFTWARE\\Tarvolin\\1.0]\nPort=8080\n");
}

TEST_F(IniFileTest, Reading) {
    test::WriteFile(file, "[Other]\n"
                          "Port=1\n"
                          "[SOFTWARE\\Tarvolin\\1.0]\n"
                          "Port=8080\n"
                          "  Spaced  =  value with spaces  \n"
                          "Windows=crlf\r\n"
                          "Empty=\n"
                          "Twice=first\n"
                          "Twice=second\n"
                          "Equals=a=b\n"
                          "NoEqualsLine\n"
                          "Negative=-5\n"
                          "Text=abc\n"
                          "Number=12abc\n"
                          "[software\\tarvolin\\1.0]\n"
                          "Late=not read: the first section of the name wins\n");
    struct Case {
        std::string section, key, value; // value "<missing>": the fallback came back
    };
    const Case cases[] = {
        {"SOFTWARE\\Tarvolin\\1.0", "Port", "8080"}, // not the other section's
        {"software\\TARVOLIN\\1.0", "port", "8080"}, // names in any case
        {"SOFTWARE\\Tarvolin\\1.0", "Spaced", "value with spaces"},
        {"SOFTWARE\\Tarvolin\\1.0", "Windows", "crlf"},
        {"SOFTWARE\\Tarvolin\\1.0", "Empty", ""},
        {"SOFTWARE\\Tarvolin\\1.0", "Twice", "first"},
        {"SOFTWARE\\Tarvolin\\1.0", "Equals", "a=b"},
        {"SOFTWARE\\Tarvolin\\1.0", "NoEqualsLine", "<missing>"},
        {"SOFTWARE\\Tarvolin\\1.0", "Missing", "<missing>"},
        {"Missing", "Port", "<missing>"},
        {"Other", "Port", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section + "/" + c.key);
        EXPECT_EQ(ini::ReadString(file, c.section, c.key, "<missing>"), c.value);
    }
    struct IntCase {
        std::string key;
        int value;
    };
    const IntCase ints[] = {
        {"Port", 8080}, {"Negative", -5}, {"Text", 0},
        {"Number", 12}, {"Empty", 0},     {"Missing", 77},
    };
    for (const auto& c : ints) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(ini::ReadInt(file, "SOFTWARE\\Tarvolin\\1.0", c.key, 77), c.value);
    }
    EXPECT_EQ(ini::ReadString(temp / "missing.cfg", "S", "K", "fallback"), "fallback");
    EXPECT_EQ(ini::ReadString(file, "SOFTWARE\\Tarvolin\\1.0", "Spaced", "", 5), "value");
}

TEST_F(IniFileTest, Writing) {
    struct Case {
        std::string name;
        std::string before;
        std::string section, key, value;
        std::string after;
    };
    const Case cases[] = {
        {"replace in place", "[S]\na=1\nb=2\nc=3\n", "S", "b", "20", "[S]\na=1\nb=20\nc=3\n"},
        {"append at the end of its section, not of the file", "[A]\nx=1\n\n[S]\na=1\n\n[B]\ny=2\n",
         "S", "b", "2", "[A]\nx=1\n\n[S]\na=1\nb=2\n\n[B]\ny=2\n"},
        {"append to a last section without a final line end", "[S]\na=1", "S", "b", "2",
         "[S]\na=1\nb=2\n"},
        {"new section at the end", "[A]\nx=1", "S", "k", "v", "[A]\nx=1\n[S]\nk=v\n"},
        {"lines of other kinds are kept", "; note\n[S]\n; comment\na=1\r\n", "S", "b", "2",
         "; note\n[S]\n; comment\na=1\r\nb=2\n"},
        {"empty value", "[S]\na=1\n", "S", "a", "", "[S]\na=\n"},
        {"into an empty file", "", "S", "a", "1", "[S]\na=1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::WriteFile(file, c.before);
        EXPECT_TRUE(ini::WriteString(file, c.section, c.key, c.value));
        EXPECT_EQ(test::ReadFile(file), c.after);
    }
}

// Writing a key spelled in another case replaces it instead of adding a second line.
TEST_F(IniFileTest, WritingInAnotherCaseReplaces) {
    test::WriteFile(file, "[S]\nKey=1\n");
    EXPECT_TRUE(ini::WriteString(file, "s", "KEY", "2"));
    const std::string text = test::ReadFile(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '='), 1) << text;
    EXPECT_EQ(ini::ReadString(file, "S", "key", ""), "2");
}

// A write that cannot be done changes nothing and says so.
TEST_F(IniFileTest, WriteIntoAMissingFolderFails) {
    const std::string nowhere = temp / "missing/TVN.cfg";
    EXPECT_FALSE(ini::WriteString(nowhere, "S", "k", "v"));
    test::WriteFile(temp / "plain", "a file, not a folder");
    EXPECT_FALSE(ini::WriteString(temp / "plain/TVN.cfg", "S", "k", "v"));
    EXPECT_EQ(ini::ReadString(nowhere, "S", "k", "fallback"), "fallback");
}

// A settings file that is there but cannot be read is left alone: replacing it by one that
// holds only the key being written would lose every other setting.
TEST_F(IniFileTest, UnreadableFileIsNotReplaced) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads a file of mode 000 all the same";
    test::WriteFile(file, "[S]\nPort=8080\nRoot=/srv\n");
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    EXPECT_FALSE(ini::WriteString(file, "S", "Enable", "1"));
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(test::ReadFile(file), "[S]\nPort=8080\nRoot=/srv\n");
}

// The mode bits of `path` (following links); -1 when it is missing.
int ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Every write created the new file with mode 0644, so a TVN.cfg the owner had made
// 0600 (it holds the dynamic DNS password) became readable by everyone on the next change.
TEST_F(IniFileTest, RewriteKeepsTheModeAndANewFileIsPrivate) {
    struct Case {
        std::optional<int> before; // no file at all when missing
        int after;
    };
    const Case cases[] = {
        {std::nullopt, 0600}, {0600, 0600}, {0640, 0640}, {0644, 0644}, {0400, 0400},
    };
    const mode_t oldMask = ::umask(022);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before ? std::to_string(*c.before) : "new file");
        ::unlink(file.c_str());
        if (c.before) {
            test::WriteFile(file, "[S]\nPort=8080\n");
            ASSERT_EQ(::chmod(file.c_str(), static_cast<mode_t>(*c.before)), 0);
        }
        EXPECT_TRUE(ini::WriteString(file, "S", "Password", "secret"));
        EXPECT_EQ(ModeOf(file), c.after);
        EXPECT_EQ(ini::ReadString(file, "S", "Password", ""), "secret");
    }
    ::umask(oldMask);
}

// The replacement is a new file, which belongs to whoever writes it; a file of another
// owner (settings prepared by an administrator) must keep its owner and group.
TEST_F(IniFileTest, RewriteKeepsTheOwner) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root may give a file to another owner";
    test::WriteFile(file, "[S]\nPort=8080\n");
    ASSERT_EQ(::chown(file.c_str(), 4242, 4343), 0);
    EXPECT_TRUE(ini::WriteString(file, "S", "Port", "9090"));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4343u);
}

// The rename put a plain file where a symbolic link to the settings had been, so the
// settings the link led to (say, in a synchronized folder) silently stopped changing.
TEST_F(IniFileTest, WriteThroughALinkReplacesItsFinalTarget) {
    namespace fs = std::filesystem;
    struct Case {
        std::string what;
        std::vector<std::pair<std::string, std::string>> links; // link, what it names
        std::string real;                                       // the file that must change
        bool realExists;
    };
    const Case cases[] = {
        {"absolute link", {{"TVN.cfg", temp / "real/a.cfg"}}, "real/a.cfg", true},
        {"relative link", {{"TVN.cfg", "real/b.cfg"}}, "real/b.cfg", true},
        {"chain of links",
         {{"TVN.cfg", "hop/link"}, {"hop/link", "../real/c.cfg"}},
         "real/c.cfg",
         true},
        {"link to a missing file", {{"TVN.cfg", "real/d.cfg"}}, "real/d.cfg", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(temp / "real");
        fs::remove_all(temp / "hop");
        ::unlink(file.c_str());
        fs::create_directories(temp / "real");
        fs::create_directories(temp / "hop");
        for (const auto& [link, target] : c.links)
            ASSERT_EQ(::symlink(target.c_str(), (temp / link).c_str()), 0);
        const std::string real = temp / c.real;
        ino_t before = 0;
        if (c.realExists) {
            test::WriteFile(real, "[S]\nPort=8080\n");
            ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
            struct stat st {};
            ASSERT_EQ(::stat(real.c_str(), &st), 0);
            before = st.st_ino;
        }

        EXPECT_TRUE(ini::WriteString(file, "S", "Enable", "1"));

        for (const auto& [link, target] : c.links) {
            std::error_code ec;
            EXPECT_EQ(fs::read_symlink(temp / link, ec).string(), target) << link;
        }
        EXPECT_EQ(test::ReadFile(real),
                  c.realExists ? "[S]\nPort=8080\nEnable=1\n" : "[S]\nEnable=1\n");
        EXPECT_EQ(ModeOf(real), c.realExists ? 0640 : 0600);
        struct stat st {};
        ASSERT_EQ(::stat(real.c_str(), &st), 0);
        EXPECT_NE(st.st_ino, before) << "written in place, not replaced by a rename";
        // No temporary file is left in any folder on the way.
        for (const std::string& folder : {temp.Path(), temp / "real", temp / "hop"}) {
            for (const auto& entry : fs::directory_iterator(folder))
                EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
        }
    }
}

TEST_F(IniFileTest, LinksThatLoopAreNotWritten) {
    ASSERT_EQ(::symlink("other", file.c_str()), 0);
    ASSERT_EQ(::symlink("TVN.cfg", (temp / "other").c_str()), 0);
    EXPECT_FALSE(ini::WriteString(file, "S", "k", "v"));
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// The temporary file was opened with O_TRUNC and without O_NOFOLLOW: a link left under its
// name had the settings written into whatever file it named.
TEST_F(IniFileTest, LeftoverTemporaryLinkIsNotFollowed) {
    const std::string victim = temp / "victim";
    test::WriteFile(victim, "precious");
    const std::string leftover = file + ".tmp" + std::to_string(::getpid());
    ASSERT_EQ(::symlink(victim.c_str(), leftover.c_str()), 0);
    EXPECT_TRUE(ini::WriteString(file, "S", "k", "v"));
    EXPECT_EQ(test::ReadFile(victim), "precious");
    EXPECT_EQ(test::ReadFile(file), "[S]\nk=v\n");
}

// Values went into the file as they were, so a value with a line end (a host name typed
// into a dialog, a password) wrote lines of its own: further keys or whole sections.
TEST_F(IniFileTest, LineEndsInNamesOrValuesAreRefused) {
    struct Case {
        std::string what, section, key, value;
        bool accepted;
    };
    const Case cases[] = {
        {"value with LF", "S", "Host", "x\nEnable=0", false},
        {"value with CR", "S", "Host", "x\rEnable=0", false},
        {"value with a section", "S", "Host", "x\n[Other]\nPort=1", false},
        {"value ending in CRLF", "S", "Host", "x\r\n", false},
        {"key with LF", "S", "Ho\nst", "x", false},
        {"key with CR", "S", "Host\r", "x", false},
        {"key with '='", "S", "Port=1\nHost", "x", false},
        {"key with '=' only", "S", "Po=rt", "x", false},
        {"key that reads as a section", "S", "[Other]", "x", false},
        {"key that reads as a section after blanks", "S", " \t[Other", "x]", false},
        {"section with LF", "S]\nEnable=0\n[S", "Host", "x", false},
        {"section with CR", "S\r", "Host", "x", false},
        // Neither '=' nor brackets in a value can start a line: it is read back whole.
        {"value with '=' and brackets", "S", "Host", "a=b [c]", true},
        {"key with a bracket inside", "S", "Ho[st]", "x", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::WriteFile(file, "[S]\nEnable=1\n");
        EXPECT_EQ(ini::WriteString(file, c.section, c.key, c.value), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(ini::ReadString(file, c.section, c.key, "<missing>"), c.value);
            EXPECT_EQ(ini::ReadInt(file, "S", "Enable", -1), 1);
        } else {
            EXPECT_EQ(test::ReadFile(file), "[S]\nEnable=1\n");
        }
    }
}

// A section or key name with blanks around it was written as "[ S ]" or " k=v", but looked up
// with its blanks against the trimmed names of the file's lines: it was never found again,
// and every write appended one more copy of the section.
TEST_F(IniFileTest, NamesWithSurroundingBlanksAreFoundAgain) {
    struct Case {
        std::string section, key;
    };
    const Case cases[] = {
        {" S ", "k"}, {"S", " k"}, {"S", "k\t"}, {"\tS", " k "}, {" New ", " fresh "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("[" + c.section + "] " + c.key);
        test::WriteFile(file, "[S]\nk=1\n");
        ASSERT_TRUE(ini::WriteString(file, c.section, c.key, "first"));
        ASSERT_TRUE(ini::WriteString(file, c.section, c.key, "second"));
        EXPECT_EQ(ini::ReadString(file, c.section, c.key, "<missing>"), "second");
        const std::string text = test::ReadFile(file);
        EXPECT_EQ(std::count(text.begin(), text.end(), '['), c.section == " New " ? 2 : 1) << text;
    }
    EXPECT_EQ(ini::ReadString(file, "New", "fresh", "<missing>"), "second");
}

// Threads of the program (GPS reader, relay worker) write their keys while the main
// thread writes its own: no key may be lost to a read-modify-write race.
TEST_F(IniFileTest, TwoThreadsWritingDifferentKeysLoseNothing) {
    constexpr int kWrites = 200;
    auto writer = [this](char name) {
        for (int i = 0; i < kWrites; ++i)
            ini::WriteString(file, "S", std::string(1, name) + std::to_string(i),
                             std::to_string(i));
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();
    for (char name : {'A', 'B'}) {
        for (int i = 0; i < kWrites; ++i) {
            const std::string key = std::string(1, name) + std::to_string(i);
            EXPECT_EQ(ini::ReadString(file, "S", key, "lost"), std::to_string(i)) << key;
        }
    }
}

// Another program (or a crash) must never find the settings file half written: a reader
// that opens the file on its own, without our lock, always sees a whole file.
TEST_F(IniFileTest, FileIsNeverSeenTruncated) {
    ASSERT_TRUE(ini::WriteString(file, "S", "First", "1"));
    std::atomic<bool> writing{true};
    std::atomic<int> reads{0};
    std::atomic<int> broken{0};
    std::thread reader([&] {
        while (writing) {
            const std::string text = test::ReadFile(file);
            ++reads;
            if (text.rfind("[S]\nFirst=1\n", 0) != 0 || text.back() != '\n') // a cut file
                ++broken;
        }
    });
    for (int i = 0; i < 300; ++i)
        ini::WriteString(file, "S", "Key" + std::to_string(i % 20), std::string(i % 50, 'v'));
    writing = false;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(broken.load(), 0) << "of " << reads.load() << " reads";
}

} // namespace
} // namespace tvn
