// The settings accessor: defaults written back on first read, no cache, and the file kept
// whole under concurrent writers.
#include "config/settings_section.h"
#include "platform/system_paths.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace tvn {
namespace {

constexpr const char* kHeader = "[SOFTWARE\\Tarvolin\\1.0]\n";

class SettingsSectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        file = temp / "TVN.cfg";
        SettingsSection::OverrideFilePath(file);
    }
    void TearDown() override { SettingsSection::OverrideFilePath(""); }
    test::TempDir temp;
    std::string file;
};

TEST_F(SettingsSectionTest, FirstReadWritesTheDefault) {
    const SettingsSection settings;
    EXPECT_EQ(settings.GetInt("Port", 8080), 8080);
    EXPECT_EQ(test::ReadFile(file), std::string(kHeader) + "Port=8080\n");
    // Once written, the stored value wins over another default.
    EXPECT_EQ(settings.GetInt("Port", 80), 8080);
}

TEST_F(SettingsSectionTest, Integers) {
    test::WriteFile(file, std::string(kHeader) + "Port=1234\nText=abc\nMinusOne=-1\n"
                                                 "Zero=0\nNegative=-7\n");
    struct Case {
        std::string key;
        int fallback;
        int value;
        std::string line; // the key's line in the file afterwards
    };
    const Case cases[] = {
        {"Port", 8080, 1234, "Port=1234"},
        {"Text", 5, 0, "Text=abc"},       // not a number: 0, left as it is
        {"MinusOne", 5, 5, "MinusOne=5"}, // -1 is the "missing" probe: rewritten
        {"Zero", 5, 0, "Zero=0"},
        {"Negative", 5, -7, "Negative=-7"},
        {"Missing", 42, 42, "Missing=42"},
    };
    const SettingsSection settings;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(settings.GetInt(c.key.c_str(), c.fallback), c.value);
        EXPECT_NE(test::ReadFile(file).find("\n" + c.line + "\n"), std::string::npos);
    }
}

TEST_F(SettingsSectionTest, Flags) {
    const SettingsSection settings;
    EXPECT_TRUE(settings.GetFlag("Enable", 1));
    EXPECT_FALSE(settings.GetFlag("Low", 0x100)); // the default's low byte: 0
    EXPECT_TRUE(settings.GetFlag("High", 0x101));
    settings.SetInt("Enable", 7);
    EXPECT_TRUE(settings.GetFlag("Enable", 0));
    EXPECT_EQ(test::ReadFile(file), std::string(kHeader) + "Enable=7\nLow=0\nHigh=1\n");
}

TEST_F(SettingsSectionTest, Strings) {
    test::WriteFile(file, std::string(kHeader) +
                              "Name=\nDomain=\nUser=anna\nLong=" + std::string(5000, 'x') + "\n");
    struct Case {
        std::string key;
        std::string fallback;
        std::string value;
        std::string line;
    };
    const Case cases[] = {
        {"Name", "", "", "Name="}, // stored empty, default empty: stays
        {"Domain", "dyn.example", "dyn.example", "Domain=dyn.example"}, // rewritten
        {"User", "other", "anna", "User=anna"},
        {"Missing", "value", "value", "Missing=value"},
        {"Long", "", std::string(4095, 'x'), "Long=" + std::string(5000, 'x')}, // cut on read
    };
    const SettingsSection settings;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(settings.GetString(c.key.c_str(), c.fallback), c.value);
        EXPECT_NE(test::ReadFile(file).find("\n" + c.line + "\n"), std::string::npos);
    }
}

// No cache: a value written through one accessor is read by the next, anywhere.
TEST_F(SettingsSectionTest, WritesAreSeenAtOnce) {
    const SettingsSection writer;
    const SettingsSection reader;
    EXPECT_EQ(reader.GetString("Root", "/first"), "/first");
    writer.SetString("Root", "/second");
    EXPECT_EQ(reader.GetString("Root", "/first"), "/second");
    test::WriteFile(file, std::string(kHeader) + "Root=/edited by hand\n");
    EXPECT_EQ(reader.GetString("Root", "/first"), "/edited by hand");
}

