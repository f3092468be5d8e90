#include "pages/page_wrap.h"
#include "pages/template_tags.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace tvn {
namespace {

TEST(TemplateTags, SectionsMatchLowercaseThenUppercaseNeverMixed) {
    struct Case {
        std::string_view text;
        bool withTags;
        std::string_view section;
    };
    const Case cases[] = {
        {"a<x>in</x>b", false, "in"},
        {"a<x>in</x>b", true, "<x>in</x>"},
        {"a<X>UP</X>b", false, "UP"},
        {"a<x>lo</X>b", false, "lo"},              // closing tag found in capitals
        {"a<X>in</x>b", false, "in"},              // each tag of the pair tries both spellings
        {"a<Xx>in</Xx>b", false, "a<Xx>in</Xx>b"}, // mixed case is never a tag
        {"no tags", false, "no tags"},
        {"</x>a<x>b", false, "</x>a<x>b"}, // a closing tag before the opening one makes no pair
        {"<x></x>", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(ExtractSection(c.text, "<x>", c.withTags), c.section);
    }
}

TEST(TemplateTags, ReplaceFirstAndAllPairs) {
    std::string text = "1<v>a</v>2<v>b</v>3";
    EXPECT_TRUE(ReplaceFirstPair(text, "<v>", "X"));
    EXPECT_EQ(text, "1X2<v>b</v>3");

    // Two pairs that follow each other directly are both replaced, also with a value
    // shorter than the pair.
    std::string adjacent = "<v></v><v></v>|<V>z</V>|<vV></vV>";
    ReplaceAllPairs(adjacent, "<v>", "y");
    EXPECT_EQ(adjacent, "yy|y|<vV></vV>");

    // A value that itself holds the tag is not replaced again.
    std::string nested = "<v></v>.";
    ReplaceAllPairs(nested, "<v>", "<v></v>");
    EXPECT_EQ(nested, "<v></v>.");

    std::string none = "plain";
    EXPECT_FALSE(ReplaceFirstPair(none, "<v>", "X"));
    EXPECT_EQ(none, "plain");
}

TEST(TemplateTags, EncodeLinkKeepsUrlSyntaxAndEncodesTheRest) {
    struct Case {
        std::string_view in;
        std::string_view out;
    };
    const Case cases[] = {
        {"/Album/My Photos", "/Album/My%20Photos"},
        {"/caf\xE9.txt", "/caf%E9.txt"},
        // Decoded names: "100% done.txt", "Track #1.txt" and "what?.txt" were listed with
        // links that answered 404.
        {"/a&b?c#d%e", "/a&b%3Fc%23d%25e"},
        {"/x\"y'z<w>", "/x%22y%27z%3Cw%3E"}, // quotes and angles cannot end the attribute
        {std::string_view("/\x01\x7f", 3), "/%01\x7f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.in));
        EXPECT_EQ(EncodeLink(c.in), c.out);
    }
}

TEST(TemplateTags, HtmlEscapingOfNames) {
    std::string out;
    AppendHtmlEscaped(out, "<script>a&\"b\"</script>");
    EXPECT_EQ(out, "&lt;script&gt;a&amp;&quot;b&quot;&lt;/script&gt;");
}

TEST(ListingValues, SizesInReadableUnits) {
    struct Case {
        long long bytes;
        std::string_view text;
    };
    const Case cases[] = {
        {-1, ""}, // folders have none
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {10188, "9.9 KB"}, // 9.949 KB
        {10189, "10 KB"},  // 9.950 KB would read "10.0"
        {1023 * 1024, "1023 KB"},
        {1024 * 1024 - 512, "1.0 MB"}, // 1023.5 KB would read "1024 KB"
        {5LL * 1024 * 1024 * 1024 + 3LL * 1024 * 1024 * 1024 / 10, "5.3 GB"},
        {700LL << 40, "700 TB"},
        {0x7fffffffffffffffLL, "8.0 EB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::string out = "|";
        AppendReadableSize(out, c.bytes);
        EXPECT_EQ(out, "|" + std::string(c.text));
    }
}

TEST(ListingValues, DatesInTheServersTimeZone) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    struct Case {
        const char* zone;
        long long seconds;
        std::string_view text;
    };
    const Case cases[] = {
        {"UTC", 0, "1970-01-01 00:00"},
        {"UTC", 1709251199, "2024-02-29 23:59"},
        {"UTC-2", 1709251199, "2024-03-01 01:59"}, // POSIX zones count west as positive
        {"UTC", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        std::string out;
        AppendListingDate(out, c.seconds);
        EXPECT_EQ(out, c.text);
    }
    if (saved)
        ::setenv("TZ", before.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(PlainText, BlankLinesBecomeParagraphsAndLineBreaksBreaks) {
    EXPECT_EQ(PlainTextToHtml("a\r\n\r\nb\r\nc"), "a<p>b<br>c");
    EXPECT_EQ(PlainTextToHtml("a\r\n\r\n\r\nb"), "a<p><br>b");
    // Files written on this platform end their lines with LF alone.
    EXPECT_EQ(PlainTextToHtml("a\n\nb\nc"), "a<p>b<br>c");
    EXPECT_EQ(PlainTextToHtml("a\r\n\nb\n\r\nc"), "a<p>b<p>c");
    EXPECT_EQ(PlainTextToHtml("lone\rcr"), "lone\rcr");
    EXPECT_EQ(PlainTextToHtml("<b>&</b>"), "<b>&</b>"); // an .htm without tags keeps markup
}

// A shared chat log holding "<script>" ran in the server's origin, where the browser also
// keeps the credentials of protected folders: text files are escaped.
TEST(PlainText, TextFileMarkupIsEscaped) {
    EXPECT_EQ(PlainTextToHtml("<script>x&y</script>\n>", true),
              "&lt;script&gt;x&amp;y&lt;/script&gt;<br>&gt;");
}

// The conversion replaced in place, moving the rest of the text at every line end: an
// 8 MiB text took seconds while every other visitor waited. It is one pass.
TEST(PlainText, ConversionIsLinearInTheLineCount) {
    const std::string text(8 << 20, '\n');
    const std::string html = PlainTextToHtml(text, true);
    EXPECT_EQ(html.size(), (8u << 20) / 2 * 3); // one "<p>" per pair of line ends
}

} // namespace
} // namespace tvn
