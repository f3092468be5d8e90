#include "config/settings_section.h"
#include "config/stored_path.h"
#include "platform/ini_file.h"
#include "shell/server_control.h"
#include "shell_fixture.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

namespace tvn {
namespace {

using test::Accepts;
using test::FreePort;

constexpr int kPacked = 50397743; // 3.1.2.47

// Records what the server control tells the user.
struct RecordingUi {
    std::vector<std::string> errors;
    std::vector<std::string> infos;
    std::vector<std::string> activities;
    CUserInterface ui;
    RecordingUi() {
        ui = HeadlessInterface();
        ui.showError = [this](const std::string& text) { errors.push_back(text); };
        ui.showAccessInfo = [this](const std::string& line) { infos.push_back(line); };
        ui.showActivity = [this](std::string_view line) { activities.emplace_back(line); };
    }
};

class ServerControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settingsFile = dir.path().toStdString() + "/TVN.cfg";
        root = dir.path().toStdString() + "/site";
        SettingsSection::OverrideFilePath(settingsFile);
        // The access log of these servers stays in the test's folder.
        Set("LogFileName", dir.path().toStdString() + "/tvn.log");
    }
    void TearDown() override { SettingsSection::OverrideFilePath(""); }

    void Set(const char* key, const std::string& value) const {
        ini::WriteString(settingsFile, kSettingsSectionName, key, value);
    }
    // The stored CreateDemo, or -1 when the key is missing.
    int CreateDemo() const {
        return ini::ReadInt(settingsFile, kSettingsSectionName, "CreateDemo", -1);
    }

    // A control whose demo installer only counts.
    std::unique_ptr<CServerControl> MakeControl() {
        auto control = std::make_unique<CServerControl>(recorder.ui, false);
        control->Document().demoInstaller = [this](const std::string& at) {
            installedAt.push_back(at);
        };
        return control;
    }

    QTemporaryDir dir;
    std::string settingsFile;
    std::string root;
    RecordingUi recorder;
    std::vector<std::string> installedAt;
};

