// Which fixes are kept and reported, the history file, and the reports on the wire.
#include "gps/gps.h"
#include "gps_fixture.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace tvn {
namespace {

constexpr GpsTimings kFast{10, 20, 2000};
constexpr const char* kFirstReport =
    "GET /zadizo/update.php?server=abc&time=123519&lon=11.516667&lat=48.117300&port=80 HTTP/1.1";

class LocationLog : public test::GpsTest {
  protected:
    void Fix(GPS& gps, int time, double lon, double lat) {
        gps.RecordFix(time, lon, lat, "t" + std::to_string(time), gps::FormatSignificant10(lon),
                      gps::FormatSignificant10(lat));
    }
    test::ReportServer server;
};

TEST_F(LocationLog, NewEnoughFixesAreKeptAndReported) {
    ASSERT_GT(server.Port(), 0);
    Set("GpsZadiZoURL", server.UrlTemplate());
    {
        GPS gps(kFast);
        gps.SetRelayName("abc", 80);
        struct Step {
            int time;
            double lon;
            double lat;
            std::size_t reports;
            std::size_t records;
        };
        const Step steps[] = {
            {1000, 11.0, 48.0, 0, 0}, // 00:10:00 is within 15 minutes of time 0
            {123519, 11.0 + 31.0 / 60, 48.1173, 1, 1},
            {124519, 12.0, 49.0, 1, 1},       // 10 minutes later
            {125100, 11.5171, 48.1173, 2, 1}, // 1581 later, but within 0.001 degrees
            {130700, 11.5171, 48.1183, 3, 2}, // 1600 later and 0.001 further
        };
        for (const Step& s : steps) {
            SCOPED_TRACE(s.time);
            Fix(gps, s.time, s.lon, s.lat);
            EXPECT_EQ(server.Requests().size(), s.reports);
            EXPECT_EQ(gps.History().size(), s.records);
        }
        ASSERT_GE(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0], kFirstReport);
        EXPECT_EQ(gps.History()[0], (GpsRecord{"t123519", "11.51666667", "48.1173"}));
    }
    // The settings hold the last recorded position and the last reported time.
    EXPECT_EQ(Get("GpsPrevTime"), "130700");
    EXPECT_EQ(Get("GpsPrevLon"), "11.5171");
    EXPECT_EQ(Get("GpsPrevLat"), "48.1183");
    EXPECT_EQ(test::ReadFile(dir / "gpsfix.log"),
              "t123519,11.51666667,48.1173,\r\nt130700,11.5171,48.1183,\r\n");
}

TEST_F(LocationLog, TheExampleSentenceIsReportedWithItsQuery) {
    Set("GpsZadiZoURL", server.UrlTemplate());
    GPS gps(kFast);
    gps.SetRelayName("abc", 80);
    gps.ParseSentence(test::kExample);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], kFirstReport);
}

