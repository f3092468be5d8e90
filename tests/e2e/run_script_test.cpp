// scripts/run-server.sh, which `make run` uses: what the server keeps must live outside
// the program's folder.
#include "startup_fixture.h"

namespace tvn::test {
namespace {

namespace fs = std::filesystem;

// The project's run script.
std::string RunScript() { return (fs::path(TVN_SOURCE_TREE) / "scripts/run-server.sh").string(); }

class RunScriptTest : public StartupTest {
  protected:
    // The program copied into "exec", a writable folder of its own, as build/ is.
    void SetUp() override {
        StartupTest::SetUp();
        program = Path("exec/tarvolin");
        fs::copy_file(TVN_PROGRAM, program);
    }

    // The user's environment: only HOME and what `xdg` sets, no U3_ folders.
    QProcessEnvironment ScriptEnvironment(const std::map<std::string, std::string>& xdg) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME",
              "XDG_CACHE_HOME", "QT_QPA_PLATFORM", "U3_APP_DATA_PATH", "U3_DEVICE_EXEC_PATH",
              "U3_DEVICE_DOCUMENT_PATH", "TVN_SAFE"})
            env.remove(name);
        env.insert("HOME", QString::fromStdString(Path("home")));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(Path("run")));
        env.insert("TVN_PROGRAM", QString::fromStdString(program));
        for (const auto& [name, value] : xdg)
            env.insert(QString::fromStdString(name), QString::fromStdString(value));
        return env;
    }

    std::unique_ptr<QProcess> StartScript(const QProcessEnvironment& env,
                                          const QStringList& arguments = {}) const {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->start(QString::fromStdString(RunScript()), arguments);
        process->waitForStarted(kWaitMs);
        process->closeWriteChannel();
        return process;
    }

    std::string program;
};

// `make run` let the program keep its settings, access log and shared folder beside the
// executable (build/ is writable), so one `make clean` deleted the user's shared files.
TEST_F(RunScriptTest, KeepsSettingsLogAndSharedFolderOutsideTheProgramFolder) {
    struct Case {
        std::string what;
        std::map<std::string, std::string> xdg; // set in the environment
        std::string presetLog;                  // LogFileName already in TVN.cfg, if any
        std::string config, data, log;          // where things must end up, below the base
    };
    const Case cases[] = {
        {"XDG defaults below HOME",
         {},
         "",
         "home/.config",
         "home/.local/share",
         "home/.local/state/tarvolin/tvn.log"},
        {"XDG folders set",
         {{"XDG_CONFIG_HOME", Path("xc")},
          {"XDG_DATA_HOME", Path("xd")},
          {"XDG_STATE_HOME", Path("xs")}},
         "",
         "xc",
         "xd",
         "xs/tarvolin/tvn.log"},
        {"log chosen by the user", {}, "mine.log", "home/.config", "home/.local/share", "mine.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Path("home"));
        fs::create_directories(Path("home"));
        const std::string cfg = Path(c.config + "/tarvolin/TVN.cfg");
        std::string settings = "[SOFTWARE\\Tarvolin\\1.0]\nPort=" + std::to_string(port) +
                               "\nuPnPDiscovery=0\nuPnPRouter=0\nHideLog=1\n";
        if (!c.presetLog.empty())
            settings += "LogFileName=" + Path(c.presetLog) + "\n";
        WriteFileBytes(cfg, settings);
        const QProcessEnvironment env = ScriptEnvironment(c.xdg);

        auto server = StartScript(env);
        EXPECT_TRUE(WaitForListening(port)) << "the settings in " << cfg << " were not used";
        EXPECT_NE(HttpGet(port, "/logged.txt").find("HTTP/1.0 "), std::string::npos);
        auto stop = StartScript(env, {"stop"});
        EXPECT_TRUE(Wait(*stop).exited);
        EXPECT_TRUE(Wait(*server).exited);

        std::vector<std::string> besideProgram;
        for (const auto& entry : fs::directory_iterator(Path("exec")))
            besideProgram.push_back(entry.path().filename().string());
        EXPECT_EQ(besideProgram, std::vector<std::string>{"tarvolin"});
        EXPECT_NE(ReadFileBytes(cfg).value_or("").find("\nLogFileName=" + Path(c.log) + "\n"),
                  std::string::npos)
            << ReadFileBytes(cfg).value_or("<no settings>");
        const std::string htdocs = Path(c.data + "/tarvolin/Tarvolin/htdocs");
        EXPECT_TRUE(fs::is_directory(htdocs) && !fs::is_empty(htdocs)) << "no demo site";
        EXPECT_NE(ReadFileBytes(Path(c.log)).value_or("").find("/logged.txt"), std::string::npos);
    }
}

} // namespace
} // namespace tvn::test
