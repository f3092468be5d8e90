// The relay's location service without sockets: reports kept per server name, what a ZadiZo
// page is answered, and what hostile queries cannot do.
#include "tools/relay/location_book.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn::relay {
namespace {

using namespace std::chrono_literals;

constexpr Millis kStart = 1000000ms;

// The report of the reporter's own format, "server=%s&time=%d&lon=%f&lat=%f&port=%d".
std::string Report(const std::string& server, double lon, double lat, int time = 123519) {
    char text[256];
    std::snprintf(text, sizeof text, "server=%s&time=%d&lon=%f&lat=%f&port=80", server.c_str(),
                  time, lon, lat);
    return text;
}

// The text between "var NAME = [" and "];" of a script answer.
std::string Array(const std::string& script, const std::string& name) {
    const std::string start = "var " + name + " = [";
    const auto at = script.find(start);
    if (at == std::string::npos)
        return "<missing>";
    const auto end = script.find("];", at);
    return script.substr(at + start.size(), end - at - start.size());
}

TEST(LocationBook, ReportThenRequestGivesEveryArray) {
    CLocationBook book;
    const auto kept =
        book.Update("server=abc&time=123519&lon=11.516667&lat=48.117300&port=80", kStart);
    EXPECT_EQ(kept.status, 200);
    const auto answer = book.Request("time=3600&max=20&prec=1&lon=11.5&lat=48.1", kStart + 1s);
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.contentType, "application/javascript");
    EXPECT_EQ(answer.body, "var lats = [48.1];\nvar lons = [11.5];\n"
                           "var times = [\"12:35:19 UTC\"];\nvar servers = [\"abc\"];\n");

    // Without prec the places keep six decimals; a name reported again has one entry, the
    // newest, and a port other than 80 goes with the name.
    EXPECT_EQ(
        book.Update("server=ABC.&time=124519&lon=-0.5&lat=1.25&port=8080", kStart + 2s).status,
        200);
    const auto again = book.Request("lon=0&lat=0", kStart + 3s);
    EXPECT_EQ(Array(again.body, "lats"), "1.250000");
    EXPECT_EQ(Array(again.body, "lons"), "-0.500000");
    EXPECT_EQ(Array(again.body, "servers"), "\"abc:8080\"");
    EXPECT_EQ(book.Size(), 1u);
}

TEST(LocationBook, WindowMaximumAndNearestFirst) {
    CLocationBook book;
    book.Update(Report("old.example", 10.0, 50.0), kStart);
    book.Update(Report("far.example", 40.0, 50.0), kStart + 1000s);
    book.Update(Report("near.example", 10.1, 50.0), kStart + 2000s);
    book.Update(Report("middle.example", 12.0, 50.0), kStart + 3000s);
    const Millis now = kStart + 3601s; // old.example reported 3601 s ago
    EXPECT_EQ(Array(book.Request("time=3600&lon=10&lat=50", now).body, "servers"),
              "\"near.example\", \"middle.example\", \"far.example\"");
    EXPECT_EQ(Array(book.Request("time=3601&max=2&lon=10&lat=50", now).body, "servers"),
              "\"old.example\", \"near.example\"");
    EXPECT_EQ(Array(book.Request("time=700&max=5&lon=39&lat=50", now).body, "servers"),
              "\"middle.example\"");
    EXPECT_EQ(Array(book.Request("time=3600&max=0&lon=10&lat=50", now).body, "servers"), "");
    // Nearest across the date line, where longitudes far apart in number are close.
    book.Update(Report("east.example", 179.9, 0), now);
    book.Update(Report("mid.example", 100, 0), now);
    EXPECT_EQ(Array(book.Request("max=1&lon=-179.9&lat=0", now).body, "servers"),
              "\"east.example\"");
}

