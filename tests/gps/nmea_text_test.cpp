// The reader's texts: numbers in the C locale, templates, lines and history lines.
#include "gps/detail/nmea.h"
#include "gps_fixture.h"

#include <climits>
#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tvn::gps {
namespace {

void ExpectNumbers() {
    const struct {
        const char* text;
        double value;
    } reals[] = {
        {"0.001", 0.001}, {" 50.0x", 50.0}, {"+1.5", 1.5}, {"-2", -2.0}, {"abc", 0.0},
        {"", 0.0},        {"1e2", 100.0},   {".5", 0.5},   {"+-1", 0.0}, {"60", 60.0},
    };
    for (const auto& c : reals)
        EXPECT_DOUBLE_EQ(LeadingReal(c.text), c.value) << c.text;
    const struct {
        const char* text;
        int value;
    } ints[] = {
        {"123519.00", 123519},     {" -7", -7}, {"x1", 0}, {"", 0}, {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN}, {"+08", 8},
    };
    for (const auto& c : ints)
        EXPECT_EQ(LeadingInt(c.text), c.value) << c.text;
    const struct {
        double value;
        const char* text;
    } texts[] = {
        {48.0 + 7.038 / 60, "48.1173"},
        {11.0 + 31.0 / 60, "11.51666667"},
        {-0.5, "-0.5"},
        {0.5, "0.5"},
        {48.0, "48"},
        {0.0, "0"},
        {-0.0, "0"},
        {9.99999999999, "10"},
        {123456789012.0, "123456789012"},
        {0.000123456789012, "0.000123456789"},
        {-179.9999999, "-179.9999999"},
        {-179.99999999, "-180"},
    };
    for (const auto& c : texts)
        EXPECT_EQ(FormatSignificant10(c.value), c.text) << c.text;
    EXPECT_EQ(FormatFixed6(60), "60.000000");
    EXPECT_EQ(FormatFixed6(-11.51666667), "-11.516667");
    EXPECT_EQ(FormatFixed6(48.1173), "48.117300");
}

TEST(NmeaNumbers, ReadAndWrittenAsInTheCLocale) { ExpectNumbers(); }

// Qt sets the process locale from the environment: with a German one, atof read "0.001"
// as 0 and printf wrote "60,000000" into the GPS log and "11,516667" into report URLs.
TEST(NmeaNumbers, TheSameUnderADecimalCommaLocale) {
    test::DecimalCommaLocale german;
    if (!german.Active())
        GTEST_SKIP() << "no de_DE locale here and none could be made in a private folder";
    ExpectNumbers();
}

TEST(NmeaTemplate, OnlyTheExpectedConversionsAreFilled) {
    struct Case {
        const char* pattern;
        std::string out;
    };
    const Case ports[] = {
        {"/dev/ttyUSB%d", "/dev/ttyUSB3"},
        {"/dev/%s", "/dev/%s"}, // a %s with no text behind it must not be read
        {"/dev/%n%d", "/dev/%n3"},
        {"/dev/x%d%d", "/dev/x3%d"},
        {"100%%/x%d", "100%/x3"},
        {"tail%", "tail%"},
        {"plain", "plain"},
    };
    for (const Case& c : ports)
        EXPECT_EQ(FillTemplate(c.pattern, {{'d', "3"}}), c.out) << c.pattern;
    EXPECT_EQ(
        FillTemplate(
            "http://h/u?server=%s&time=%d&lon=%f&lat=%f&port=%d",
            {{'s', "abc"}, {'d', "123519"}, {'f', "11.516667"}, {'f', "48.117300"}, {'d', "80"}}),
        "http://h/u?server=abc&time=123519&lon=11.516667&lat=48.117300&port=80");
    EXPECT_EQ(FillTemplate("%s%s%d", {{'s', "a"}, {'d', "1"}}), "a%s1");
}

TEST(NmeaLines, CutAtRunsOfLineBreaks) {
    std::string pending;
    std::vector<std::string> lines;
    const auto take = [&](std::string_view bytes) {
        return TakeLines(pending, bytes, [&](std::string_view line) { lines.emplace_back(line); });
    };
    EXPECT_EQ(take("$GPGGA,1235"), 0u);
    EXPECT_EQ(pending, "$GPGGA,1235");
    EXPECT_EQ(take("19*47\r\n\r\nB\nC"), 2u);
    EXPECT_EQ(lines, (std::vector<std::string>{"$GPGGA,123519*47", "B"}));
    EXPECT_EQ(pending, "C");
    lines.clear();
    // A CR LF split between two reads: the LF begins the next read and ends an empty line.
    EXPECT_EQ(take("\r"), 1u);
    EXPECT_EQ(take("\nD\r\n"), 2u);
    EXPECT_EQ(lines, (std::vector<std::string>{"C", "", "D"}));
    EXPECT_EQ(pending, "");

    // Every prefix of two lines gives the lines whose break has come, and no more.
    const std::string whole = "AB\r\nCD\r\n";
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        pending.clear();
        lines.clear();
        take(std::string_view(whole).substr(0, cut));
        take(std::string_view(whole).substr(cut));
        const std::vector<std::string> joined{"AB", "CD"};
        std::vector<std::string> nonEmpty;
        for (const std::string& line : lines)
            if (!line.empty())
                nonEmpty.push_back(line);
        EXPECT_EQ(nonEmpty, joined) << cut;
        EXPECT_EQ(pending, "") << cut;
    }
}

TEST(NmeaLines, PendingInputKeepsItsNewest64KiB) {
    std::string pending;
    int taken = 0;
    const std::string bytes = test::PatternBytes(100 * 1024);
    std::string noBreaks = bytes;
    for (char& c : noBreaks)
        if (c == '\r' || c == '\n')
            c = 'x';
    TakeLines(pending, noBreaks, [&](std::string_view) { ++taken; });
    EXPECT_EQ(taken, 0);
    ASSERT_EQ(pending.size(), kMaxPendingBytes);
    EXPECT_EQ(pending, noBreaks.substr(noBreaks.size() - kMaxPendingBytes));
}

TEST(NmeaChecksum, FromTheSecondCharacterToTheStar) {
    EXPECT_EQ(SentenceChecksum(test::kExample), 0x47);
    EXPECT_EQ(SentenceChecksum("$A"), 'A');
    EXPECT_EQ(SentenceChecksum("$AB*C"), 'A' ^ 'B');
    EXPECT_EQ(SentenceChecksum(""), 0);
    EXPECT_EQ(UpToNul(std::string_view("ab\0cd", 5)), "ab");
}

TEST(NmeaHistoryLine, SplitAtCommasAndWrittenWithOneAfterEachText) {
    struct Case {
        const char* line;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"a,b,,c,", {"a", "b", "c"}},
        {",,a", {"a"}},
        {"", {}},
        {",,,", {}},
        {"12:35:19 UTC,11.51666667,48.1173,", {"12:35:19 UTC", "11.51666667", "48.1173"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitHistoryLine(c.line), c.texts) << c.line;
    EXPECT_EQ(FormatHistoryLine({"12:35:19 UTC", "11.51666667", "48.1173"}),
              "12:35:19 UTC,11.51666667,48.1173,\r\n");
}

} // namespace
} // namespace tvn::gps
