// The NMEA reader: sentences to the current fix and the GPS log, the search over the ports
// and the reading of a real (pseudo-)terminal.
#include "gps/gps.h"
#include "gps_fixture.h"
#include "platform/serial_port.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>

namespace tvn {
namespace {

using test::kExample;
using test::Sentence;
using test::WaitFor;

constexpr GpsTimings kFast{10, 20, 2000};

class GpsSentences : public test::GpsTest {};

TEST_F(GpsSentences, TheExampleBecomesTheFixAndALogRecord) {
    GPS gps(kFast);
    EXPECT_EQ(gps.CurrentFix().hardware, "Looking for GPS hardware..........");
    EXPECT_EQ(gps.CurrentFix().time, "");
    gps.ParseSentence(kExample);
    const GpsFix fix = gps.CurrentFix();
    EXPECT_EQ(fix.time, "12:35:19 UTC");
    EXPECT_EQ(fix.latitude, "48.1173");
    EXPECT_EQ(fix.longitude, "11.51666667");
    EXPECT_EQ(LogText(), "\n12:35:19 UTC,11.51666667,48.1173");
}

TEST_F(GpsSentences, SouthAndWestAreNegative) {
    struct Case {
        const char* body;
        const char* longitude;
        const char* latitude;
    };
    const Case cases[] = {
        {"GPGGA,123519,4807.038,S,01131.000,W,1,08,0.9,545.4,M,46.9,M,,", "-11.51666667",
         "-48.1173"},
        {"GPGGA,123519,0030.000,N,00030.000,E,1,08,0.9,545.4,M,46.9,M,,", "0.5", "0.5"},
        {"GPGGA,123519,0030.000,S,00030.000,W,1,08,0.9,545.4,M,46.9,M,,", "-0.5", "-0.5"},
        {"GPGGA,123519,4807.038,X,01131.000,e,1,08,0.9,545.4,M,46.9,M,,", "-11.51666667",
         "-48.1173"}, // anything but exactly N or E
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        GPS gps(kFast);
        gps.ParseSentence(Sentence(c.body));
        EXPECT_EQ(gps.CurrentFix().longitude, c.longitude);
        EXPECT_EQ(gps.CurrentFix().latitude, c.latitude);
    }
}

TEST_F(GpsSentences, RejectedSentencesAreLoggedWithTheirReason) {
    const std::string quality0 =
        Sentence("GPGGA,130000,4807.038,N,01131.000,E,0,08,0.9,545.4,M,,,,");
    const std::string quality4 =
        Sentence("GPGGA,130000,4807.038,N,01131.000,E,4,08,0.9,545.4,M,,,,");
    const std::string dop60 = Sentence("GPGGA,130000,4807.038,N,01131.000,E,1,08,60,545.4,M,,,,");
    const std::string badSum = "$GPGGA,130000,4807.038,N,01131.000,E,1,08,0.9,545.4,M,,,,*00";
    struct Case {
        std::string sentence;
        std::string record;
    };
    const Case cases[] = {
        {quality0, "\nToExtract validity: 0,1->3  " + quality0},
        {quality4, "\nToExtract validity: 4,1->3  " + quality4},
        {dop60, "\nToExtract DOP 60.000000,50.000000  " + dop60},
        {badSum, "\nToExtract checksum:  " + badSum},
    };
    GPS gps(kFast);
    gps.ParseSentence(kExample);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sentence);
        const std::string before = LogText();
        gps.ParseSentence(c.sentence);
        EXPECT_EQ(LogText(), before + c.record);
        EXPECT_EQ(gps.CurrentFix().time, "12:35:19 UTC") << "the fix keeps its values";
    }
}

TEST_F(GpsSentences, OtherLinesChangeNothingAndLogNothing) {
    GPS gps(kFast);
    const std::string lines[] = {
        Sentence("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"),
        "",
        "garbage",
        "$GPGGA,123519*47",
        // a valid sentence in a line too long to be one
        std::string(250, ' ') + kExample,
        std::string(100 * 1024, 'a') + kExample,
    };
    for (const std::string& line : lines)
        gps.ParseSentence(line);
    EXPECT_EQ(gps.CurrentFix().time, "");
    EXPECT_EQ(LogText(), "");
}

