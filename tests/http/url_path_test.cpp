// The URL-path helpers of the GET path: canonical form, tail split, dot-folders and the
// percent-encodings of paths written back out.
#include "http/url_path.h"
#include "platform/text.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

TEST(EncodeForLocation, Bytes) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"/my folder/\xE4.html", "/my%20folder/%E4.html"},
        // The text is a decoded URL: '%', '?' and '#' in it are part of names.
        {"/100%/what?#1", "/100%25/what%3F%231"},
        {"/a/b-c_d.e~f", "/a/b-c_d.e~f"},
        {std::string("/\x01\x1F\x20\x21\x7E\x7F\x80\xFF", 9), "/%01%1F%20!~\x7F%80%FF"},
        {std::string("\0", 1), "%00"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(EncodeForLocation(c.in), c.out);
    }
}

TEST(CanonicalizePath, Table) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"/a/b", "/a/b"},
        {"/a/../b", "/b"},
        {"/a/../../x", "/x"},       // ".." above the top is dropped
        {"/a/./b.txt", "/a/b.txt"}, // "." goes: one name, one target (and one cache key)
        {"/./.", "/"},
        {"/a/.", "/a"},
        {"/a//b", "/a/b"},
        {"\\a\\b\\", "/a/b/"}, // backslashes are separators too
        {"/a\\..\\b", "/b"},
        {"a/b", "a/b"}, // relative stays relative
        {"/a/b/", "/a/b/"},
        {"/a/..", "/"},
        {"/a/../", "/"},
        {"/", "/"},
        {"//", "/"},
        {"", ""},
        {"..", ""},
        {"../", "/"},                 // nothing kept, but it ended in a separator
        {"/...", "/..."},             // three dots are a name
        {"/a./..b/.c", "/a./..b/.c"}, // dots inside names
        {"/a/b/..", "/a"},
        {"/a/b/.", "/a/b"},
        {"./a", "a"},
        {"/a/", "/a/"},
        {"/a\\", "/a/"},
        {"a//", "a/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(CanonicalizePath(c.in), c.out);
    }
}

TEST(SplitTail, Table) {
    struct Case {
        std::string path, rest, tail;
    };
    const Case cases[] = {
        {"/a/b", "/a", "/b"}, {"/a/b/", "/a/b", "/"}, {"/a", "", "/a"},
        {"a", "", "a"},       {"/", "", "/"},         {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string path = c.path;
        EXPECT_EQ(SplitTail(path), c.tail);
        EXPECT_EQ(path, c.rest);
    }
}

TEST(NameInList, Table) {
    struct Case {
        std::string name, list;
        bool in;
    };
    const Case cases[] = {
        {"index.htm", "default.html\ndefault.htm\nindex.html\nindex.htm", true},
        {"INDEX.HTML", "default.html\ndefault.htm\nindex.html\nindex.htm", true},
        {"index", "default.html\nindex.htm", false}, // no prefix match
        {"index.htmx", "index.htm", false},
        {"htm", "htm\nhtml\ntxt", true},
        {"TxT", "htm\nhtml\ntxt", true},
        {"", "htm\nhtml\ntxt", false},
        {"ht", "htm\nhtml\ntxt", false},
        {"a", "a", true},
        {"b", "a\n\nb", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " in " + c.list);
        EXPECT_EQ(NameInList(c.name, c.list), c.in);
    }
}

// A folder component that begins with '.' hides everything below it; ".pict" does not.
TEST(BelowDotFolder, Table) {
    struct Case {
        std::string_view path;
        bool below;
    };
    const Case cases[] = {
        {"/.ssh/id_rsa", true},
        {"/a/.git/config", true},
        {"/.git/", true},
        {"/.hidden", false}, // the last component: its own attribute decides
        {"/demo/.pict/ball.gif", false},
        {"/demo/.PICT/ball.gif", false},
        {"/demo/.pictures/ball.gif", true},
        {"/a/../b/./c.txt", false}, // places, not names
        {"//a//b", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path));
        EXPECT_EQ(BelowDotFolder(c.path), c.below);
    }
}

// A 4 KB URL of "/." pieces cost 80 ms when every piece was resolved from the start again;
// the canonical form takes one pass.
TEST(CanonicalizePath, ManyDotPiecesInOnePass) {
    std::string url;
    for (int i = 0; i < 100000; ++i)
        url += "/.";
    url += "/x.txt";
    EXPECT_EQ(CanonicalizePath(url), "/x.txt");
}

TEST(AppendLogSafe, SpacesPercentAndControlBytes) {
    std::string line;
    AppendLogSafe(line, "/a b%\r\n\x7f\xe4");
    EXPECT_EQ(line, "/a%20b%25%0D%0A%7F\xe4");
}

} // namespace
} // namespace tvn
