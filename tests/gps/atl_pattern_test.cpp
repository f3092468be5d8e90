// The NMEA settings' pattern syntax, read through PCRE2.
#include "gps/detail/atl_pattern.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace tvn::gps {
namespace {

using Groups = std::optional<std::vector<std::string>>;

TEST(AtlPattern, DefaultsTakeTheirGroups) {
    const AtlPattern sentence("\\$GPGGA,{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},"
                              "[^,]*?,{[^,]*?},[^\\*]+?\\*{\\h\\h}",
                              8);
    const Groups found =
        sentence.Search("xx$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (std::vector<std::string>{"123519", "4807.038", "N", "01131.000", "E", "1",
                                                "0.9", "47"}));

    const AtlPattern coordinate("{\\-?\\d?\\d\\d}{\\d\\d\\.\\d+}", 2);
    EXPECT_EQ(coordinate.Search("4807.038"), Groups({"48", "07.038"}));
    EXPECT_EQ(coordinate.Search("-01131.000"), Groups({"-011", "31.000"}));
    EXPECT_EQ(coordinate.Search("0030.5"), Groups({"00", "30.5"}));
    const AtlPattern time("{\\d\\d}{\\d\\d}{\\d\\d}.*", 3);
    EXPECT_EQ(time.Search("123519.00"), Groups({"12", "35", "19"}));
    EXPECT_EQ(time.Search("1235"), std::nullopt);
}

TEST(AtlPattern, Syntax) {
    struct Case {
        const char* pattern;
        int groups;
        std::string text;
        Groups out;
    };
    const Case cases[] = {
        {"{a}(b)c", 1, "xabc", Groups({"a"})}, // parentheses group without capturing
        {"{a}(b)+", 1, "abbb", Groups({"a"})},
        {"^{a}", 1, "ba", std::nullopt}, // anchored only with '^'
        {"^{a}", 1, "ab", Groups({"a"})},
        {"{b}", 1, "ab", Groups({"b"})}, // otherwise searched anywhere
        {"{a}$", 1, "aab", std::nullopt},
        {"{.*},", 1, "ab,cd,", Groups({"ab,cd"})}, // greedy
        {"{.*?},", 1, "ab,cd,", Groups({"ab"})},   // non-greedy
        {"{a+?}", 1, "caaa", Groups({"a"})},
        {"{a??}b", 1, "ab", Groups({"a"})},
        {"{x?}{y}", 2, "y", Groups({"", "y"})},
        {"{\\d+}", 1, "ab12c", Groups({"12"})},
        {"{\\h+}", 1, "xyzAf9g", Groups({"Af9"})},
        {"{\\a+}", 1, "--aZ9_", Groups({"aZ9"})},
        {"{\\b+}", 1, "x \t y", Groups({" \t "})},
        {"{\\c+}", 1, "12ab3", Groups({"ab"})},
        {"{\\w}", 1, "12abC3", Groups({"abC"})},
        {"{\\z}", 1, "ab123c", Groups({"123"})},
        {"{\\q}", 1, "say \"hi\" x", Groups({"\"hi\""})},
        {"{\\q}", 1, "it's 'a'", Groups({"'s '"})},
        {"a{\\n}b", 1, "a\r\nb", Groups({"\r\n"})},
        {"a{\\n}b", 1, "a\rb", Groups({"\r"})},
        {"{\\.}", 1, "ab.c", Groups({"."})}, // `\` makes the next character literal
        {"{.}", 1, "\n", Groups({"\n"})},
        {"\\{{x}\\}", 1, "{x}", Groups({"x"})},
        {"\\({x}\\)", 1, "(x)", Groups({"x"})},
        {"{\\$\\^}", 1, "a$^", Groups({"$^"})},
        {"{[^\\*]+}", 1, "ab*c", Groups({"ab"})},
        {"{[a-c]+}", 1, "xxbcad", Groups({"bca"})},
        {"{[[:]+}", 1, "a[:b", Groups({"[:"})},
        {"{a|b}", 1, "xb", Groups({"b"})},
        {"{A}", 1, "a", std::nullopt},                     // case-sensitive
        {"{\xe9+}", 1, "x\xe9\xe9", Groups({"\xe9\xe9"})}, // bytes stay bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        const AtlPattern pattern(c.pattern, c.groups);
        ASSERT_TRUE(pattern.Usable());
        EXPECT_EQ(pattern.Search(c.text), c.out);
    }
}

TEST(AtlPattern, NotAPatternOrTheWrongGroupCountIsUnusable) {
    struct Case {
        const char* pattern;
        int groups;
    };
    const Case cases[] = {
        {"{a", 1},  {"a}", 0},   {"a\\", 0}, {"[ab", 0},    {"*a", 0},  {"a**", 0},
        {"a*+", 0}, {"a+*?", 0}, {"(a", 0},  {"{a}{b}", 1}, {"{a}", 2}, {"(a)", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        const AtlPattern pattern(c.pattern, c.groups);
        EXPECT_FALSE(pattern.Usable());
        EXPECT_EQ(pattern.Search("a{a}ab*"), std::nullopt);
    }
    EXPECT_FALSE(AtlPattern().Usable());
}

// A matcher that recursed once per character overflowed the stack on a long line.
TEST(AtlPattern, AHundredKilobyteLineIsSearchedWithoutHarm) {
    const std::string line(100 * 1024, 'a');
    EXPECT_EQ(AtlPattern("{a*}b", 1).Search(line), std::nullopt);
    EXPECT_EQ(AtlPattern("{(a|aa)*}b", 1).Search(line), std::nullopt);
    const Groups all = AtlPattern("{a+}", 1).Search(line);
    ASSERT_TRUE(all);
    EXPECT_EQ((*all)[0].size(), line.size());
    const std::string commas = "$GPGGA" + std::string(100 * 1024, ',');
    EXPECT_EQ(
        AtlPattern("\\$GPGGA,{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},[^,]*?,{[^,]"
                   "*?},[^\\*]+?\\*{\\h\\h}",
                   8)
            .Search(commas),
        std::nullopt);
}

} // namespace
} // namespace tvn::gps