TEST_F(GpsSentences, ASentenceSplitBetweenReadsWaitsForItsEnd) {
    GPS gps(kFast);
    const std::string example = kExample;
    EXPECT_FALSE(gps.ProcessInput(example.substr(0, 20)));
    EXPECT_EQ(gps.CurrentFix().time, "");
    EXPECT_TRUE(gps.ProcessInput(example.substr(20) + "\r"));
    EXPECT_EQ(gps.CurrentFix().time, "12:35:19 UTC");
    EXPECT_TRUE(gps.ProcessInput("\n")); // the rest of the run ends an empty line
    EXPECT_FALSE(gps.ProcessInput(std::string(100 * 1024, '$')));
}

TEST_F(GpsSentences, SettingsChangeTheLimits) {
    Set("GpsValidityMin", "0");
    Set("GpsMaxDOP", "0.5");
    GPS gps(kFast);
    const std::string quality0 = Sentence("GPGGA,130000,4807.038,N,01131.000,E,0,08,0.4,1,M,,,,");
    gps.ParseSentence(quality0);
    EXPECT_EQ(gps.CurrentFix().time, "13:00:00 UTC");
    gps.ParseSentence(kExample);
    EXPECT_EQ(gps.CurrentFix().time, "13:00:00 UTC");
    EXPECT_NE(LogText().find("\nToExtract DOP 0.900000,0.500000  "), std::string::npos);
}

// A pattern that does not compile matches nothing, and the history file is neither loaded
// nor overwritten by the empty history.
TEST_F(GpsSentences, ABrokenPatternLeavesTheHistoryAlone) {
    ASSERT_TRUE(test::WriteFile(dir / "gpsfix.log", "a,b,c,\r\n"));
    Set("NMEATime", "{\\d\\d}{\\d\\d}{\\d\\d");
    {
        GPS gps(kFast);
        EXPECT_TRUE(gps.History().empty());
        gps.ParseSentence(kExample);
        EXPECT_EQ(gps.CurrentFix().time, "");
        EXPECT_EQ(gps.CurrentFix().latitude, "48.1173");
    }
    EXPECT_EQ(test::ReadFile(dir / "gpsfix.log"), "a,b,c,\r\n");
}

// The GPS log stayed beside the program when the access log had been moved away from it.
TEST_F(GpsSentences, TheGpsLogGoesBesideTheAccessLogByDefault) {
    const std::string settings = dir / "fresh.cfg";
    SettingsSection::OverrideFilePath(settings);
    ini::WriteString(settings, kSettingsSectionName, "LogFileName", dir / "logs/tvn.log");
    { GPS gps(kFast); }
    EXPECT_EQ(ini::ReadString(settings, kSettingsSectionName, "GpsLogFileName", ""),
              dir / "logs/gps.log");
}

class GpsReceiver : public test::GpsTest {};

// The 31 tries of a search: 0..9 three times, then 0; then the receiver stops, and a page
// asking at once does not start another search.
TEST_F(GpsReceiver, SearchesThirtyOneNamesThenStops) {
    GPS gps(kFast);
    ASSERT_EQ(gps.StartReceiverAt(test::SteadyMs()), 0);
    EXPECT_EQ(gps.StartReceiverAt(test::SteadyMs()), 1) << "already searching";
    ASSERT_TRUE(WaitFor([&] { return !gps.Running(); }));
    std::string expected;
    for (int i = 0; i < 31; ++i)
        expected += "\n" + (dir / "none") + std::to_string(i % 10) + ".. failed";
    EXPECT_EQ(LogText(), expected);
    EXPECT_EQ(gps.CurrentFix().hardware, "GPS on " + (dir / "none0") + "  not found. Searching...");

    // A visitor's page restarted the search with every request.
    gps.StartReceiver();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(gps.Running());
    EXPECT_EQ(LogText(), expected);
    EXPECT_EQ(gps.StartReceiverAt(test::SteadyMs() + 31 * kFast.searchPeriodMs), 0);
    ASSERT_TRUE(WaitFor([&] { return LogText().size() > expected.size(); }));
    EXPECT_EQ(LogText().substr(expected.size(), 1 + (dir / "none1").size()), "\n" + (dir / "none1"))
        << "the search goes on with the next port";
    gps.Stop();
    EXPECT_FALSE(gps.Running());
}

