// HTTP dates in both directions.
#include "http/http_date.h"
#include "support/temp_dir.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace tvn {
namespace {

std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return ::timegm(&t);
}

TEST(FormatHttpDate, Forms) {
    struct Case {
        std::time_t when;
        long offset;
        std::string text;
    };
    const Case cases[] = {
        {Utc(2026, 12, 7, 1, 2, 3), 86400, "Tue, 08 Dec 2026 01:02:03 GMT"},
        {Utc(2026, 12, 7, 1, 2, 3), 0, "Mon, 07 Dec 2026 01:02:03 GMT"},
        {Utc(1994, 11, 6, 8, 49, 37), 0, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {Utc(2024, 2, 28, 23, 59, 59), 1, "Thu, 29 Feb 2024 00:00:00 GMT"}, // leap day
        {Utc(2000, 1, 1, 0, 0, 0), -1, "Fri, 31 Dec 1999 23:59:59 GMT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FormatHttpDate(c.when, c.offset), c.text);
    }
}

// Every day, month and year boundary, leap days and the years of fewer or more than four
// digits come out in the same form: day and month names in English, the day of the month
// in two digits, the year in as many as it has.
TEST(FormatHttpDate, YearBoundariesAndLeapDays) {
    struct Case {
        std::time_t when;
        long offset;
        std::string text;
    };
    const Case cases[] = {
        {Utc(1969, 12, 31, 23, 59, 59), 1, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {0, 0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {Utc(1999, 12, 31, 23, 59, 59), 1, "Sat, 01 Jan 2000 00:00:00 GMT"},
        {Utc(2024, 12, 31, 23, 59, 59), 1, "Wed, 01 Jan 2025 00:00:00 GMT"},
        {Utc(2000, 2, 28, 23, 59, 59), 1, "Tue, 29 Feb 2000 00:00:00 GMT"}, // divisible by 400
        {Utc(2000, 2, 29, 23, 59, 59), 1, "Wed, 01 Mar 2000 00:00:00 GMT"},
        {Utc(1900, 2, 28, 12, 0, 0), 86400, "Thu, 01 Mar 1900 12:00:00 GMT"}, // by 100 only
        {Utc(2100, 2, 28, 12, 0, 0), 86400, "Mon, 01 Mar 2100 12:00:00 GMT"},
        {Utc(2023, 2, 28, 12, 0, 0), 86400, "Wed, 01 Mar 2023 12:00:00 GMT"},
        {Utc(2024, 2, 28, 12, 0, 0), 86400, "Thu, 29 Feb 2024 12:00:00 GMT"},
        {Utc(2038, 1, 19, 3, 14, 7), 1, "Tue, 19 Jan 2038 03:14:08 GMT"}, // past 32 bits
        {Utc(1901, 12, 13, 20, 45, 52), 0, "Fri, 13 Dec 1901 20:45:52 GMT"},
        {Utc(999, 12, 31, 23, 59, 59), 0, "Tue, 31 Dec 999 23:59:59 GMT"},
        {Utc(999, 12, 31, 23, 59, 59), 1, "Wed, 01 Jan 1000 00:00:00 GMT"},
        {Utc(9999, 12, 31, 23, 59, 59), 0, "Fri, 31 Dec 9999 23:59:59 GMT"},
        {Utc(9999, 12, 31, 23, 59, 59), 1, "Sat, 01 Jan 10000 00:00:00 GMT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FormatHttpDate(c.when, c.offset), c.text);
    }
}

// A program started from a German desktop session must still send English day and month
// names: browsers understand no others. A formatter built on the C library's strftime
// would follow LC_TIME.
TEST(FormatHttpDate, NamesStayEnglishInAnotherLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"};
    const char* chosen = nullptr;
    for (const char* name : names) {
        if (std::setlocale(LC_ALL, name)) {
            chosen = name;
            break;
        }
    }
    test::TempDir locales;
    if (!chosen && std::system("command -v localedef >/dev/null 2>&1") == 0) {
        // No German locale installed: build one for this test alone.
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + (locales / "de_DE.UTF-8") + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) {
            ::setenv("LOCPATH", locales.Path().c_str(), 1);
            if (std::setlocale(LC_ALL, "de_DE.UTF-8"))
                chosen = "de_DE.UTF-8";
        }
    }
    if (!chosen) {
        ::unsetenv("LOCPATH");
        GTEST_SKIP() << "no German or French locale is available, and none could be built";
    }
    char localName[64] = {};
    std::tm december{};
    december.tm_mday = 7;
    december.tm_mon = 11;
    december.tm_year = 126;
    december.tm_wday = 1;
    std::strftime(localName, sizeof localName, "%a %b", &december);
    const std::string text = FormatHttpDate(Utc(2026, 12, 7, 1, 2, 3), 86400);
    std::setlocale(LC_ALL, before.c_str());
    ::unsetenv("LOCPATH");
    EXPECT_NE(std::string(localName), "Mon Dec") << "the locale " << chosen << " did not apply";
    EXPECT_EQ(text, "Tue, 08 Dec 2026 01:02:03 GMT");
}

TEST(ParseHttpDate, Forms) {
    const std::time_t nov6 = Utc(1994, 11, 6, 8, 49, 37);
    struct Case {
        std::string text;
        std::optional<std::time_t> when;
    };
    const Case cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", nov6},                        // RFC 1123
        {"Sunday, 06-Nov-94 08:49:37 GMT", nov6},                       // RFC 850
        {"Sun Nov  6 08:49:37 1994", nov6},                             // asctime
        {"sun, 06 NOV 1994 08:49:37 GMT", nov6},                        // month in any case
        {"Sun, 06 Nov 1994", Utc(1994, 11, 6, 0, 0, 0)},                // cut after the year
        {"Thursday, 01-Jan-26 00:00:00 GMT", Utc(2026, 1, 1, 0, 0, 0)}, // below 51: 20xx
        {"Friday, 01-Jan-51 00:00:00 GMT", Utc(1951, 1, 1, 0, 0, 0)},   // 51 and up: 19xx
        {"Mon, 07 Dec 2026 01:02:03 GMT", Utc(2026, 12, 7, 1, 2, 3)},
        {"Sun", std::nullopt}, // shorter than four
        {"", std::nullopt},
        {"Sunday 06-Nov-94 08:49:37 GMT", std::nullopt}, // RFC 850 without ", "
        {"Sun, 06 Xyz 1994 08:49:37 GMT", std::nullopt}, // no such month
        {"Sun, 00 Nov 1994 08:49:37 GMT", std::nullopt}, // day 0
        {"Sun, 32 Nov 1994 08:49:37 GMT", std::nullopt}, // day above 31
        {"Sun, 06 Nov 1994 24:49:37 GMT", std::nullopt}, // hour above 23
        {"Sun, 06 Nov 1994 08:60:37 GMT", std::nullopt}, // minute above 59
        {"Sun, 06 Nov 1994 08:49:60 GMT", std::nullopt}, // second above 59
        {"Sun, 06 Nov 0000 08:49:37 GMT", std::nullopt}, // year 0
        {"Sun, 06 Nov 1899 08:49:37 GMT", std::nullopt}, // before 1900
        {"Sun, 06 Nov 1994 0a:49:37 GMT", std::nullopt}, // 'a' read as a digit: hour 49
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseHttpDate(c.text), c.when);
    }
}

// "Sat, 31 Feb 2024" was read as 2 March: timegm carries a day the month lacks into the next
// month, and only the minute was compared afterwards. An If-Modified-Since of a day that never
// was is no date, whichever of the three forms it takes.
TEST(ParseHttpDate, DayTheMonthLacksIsNoDate) {
    struct Case {
        std::string text;
        std::optional<std::time_t> when;
    };
    const Case cases[] = {
        {"Sat, 31 Feb 2024 00:00:00 GMT", std::nullopt},
        {"Thu, 29 Feb 2024 12:00:00 GMT", Utc(2024, 2, 29, 12, 0, 0)}, // a leap year has it
        {"Thu, 29 Feb 2023 12:00:00 GMT", std::nullopt},
        {"Tue, 29 Feb 2000 00:00:00 GMT", Utc(2000, 2, 29, 0, 0, 0)}, // divisible by 400
        {"Thu, 29 Feb 1900 00:00:00 GMT", std::nullopt},              // by 100 only
        {"Mon, 31 Apr 2023 08:00:00 GMT", std::nullopt},
        {"Sun, 30 Apr 2023 08:00:00 GMT", Utc(2023, 4, 30, 8, 0, 0)},
        {"Friday, 31-Jun-22 10:00:00 GMT", std::nullopt},
        {"Fri Sep 31 10:00:00 2021", std::nullopt},
        {"Fri Dec 31 23:59:59 9999", Utc(9999, 12, 31, 23, 59, 59)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseHttpDate(c.text), c.when);
    }
}

// What the server writes it must read back: Last-Modified comes back as If-Modified-Since.
TEST(ParseHttpDate, ReadsWhatFormatWrites) {
    const std::time_t times[] = {0, 784111777, 1796605323, 951782399, 4102444799};
    for (std::time_t when : times) {
        SCOPED_TRACE(when);
        EXPECT_EQ(ParseHttpDate(FormatHttpDate(when)), when);
    }
}

} // namespace
} // namespace tvn
