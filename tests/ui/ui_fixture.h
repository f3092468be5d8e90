#pragma once

// The widget tests' world: a server control over a settings file of the test's own, whose
// access-information lines and errors reach the test, and helpers that find a window's
// controls by their names.
#include "config/settings_section.h"
#include "pages/thumbnail_disk_cache.h"
#include "platform/ini_file.h"
#include "shell/server_control.h"
#include "support/env_guard.h"
#include "support/loopback_client.h"
#include "support/loopback_port.h"
#include "support/spin.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace tvn::test {

// Runs the event loop for `ms`.
inline void Spin(int ms) {
    SpinUntil([] { return false; }, ms);
}

template <class Widget> Widget* Find(QWidget& window, const char* name) {
    Widget* found = window.findChild<Widget*>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

class ControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = dir.path().toStdString();
        settingsFile = folder + "/TVN.cfg";
        root = folder + "/site";
        std::filesystem::create_directories(root);
        SettingsSection::OverrideFilePath(settingsFile);
        port = FreeLoopbackPort();
        // Nothing of the network presence may leave this computer.
        Set("LogFileName", folder + "/tvn.log");
        Set("Port", std::to_string(port));
        Set("Root", root);
        Set("uPnPDiscovery", "0");
        Set("uPnPRouter", "0");
        Set("ServiceHost", "");
        Set("HttpsPort", "0");
        Set("CreateDemo", "2000000000"); // no demo site in the test's folder
        Set("NMEAPortTemplate", folder + "/no-gps%d");
        cacheEnv.Set("XDG_CACHE_HOME", folder + "/cache"); // thumbnails stay in the test too
        ui = HeadlessInterface();
        ui.showError = [this](const std::string& text) { errors.push_back(text); };
        ui.showAccessInfo = [this](const std::string& line) {
            lines.push_back(line);
            if (onLine)
                onLine(line);
        };
    }
    void TearDown() override {
        control.reset();
        ThumbnailDiskCache().Close();
        SettingsSection::OverrideFilePath("");
    }

    // Makes the control and starts it as the program does.
    CServerControl& StartControl() {
        control = std::make_unique<CServerControl>(ui, nullptr);
        control->LoadSettingsAndStart();
        return *control;
    }

    // The one of `ports` on which the server takes a connection, as a browser finds it; 0
    // when none does.
    static int ServingPort(std::initializer_list<int> ports) {
        for (int candidate : ports) {
            LoopbackClient probe;
            if (probe.Connect(candidate))
                return candidate;
        }
        return 0;
    }

    void Set(const char* key, const std::string& value) const {
        ini::WriteString(settingsFile, kSettingsSectionName, key, value);
    }
    std::string Stored(const char* key) const {
        return ini::ReadString(settingsFile, kSettingsSectionName, key, "<missing>");
    }

    QTemporaryDir dir;
    test::EnvGuard cacheEnv;
    std::string folder;
    std::string settingsFile;
    std::string root;
    int port = 0;
    CUserInterface ui;
    std::vector<std::string> errors;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> onLine;
    std::unique_ptr<CServerControl> control;
};

} // namespace tvn::test