// The demo site goes in on the first start of each program version, and never while the
// server stays disabled.
TEST_F(ServerControlTest, InstallsTheDemoOncePerVersion) {
    struct Case {
        const char* what;
        std::optional<int> storedMark; // CreateDemo before the start
        bool enabled;
        int installs;
        int markAfter; // -1: still missing
    };
    const Case cases[] = {
        {"first start", std::nullopt, true, 1, kPacked},
        {"same version", kPacked, true, 0, kPacked},
        {"update from an older version", kPacked - 1, true, 1, kPacked},
        {"back from a newer version", kPacked + 1, true, 0, kPacked},
        {"disabled server", std::nullopt, false, 0, -1},
        {"disabled after an older version", kPacked - 1, false, 0, kPacked - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(settingsFile.c_str());
        Set("LogFileName", dir.path().toStdString() + "/tvn.log");
        if (c.storedMark)
            Set("CreateDemo", std::to_string(*c.storedMark));
        installedAt.clear();
        auto control = MakeControl();
        EXPECT_EQ(control->StartServer(c.enabled ? FreePort() : 0, root), 0);
        EXPECT_EQ(static_cast<int>(installedAt.size()), c.installs);
        EXPECT_EQ(CreateDemo(), c.markAfter);
        if (c.installs == 1) {
            EXPECT_EQ(installedAt.front(), root);
        }
    }
}

TEST_F(ServerControlTest, SamePortAndRootChangeNothing) {
    auto control = MakeControl();
    const int port = FreePort();
    ASSERT_EQ(control->StartServer(port, root), 0);
    // Forget the mark: a real restart would install the demo again, a no-op would not.
    Set("CreateDemo", "0");
    EXPECT_EQ(control->StartServer(port, root), 0);
    EXPECT_EQ(installedAt.size(), 1u);
    EXPECT_EQ(control->StartServer(port, root + "/other"), 0);
    EXPECT_EQ(installedAt.size(), 2u);
    EXPECT_TRUE(Accepts(port));
}

// A failed start still marks the version, and forgets the port that ran before: remembering
// it would answer a later start on that port "already running" while nothing listens.
TEST_F(ServerControlTest, StartAgainAfterAFailedSwitchListens) {
    auto control = MakeControl();
    const int port = FreePort();
    ASSERT_EQ(control->StartServer(port, root), 0);
    test::LoopbackPort busy(true);
    Set("CreateDemo", "0");
    ASSERT_EQ(control->StartServer(busy.Port(), root), 1);
    ASSERT_EQ(recorder.errors.size(), 1u);
    EXPECT_EQ(
        recorder.errors[0].rfind("Port " + std::to_string(busy.Port()) + " is already in use!", 0),
        0u)
        << recorder.errors[0];
    EXPECT_EQ(CreateDemo(), kPacked) << "marked whatever the outcome";
    EXPECT_EQ(control->StartServer(port, root), 0);
    EXPECT_TRUE(control->Document().IsListening());
    EXPECT_TRUE(Accepts(port));
}

TEST_F(ServerControlTest, ShutdownStopsTheServer) {
    auto control = MakeControl();
    const int port = FreePort();
    ASSERT_EQ(control->StartServer(port, root), 0);
    control->Shutdown();
    control->Shutdown();
    EXPECT_FALSE(Accepts(port));
    EXPECT_FALSE(control->Document().IsListening());
}

// The start sequence takes port, switch and root from the settings.
TEST_F(ServerControlTest, LoadSettingsAndStart) {
    struct Case {
        const char* what;
        const char* enable;
        bool listening;
        std::string infoStart;
    };
    const int port = FreePort();
    const std::string portText = std::to_string(port);
    const Case cases[] = {
        {"enabled", "1", true, "http://"},
        {"disabled", "0", false, "The Server is stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(settingsFile.c_str());
        Set("LogFileName", dir.path().toStdString() + "/tvn.log");
        Set("Port", portText);
        Set("Enable", c.enable);
        Set("Root", ToStoredPath(root));
        recorder.infos.clear();
        auto control = MakeControl();
        control->LoadSettingsAndStart();
        EXPECT_EQ(control->Document().IsListening(), c.listening);
        EXPECT_EQ(control->Document().Root() == root, c.listening);
        ASSERT_EQ(recorder.infos.size(), 1u);
        EXPECT_EQ(recorder.infos[0].rfind(c.infoStart, 0), 0u) << recorder.infos[0];
        if (c.listening) {
            EXPECT_NE(recorder.infos[0].find("http://127.0.0.1:" + portText + "/"),
                      std::string::npos);
        }
    }
}

// Any HideLog value but 1 switched the pop-up off, where only 1 is meant to.
TEST_F(ServerControlTest, OnlyHideLogOneHidesTheActivityPopUp) {
    struct Case {
        const char* value;
        bool shown;
    };
    const Case cases[] = {{"0", true}, {"1", false}, {"2", true}, {"257", true}, {"-1", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Set("HideLog", c.value);
        Set("Enable", "0");
        recorder.activities.clear();
        auto control = MakeControl();
        control->LoadSettingsAndStart();
        control->Document().showActivity("\nGET / 127.0.0.1:1");
        EXPECT_EQ(recorder.activities.size(), c.shown ? 1u : 0u);
    }
}

// Port 70000 listened on 4464 while the messages said 70000.
TEST_F(ServerControlTest, PortBeyondTheTcpRangeIsAStartFailure) {
    auto control = MakeControl();
    EXPECT_EQ(control->StartServer(70000, root), 1);
    EXPECT_EQ(recorder.errors, (std::vector<std::string>{"Can't start server!"}));
    EXPECT_FALSE(control->Document().IsListening());
    EXPECT_FALSE(Accepts(70000 - 65536));
}

} // namespace
} // namespace tvn
