#pragma once

// Settings in a fresh folder of the test's own, and no proxy between the program's HTTP
// clients and the test's servers on loopback.
#include "config/settings_section.h"
#include "platform/ini_file.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn::test {

class SettingsFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        SettingsSection::OverrideFilePath(dir / "TVN.cfg");
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            env.Unset(name);
    }
    void TearDown() override { SettingsSection::OverrideFilePath(""); }

    void Set(const char* key, const std::string& value) const {
        ini::WriteString(dir / "TVN.cfg", kSettingsSectionName, key, value);
    }
    std::string Get(const char* key) const {
        return ini::ReadString(dir / "TVN.cfg", kSettingsSectionName, key, "<missing>");
    }

    TempDir dir;
    EnvGuard env;
};

} // namespace tvn::test