TEST_F(SettingsSectionTest, KeysAndSectionInAnyCase) {
    test::WriteFile(file, "[software\\tarvolin\\1.0]\nPORT=9000\n");
    const SettingsSection settings;
    EXPECT_EQ(settings.GetInt("Port", 8080), 9000);
    settings.SetInt("port", 9001);
    EXPECT_EQ(test::ReadFile(file), "[software\\tarvolin\\1.0]\nport=9001\n");
}

// A new key goes to the end of our section, even when other sections follow it.
TEST_F(SettingsSectionTest, NewKeyEndsItsSection) {
    test::WriteFile(file, std::string(kHeader) + "Port=8080\n\n[Other]\nKey=1\n");
    const SettingsSection settings;
    settings.SetString("Name", "host");
    EXPECT_EQ(test::ReadFile(file),
              std::string(kHeader) + "Port=8080\nName=host\n\n[Other]\nKey=1\n");
}

// A settings file that cannot be written (read-only medium, missing folder): reads give
// the defaults, nothing fails, and the next read finds the key missing again.
TEST_F(SettingsSectionTest, UnwritableFileGivesDefaults) {
    const std::string nowhere = temp / "missing/TVN.cfg";
    SettingsSection::OverrideFilePath(nowhere);
    const SettingsSection settings;
    EXPECT_EQ(settings.GetInt("Port", 8080), 8080);
    EXPECT_EQ(settings.GetInt("Port", 81), 81);
    EXPECT_EQ(settings.GetString("Domain", "dyn.example"), "dyn.example");
    settings.SetString("Name", "lost");
    EXPECT_EQ(settings.GetString("Name", ""), "");
    EXPECT_TRUE(test::ReadFile(nowhere).empty());
}

TEST_F(SettingsSectionTest, TwoThreadsWritingDifferentKeysLoseNothing) {
    constexpr int kWrites = 200;
    auto writer = [](const char* key) {
        const SettingsSection settings; // each thread makes its own accessor
        for (int i = 1; i <= kWrites; ++i)
            settings.SetInt(key, i);
    };
    auto reader = [](const char* prefix, std::atomic<int>& missing) {
        const SettingsSection settings;
        for (int i = 0; i < kWrites; ++i) {
            if (settings.GetString(prefix, "").empty())
                ++missing;
        }
    };
    const SettingsSection settings;
    settings.SetString("Fixed", "kept");
    std::atomic<int> missing{0};
    std::thread a(writer, "GpsKey");
    std::thread b(writer, "MainKey");
    std::thread c(reader, "Fixed", std::ref(missing));
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(settings.GetInt("GpsKey", 0), kWrites);
    EXPECT_EQ(settings.GetInt("MainKey", 0), kWrites);
    EXPECT_EQ(missing.load(), 0) << "a reader found a key missing while others wrote";
    EXPECT_EQ(settings.GetString("Fixed", ""), "kept");
}

// With U3_APP_DATA_PATH unset the file lies beside the program (its folder is writable
// here); with it set, in that folder.
TEST_F(SettingsSectionTest, WhereTheFileLies) {
    test::EnvGuard env;
    env.Unset("U3_DEVICE_EXEC_PATH");
    env.Unset("U3_APP_DATA_PATH");
    SettingsSection::OverrideFilePath("");
    {
        const SettingsSection settings; // chooses the path, touches no file
        EXPECT_EQ(SettingsSection::FilePath(), JoinPath(ExecutableFolder(), "TVN.cfg"));
    }
    env.Set("U3_APP_DATA_PATH", temp / "portable/");
    SettingsSection::OverrideFilePath("");
    {
        const SettingsSection settings;
        EXPECT_EQ(SettingsSection::FilePath(), temp / "portable/TVN.cfg");
    }
    // Chosen once: later changes of the environment do not move the file.
    env.Set("U3_APP_DATA_PATH", temp / "elsewhere");
    {
        const SettingsSection settings;
        EXPECT_EQ(SettingsSection::FilePath(), temp / "portable/TVN.cfg");
    }
}

} // namespace
} // namespace tvn
