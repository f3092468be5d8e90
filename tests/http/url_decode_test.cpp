// Percent-decoding of URLs and query values, and the query-string split.
#include "http/request.h"

#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>

namespace tvn {
namespace {

TEST(DecodeUrl, EdgeCases) {
    struct Case {
        std::string_view in;
        bool plusToSpace;
        std::optional<std::string> out;
    };
    const Case cases[] = {
        {"/a%20b.txt", false, "/a b.txt"},
        {"/%41", false, "/A"},
        {"/%4a%4A", false, "/JJ"},          // both letter cases of a hex digit
        {"/%e4.html", false, "/\xE4.html"}, // a byte above 0x7F is kept as one byte
        {"/a+b.txt", false, "/a+b.txt"},    // the path keeps its plus signs
        {"a+b", true, "a b"},               // a query value turns them into spaces
        {"%2B", true, "+"},                 // an encoded plus stays a plus
        {"%%", false, "%"},
        {"%%41", false, "%41"}, // a replacement is never decoded again
        {"100%%", false, "100%"},
        {"%2541", false, "%41"}, // neither is the result of an escape
        {"", false, ""},
        {"%", false, std::nullopt}, // an escape cut short at the end
        {"/x%4", false, std::nullopt},
        {"/x%", true, std::nullopt},
        {"/a%00b", false, std::nullopt}, // a NUL byte would cut every later use short
        {"%G0", false, std::nullopt},    // not hex: 'G' counts 16, the byte wraps to 0
        {"%1G", false, " "},             // not hex, and not checked: 1 * 16 + 16
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.in));
        EXPECT_EQ(DecodeUrl(c.in, c.plusToSpace), c.out);
    }
}

TEST(ParseQueryString, Pairs) {
    using Params = std::map<std::string, std::string>;
    struct Case {
        std::string_view query;
        Params params;
        bool ok;
    };
    const Case cases[] = {
        {"name=a+b&y=%41", {{"name", "a b"}, {"y", "A"}}, true},
        {"a=1&a=2", {{"a", "2"}}, true},  // a repeated name: the last one wins
        {"a&b=1", {{"a&b", "1"}}, true},  // names are raw and may hold '&'
        {"a=1&tail", {{"a", "1"}}, true}, // a trailing part without '=' is ignored
        {"a=1&", {{"a", "1"}}, true},
        {"a%20b=c%20d", {{"a%20b", "c d"}}, true}, // names are not decoded
        {"=x", {{"", "x"}}, true},
        {"a=", {{"a", ""}}, true},
        {"a==b", {{"a", "=b"}}, true},
        {"", {}, true},
        {"novalue", {}, true},
        {"a=%4", {}, false}, // an escape cut short: no request
        {"a=1&b=%00", {{"a", "1"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.query));
        Params params;
        EXPECT_EQ(ParseQueryString(c.query, params), c.ok);
        EXPECT_EQ(params, c.params);
    }
}

} // namespace
} // namespace tvn