TEST(LocationBook, BoundedOldestReportGoesFirst) {
    CLocationBook book;
    // s0, s1 and s2 report from here, everybody else from far away.
    for (std::size_t i = 0; i < CLocationBook::kMaxServers; ++i)
        book.Update(Report("s" + std::to_string(i), i < 3 ? 0 : 50, 0), kStart + Millis(i));
    EXPECT_EQ(book.Size(), CLocationBook::kMaxServers);
    book.Update(Report("s0", 0, 0), kStart + 20000ms); // s0 is the newest now; s1 the oldest
    book.Update(Report("newcomer", 0, 0), kStart + 20001ms);
    EXPECT_EQ(book.Size(), CLocationBook::kMaxServers);
    EXPECT_EQ(Array(book.Request("max=3&lon=0&lat=0", kStart + 20002ms).body, "servers"),
              "\"newcomer\", \"s0\", \"s2\"");

    // A day later nothing is kept.
    book.Update(Report("late", 0, 0), kStart + CLocationBook::kKeep + 30000ms);
    EXPECT_EQ(book.Size(), 1u);
}

TEST(LocationBook, HostileReportsAreRefusedAndKeepNothing) {
    const std::string hostile[] = {
        "server=a%22%29%3Balert(1)%2F%2F&time=1&lon=1&lat=1&port=80", // a"));alert(1)//
        "server=%3C%2Fscript%3E&time=1&lon=1&lat=1&port=80",          // </script>
        "server=a%0D%0Ab&time=1&lon=1&lat=1&port=80",
        "server=" + std::string(254, 'a') + "&time=1&lon=1&lat=1&port=80",
        "server=a&time=1&lon=nan&lat=1&port=80",
        "server=a&time=1&lon=1e999&lat=1&port=80",
        "server=a&time=1&lon=180.5&lat=1&port=80",
        "server=a&time=1&lon=1,5&lat=1&port=80",
        "server=a&time=1&lon=%201&lat=1&port=80",
        "server=a&time=1&lon=0x10&lat=1&port=80",
        "server=a&time=1&lon=1&lat=1&port=0",
        "server=a&time=1&lon=1&lat=1&port=99999999999999999999",
        "server=a&time=240000&lon=1&lat=1&port=80",
        "server=a&time=126000&lon=1&lat=1&port=80",
        "server=a&time=1&lon=1&lat=1",
        "server=a&time=1&lon=1&lat=1&port=80&x=%G0",
    };
    CLocationBook book;
    for (const std::string& query : hostile) {
        SCOPED_TRACE(query);
        const auto answer = book.Update(query, kStart);
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body.find('<'), std::string::npos);
    }
    EXPECT_EQ(book.Size(), 0u);
    // The edges that are still a report: the longest name, the date line, the last second.
    EXPECT_EQ(
        book.Update("server=" + std::string(253, 'a') + "&time=235959&lon=-180&lat=90&port=65535",
                    kStart)
            .status,
        200);
}

TEST(LocationBook, MalformedRequestsAreRefused) {
    CLocationBook book;
    book.Update(Report("abc", 1, 1), kStart);
    const std::string refused[] = {"time=-5&lon=1&lat=1", "max=1.5&lon=1&lat=1",
                                   "prec=%&lon=1&lat=1",  "lon=1",
                                   "lon=nan&lat=1",       "lon=1&lat=91"};
    for (const std::string& query : refused) {
        SCOPED_TRACE(query);
        EXPECT_EQ(book.Request(query, kStart).status, 400);
    }
    // Counts beyond their range are taken at the range's end, not refused.
    const auto wide = book.Request("time=99999999&max=99999999&prec=50&lon=1&lat=1", kStart);
    ASSERT_EQ(wide.status, 200);
    EXPECT_EQ(Array(wide.body, "lats"), "1.000000");
}

TEST(LocationBook, JavaScriptStringCannotBreakOut) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"home.example", "\"home.example\""},
        {"a\"b", "\"a\\x22b\""},
        {"a'b", "\"a\\x27b\""},
        {"a\\", "\"a\\x5C\""},
        {"</script><script>", "\"\\x3C/script\\x3E\\x3Cscript\\x3E\""},
        {"a\r\nb", "\"a\\x0D\\x0Ab\""},
        {"a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         "\"a\\u2028b\\u2029\""},
        {"\xC3\xA9", "\"\xC3\xA9\""}, // other UTF-8 stays as it is
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(JavaScriptString(c.in), c.out);
    }
}

} // namespace
} // namespace tvn::relay
