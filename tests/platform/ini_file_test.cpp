// The INI reader and writer that stand in for the private-profile functions.
#include "platform/ini_file.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