TEST_F(LocationLog, NoReportWithoutANameOrWithAnOverlongUrl) {
    Set("GpsZadiZoURL", server.UrlTemplate());
    GPS gps(kFast);
    Fix(gps, 123519, 11.5, 48.1); // no name set
    gps.SetRelayName("abc", 80);
    gps.SetRelayName("", 80);
    Fix(gps, 133519, 11.6, 48.1);
    gps.SetRelayName(std::string(500, 'n'), 80);
    EXPECT_EQ(gps.ReportUrl(143519, 11.7, 48.1), "");
    Fix(gps, 143519, 11.7, 48.1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ(gps.History().size(), 3u) << "kept all the same";
}

TEST_F(LocationLog, AReportUrlTemplateIsNeverAFormat) {
    Set("GpsZadiZoURL", "http://127.0.0.1:" + std::to_string(server.Port()) + "/%s%n%x/%s?t=%d");
    GPS gps(kFast);
    gps.SetRelayName("abc", 80);
    EXPECT_EQ(gps.ReportUrl(1, 2, 3),
              "http://127.0.0.1:" + std::to_string(server.Port()) + "/abc%n%x/%s?t=1")
        << "a conversion other than the one expected next stays as written";
    Set("GpsZadiZoURL", "ftp://127.0.0.1:" + std::to_string(server.Port()) + "/%s");
    GPS ftp(kFast);
    ftp.SetRelayName("abc", 80);
    EXPECT_FALSE(ftp.Report(1, 2, 3)) << "http and https only";
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(LocationLog, TheHistoryKeepsItsNewestRecords) {
    struct Case {
        const char* maxFixes;
        std::size_t kept;
    };
    const Case cases[] = {{"20", 20}, {"3", 3}, {"0", 1}, {"-5", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxFixes);
        Set("GpsMaxFixes", c.maxFixes);
        Set("GpsPrevTime", "0"); // the last case's GPS wrote its own
        Set("GpsPrevLon", "0");
        std::string file;
        for (int i = 0; i < 25; ++i)
            file += "r" + std::to_string(i) + ",x,y,\r\n";
        ASSERT_TRUE(test::WriteFile(dir / "gpsfix.log", file));
        GPS gps(kFast);
        std::vector<GpsRecord> history = gps.History();
        ASSERT_EQ(history.size(), c.kept) << "applied when loaded";
        EXPECT_EQ(history.back()[0], "r24");
        EXPECT_EQ(history.front()[0], "r" + std::to_string(25 - c.kept));
        Fix(gps, 123519, 11.5, 48.1);
        history = gps.History();
        ASSERT_EQ(history.size(), c.kept) << "and when a record is added";
        EXPECT_EQ(history.back()[0], "t123519");
        if (c.kept > 1) {
            EXPECT_EQ(history.front()[0], "r" + std::to_string(26 - c.kept));
        }
    }
}

TEST_F(LocationLog, TheHistoryFileRoundTrips) {
    ASSERT_TRUE(test::WriteFile(dir / "gpsfix.log", "a,b,,c,\r\n,,d\n12:35:19 UTC,11.51666667,"
                                                    "48.1173,\r\n\r\nw,x,y,z,\r\n"));
    {
        GPS gps(kFast);
        EXPECT_EQ(gps.HistoryFile(), dir / "gpsfix.log");
        const std::vector<GpsRecord> history = gps.History();
        ASSERT_EQ(history.size(), 4u);
        EXPECT_EQ(history[0], (GpsRecord{"a", "b", "c"}));
        EXPECT_EQ(history[1], (GpsRecord{"d", "", ""}));
        EXPECT_EQ(history[2], (GpsRecord{"12:35:19 UTC", "11.51666667", "48.1173"}));
        EXPECT_EQ(history[3], (GpsRecord{"w", "x", "y"}));
    }
    EXPECT_EQ(test::ReadFile(dir / "gpsfix.log"),
              "a,b,c,\r\nd,\r\n12:35:19 UTC,11.51666667,48.1173,\r\nw,x,y,z,\r\n");
}

// The file was created anew and written in place: a failed write left a cut history.
TEST_F(LocationLog, AFailedSaveLeavesTheOldHistory) {
    ASSERT_TRUE(test::WriteFile(dir / "gpsfix.log", "a,b,c,\r\n"));
    GPS gps(kFast);
    Fix(gps, 123519, 11.5, 48.1);
    std::filesystem::create_directory(dir / "gpsfix.log.tmp"); // the temporary cannot be made
    EXPECT_FALSE(gps.SaveHistory());
    EXPECT_EQ(test::ReadFile(dir / "gpsfix.log"), "a,b,c,\r\n");
    std::filesystem::remove(dir / "gpsfix.log.tmp");
    EXPECT_TRUE(gps.SaveHistory());
    EXPECT_EQ(test::ReadFile(dir / "gpsfix.log"), "a,b,c,\r\nt123519,11.5,48.1,\r\n");
}

TEST_F(LocationLog, SettingsAreReadInTheCLocale) {
    test::DecimalCommaLocale german;
    if (!german.Active())
        GTEST_SKIP() << "no de_DE locale here and none could be made in a private folder";
    Set("GpsZadiZoURL", server.UrlTemplate());
    Set("GpsLogDistPrec", "0.5");
    Set("GpsPrevLon", "11.2");
    {
        GPS gps(kFast);
        gps.SetRelayName("abc", 80);
        Fix(gps, 123519, 11.0 + 31.0 / 60, 48.1173);
        EXPECT_EQ(gps.History().size(), 1u);
        Fix(gps, 133519, 11.6, 48.2); // 0.1 further from (0, 0): within 0.5, not 0
        EXPECT_EQ(gps.History().size(), 1u);
    }
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[0], kFirstReport);
    EXPECT_EQ(Get("GpsPrevLon"), "11.51666667");
}

} // namespace
} // namespace tvn