TEST_F(GpsReceiver, ReadsSentencesFromAPseudoTerminal) {
    test::Pty pty;
    ASSERT_TRUE(pty.Valid());
    Set("NMEAPortTemplate", dir / "gps%d");
    std::filesystem::create_symlink(pty.SlaveName(), dir / "gps0");
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "a new pseudo-terminal is cooked";

    GPS gps(GpsTimings{10, 20, 3000});
    gps.StartReceiverAt(0);
    ASSERT_TRUE(WaitFor([&] { return gps.CurrentFix().hardware == "GPS on " + (dir / "gps0"); }));
    const std::string example = kExample;
    ASSERT_TRUE(pty.Write(Sentence("GPRMC,1,2,3") + "\r\n" + example.substr(0, 30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(pty.Write(example.substr(30) + "\r\n"));
    ASSERT_TRUE(WaitFor([&] { return gps.CurrentFix().time == "12:35:19 UTC"; }));
    EXPECT_EQ(gps.PollingPeriodMs(), 20) << "receiving";
    termios open{};
    ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &open), 0);
    EXPECT_EQ(open.c_lflag & ICANON, 0u) << "raw while the receiver reads";
    EXPECT_EQ(::cfgetispeed(&open), ::cfgetispeed(&before)) << "the speed is left alone";

    // Stop does not wait for the read's time-out, and the line gets its settings back.
    const auto start = test::SteadyMs();
    gps.Stop();
    EXPECT_LT(test::SteadyMs() - start, 1000);
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    const std::string log = LogText();
    EXPECT_EQ(log.rfind("\n" + (dir / "gps0") + "\n12:35:19 UTC,11.51666667,48.1173", 0), 0u)
        << log;
}

// Wait for a child that ended, so that its process id names nobody.
pid_t DeadPid() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST(SerialPort, OpensOnlyTerminalsNobodyElseHolds) {
    test::TempDir locks;
    test::Pty pty;
    ASSERT_TRUE(pty.Valid());
    const std::string link = locks / "gps0";
    std::filesystem::create_symlink(pty.SlaveName(), link);
    SerialPort port;
    EXPECT_TRUE(port.Open(link, locks.Path()));
    port.Close();

    ASSERT_TRUE(test::WriteFile(locks / "LCK..gps0", "     " + std::to_string(::getppid()) + "\n"));
    EXPECT_FALSE(port.Open(link, locks.Path())) << "a live process holds the lock";
    ASSERT_TRUE(test::WriteFile(locks / "LCK..gps0", std::to_string(DeadPid()) + "\n"));
    EXPECT_TRUE(port.Open(link, locks.Path())) << "a stale lock";
    port.Close();
    std::filesystem::remove(locks / "LCK..gps0");
    const std::string device = pty.SlaveName().substr(pty.SlaveName().rfind('/') + 1);
    ASSERT_TRUE(test::WriteFile(locks / ("LCK.." + device), std::to_string(::getppid())));
    EXPECT_FALSE(port.Open(link, locks.Path())) << "locked under the name the link points to";

    ASSERT_TRUE(test::WriteFile(locks / "plain", "x"));
    EXPECT_FALSE(port.Open(locks / "plain", locks.Path())) << "not a terminal";
    EXPECT_FALSE(port.Open(locks / "missing", locks.Path()));
    EXPECT_FALSE(port.Open(std::string(256, '/') + "dev/null", locks.Path())) << "name too long";
    EXPECT_FALSE(port.IsOpen());
}

} // namespace
} // namespace tvn
