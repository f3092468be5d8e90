// The demo site in the shared root: once per program version, never while disabled, and
// the user's own editions kept.
#include "platform/resources.h"
#include "startup_fixture.h"

namespace tvn::test {
namespace {

class DemoStartupTest : public StartupTest {
  protected:
    // Starts the program, waits until its start sequence is done and stops it again.
    void StartAndStop(const std::string& readyLine) {
        auto process = Start();
        std::string out;
        EXPECT_TRUE(WaitForOutput(*process, readyLine, out)) << out;
        EXPECT_TRUE(Run({"stop"}).exited);
        const Finished ended = Wait(*process);
        EXPECT_TRUE(ended.exited);
        EXPECT_EQ(ended.err, "");
    }
    // Inside the test's network namespace only loopback is there.
    std::string Served() const {
        return "http://localhost:" + std::to_string(port) + " Only. No NET connections found";
    }
};

TEST_F(DemoStartupTest, WrittenOncePerVersion) {
    const auto fresh = FindResource("BINDAT", "demo/index.html");
    ASSERT_TRUE(fresh && !fresh->empty()) << "the demo start page is compiled in";
    const std::string page = Path("site/demo/index.html");
    const std::string backup = Path("site/demo/index (PrevEdition).html");
    const std::string edited = "<p>my own, shorter page</p>";
    ASSERT_NE(edited.size(), fresh->size());

    WriteSettings();
    StartAndStop(Served());
    EXPECT_NE(Settings().find("CreateDemo=50397743\n"), std::string::npos) << Settings();
    EXPECT_EQ(ReadFileBytes(page), std::string(*fresh));
    EXPECT_TRUE(std::filesystem::exists(Path("site/demo/.dir")));

    // The same version does not write the site again.
    WriteFileBytes(page, edited);
    StartAndStop(Served());
    EXPECT_EQ(ReadFileBytes(page), edited);
    EXPECT_FALSE(std::filesystem::exists(backup));

    // A newer program version does, and keeps the user's edition beside the fresh page.
    WriteSettings({{"CreateDemo", "50397742"}});
    StartAndStop(Served());
    EXPECT_EQ(ReadFileBytes(page), std::string(*fresh));
    EXPECT_EQ(ReadFileBytes(backup), edited);
    EXPECT_NE(Settings().find("CreateDemo=50397743\n"), std::string::npos);
}

TEST_F(DemoStartupTest, NotWrittenWhileTheServerIsDisabled) {
    WriteSettings({{"Enable", "0"}});
    StartAndStop("The Server is stopped");
    EXPECT_EQ(Settings().find("CreateDemo"), std::string::npos) << Settings();
    EXPECT_FALSE(std::filesystem::exists(Path("site/demo")));
    EXPECT_LT(ConnectLoopback(port), 0);
}

TEST_F(DemoStartupTest, DefaultRootIsTheDefaultDocumentFolder) {
    WriteSettings();
    // No Root: the default document folder below the documents path is shared.
    std::string settings = Settings();
    settings.erase(settings.find("Root="),
                   settings.find('\n', settings.find("Root=")) - settings.find("Root=") + 1);
    WriteFileBytes(SettingsFile(), settings);
    StartAndStop(Served());
    EXPECT_NE(Settings().find("Root=" + Path("docs/Tarvolin/htdocs") + "\n"), std::string::npos)
        << Settings();
    EXPECT_TRUE(std::filesystem::exists(Path("docs/Tarvolin/htdocs/demo/index.html")));
}

} // namespace
} // namespace tvn::test
