// The request reader: one request from bytes that arrive in pieces of any size.
#include "http/request_reader.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tvn {
namespace {

using Outcome = CRequestReader::Outcome;

// Feeds `pieces` one after the other; the outcome of the last feed.
Outcome FeedPieces(const std::vector<std::string>& pieces, CRequest& request,
                   CRequestReader& reader) {
    Outcome outcome = Outcome::NeedMore;
    for (const std::string& piece : pieces)
        outcome = reader.Feed(piece, request);
    return outcome;
}

const std::string kValidRequests[] = {
    "GET /a%20b.txt HTTP/1.0\r\nHost: example\r\nAccept: */*\r\n\r\n",
    "GET /x HTTP/1.0\n\n",
    "GET /x\r\n\r\n",
    "\r\n",
    "POST /form HTTP/1.0\r\nContent-Length: 5\r\n\r\n",
    "HEAD / HTTP/1.0\r\nContent-Length: -3\r\n\r\n",
    // Lines read where they lie and lines put together must agree: CRs inside, a repeat.
    "GET /y HTTP/1.1\r\nX-A: 1\r\nHo\rst: h\r\r\nx-a: 2\r\n\r\n",
};

// Every prefix of a valid request must ask for more: a reader that answers early serves
// half a request.
TEST(RequestReader, EveryPrefixOfAValidRequestNeedsMore) {
    for (const std::string& full : kValidRequests) {
        SCOPED_TRACE(full);
        for (std::size_t length = 0; length < full.size(); ++length) {
            CRequest request;
            CRequestReader reader;
            EXPECT_EQ(reader.Feed(std::string_view(full).substr(0, length), request),
                      Outcome::NeedMore)
                << "prefix of " << length << " bytes";
        }
        CRequest request;
        CRequestReader reader;
        EXPECT_EQ(reader.Feed(full, request), Outcome::Complete);
    }
}

// Cut into two pieces at every position, and byte by byte: the same request every time.
TEST(RequestReader, SplitAnywhereParsesAsOnePiece) {
    for (const std::string& full : kValidRequests) {
        SCOPED_TRACE(full);
        CRequest whole;
        CRequestReader wholeReader;
        ASSERT_EQ(wholeReader.Feed(full, whole), Outcome::Complete);
        for (std::size_t cut = 1; cut < full.size(); ++cut) {
            CRequest request;
            CRequestReader reader;
            const Outcome outcome =
                FeedPieces({full.substr(0, cut), full.substr(cut)}, request, reader);
            EXPECT_EQ(outcome, Outcome::Complete) << "cut at " << cut;
            EXPECT_EQ(request.method, whole.method);
            EXPECT_EQ(request.url, whole.url);
            EXPECT_EQ(request.version, whole.version);
            EXPECT_EQ(request.headers, whole.headers);
            EXPECT_EQ(request.body, whole.body);
        }
        CRequest request;
        CRequestReader reader;
        Outcome outcome = Outcome::NeedMore;
        for (char c : full)
            outcome = reader.Feed(std::string_view(&c, 1), request);
        EXPECT_EQ(outcome, Outcome::Complete);
        EXPECT_EQ(request.headers, whole.headers);
        EXPECT_EQ(request.body, whole.body);
    }
}

TEST(RequestReader, RequestLine) {
    struct Case {
        std::string line;
        std::string method, url, version, query;
    };
    const Case cases[] = {
        {"GET /a%20b.txt HTTP/1.0", "GET", "/a b.txt", "HTTP/1.0", ""},
        {"get /x HTTP/1.1", "get", "/x", "HTTP/1.1", ""}, // the method keeps its case
        {"GET /x?name=a+b&y=%41 HTTP/1.0", "GET", "/x", "HTTP/1.0", "name=a+b&y=%41"},
        {"GET /a+b.txt HTTP/1.0", "GET", "/a+b.txt", "HTTP/1.0", ""},
        {"GET /x", "GET", "/x", "", ""},                        // no version
        {"GET /x  \t", "GET", "/x", "", ""},                    // trailing blanks dropped
        {"GET    /x    HTTP/1.0", "GET", "/x", "HTTP/1.0", ""}, // runs of spaces
        {"GET /x HTTP/1.0 extra", "GET", "/x", "HTTP/1.0 extra", ""},
        {"GET /x?a?b=c HTTP/1.0", "GET", "/x", "HTTP/1.0", "a?b=c"}, // the first '?' splits
        {"GET /%3F?q=1 HTTP/1.0", "GET", "/?", "HTTP/1.0", "q=1"},   // decoded after the split
        {"GET", "", "", "", ""},                                     // no space: nothing recorded
        {"BREW /pot HTTP/1.0", "BREW", "/pot", "HTTP/1.0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        CRequest request;
        CRequestReader reader;
        ASSERT_EQ(reader.Feed(c.line + "\r\n\r\n", request), Outcome::Complete);
        EXPECT_EQ(request.method, c.method);
        EXPECT_EQ(request.url, c.url);
        EXPECT_EQ(request.version, c.version);
        EXPECT_EQ(request.query, c.query);
    }
    CRequest request;
    CRequestReader reader;
    ASSERT_EQ(reader.Feed("GET /x?name=a+b&y=%41 HTTP/1.0\r\n\r\n", request), Outcome::Complete);
    EXPECT_EQ(request.Param("name"), "a b");
    EXPECT_EQ(request.Param("y"), "A");
}

// A request line without a version still reads header lines up to the empty line: an
// answer sent at the end of "GET /x" would cut the client's headers off.
TEST(RequestReader, RequestLineWithoutVersionWaitsForTheEmptyLine) {
    CRequest request;
    CRequestReader reader;
    EXPECT_EQ(reader.Feed("GET /x\r\n", request), Outcome::NeedMore);
    EXPECT_EQ(reader.Feed("Host: h\r\n", request), Outcome::NeedMore);
    EXPECT_EQ(reader.Feed("\r\n", request), Outcome::Complete);
    EXPECT_EQ(request.Header("host"), "h");
}

TEST(RequestReader, HeaderLines) {
    struct Case {
        std::string lines; // header lines as sent
        std::string name;  // looked up
        std::string value;
    };
    const Case cases[] = {
        {"Host:  example\r\n", "host", "example"},    // leading blanks dropped
        {"Host: example  \r\n", "host", "example  "}, // trailing blanks kept
        {"X-A:1\r\nx-a:2\r\n", "x-a", "2"},           // a repeat replaces
        {"CONTENT-TYPE: text/plain\r\n", "content-type", "text/plain"},
        {"Host: a:b:c\r\n", "host", "a:b:c"},          // only the first ':' splits
        {"Host : x\r\n", "host ", "x"},                // the name is not trimmed
        {"No colon here\r\nHost: y\r\n", "host", "y"}, // a line without ':' is ignored
        {"Host: x\n", "host", "x"},                    // LF-only line end
        {"Ho\rst: x\r\n", "host", "x"},                // a CR is dropped anywhere
        {"Host: \rx\r\r\n", "host", "x"},
        {"Empty:\r\n", "empty", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        CRequest request;
        CRequestReader reader;
        ASSERT_EQ(reader.Feed("GET / HTTP/1.0\r\n" + c.lines + "\r\n", request), Outcome::Complete);
        const auto it = request.headers.find(c.name);
        ASSERT_NE(it, request.headers.end());
        EXPECT_EQ(it->second, c.value);
    }
    CRequest request;
    CRequestReader reader;
    ASSERT_EQ(reader.Feed("GET / HTTP/1.0\r\nUser-Agent: t\r\n\r\n", request), Outcome::Complete);
    EXPECT_EQ(request.Header("USER-AGENT"), "t"); // looked up in any case
    EXPECT_EQ(request.Header("missing"), "");
}

// A head of many headers (thousands fit in its 64 KiB) is read as a short one is: each name
// once, a repeat in any case replacing the value, before and after there are many.
TEST(RequestReader, ManyHeaderLines) {
    std::string head = "GET / HTTP/1.0\r\nEarly: 1\r\n";
    for (std::size_t i = 0; i < 3 * CHeaderList::kScanned; ++i)
        head += "H" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    head += "EARLY: 2\r\nh7: again\r\nLate: x\r\n\r\n";
    CRequest request;
    CRequestReader reader;
    ASSERT_EQ(reader.Feed(head, request), Outcome::Complete);
    EXPECT_EQ(request.headers.size(), 3 * CHeaderList::kScanned + 2);
    EXPECT_EQ(request.Header("early"), "2");
    EXPECT_EQ(request.Header("H7"), "again");
    EXPECT_EQ(request.Header("h95"), "v95");
    EXPECT_EQ(request.Header("LATE"), "x");
    EXPECT_EQ(request.Header("h96"), "");
    EXPECT_TRUE(request.headers.contains("Late"));
    EXPECT_FALSE(request.headers.contains("missing"));
    request.headers.clear();
    request.headers["Again"] = "y"; // cleared, the list works as a new one
    EXPECT_EQ(request.Header("again"), "y");
    EXPECT_EQ(request.headers.size(), 1u);
}

// A body is announced, never kept: 400 clients that each sent 1 MiB grew the server to
// 552 MB while their bodies were buffered for a 501.
TEST(RequestReader, BodyIsAnnouncedButNeverKept) {
    struct Case {
        std::string request;
        int contentLength;
        bool trailing; // bytes behind the head, or announced: to drain before closing
    };
    const Case cases[] = {
        {"POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", 5, true},
        {"POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\n", 5, true}, // complete before the body
        {"POST / HTTP/1.0\r\nContent-Length: 3\n\nabc", 3, true},
        {"POST / HTTP/1.0\r\nContent-Length:   7xyz\r\n\r\n1234567", 7, true},
        {"POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n", 0, false}, // negative: no body
        {"POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", 0, false},
        {"POST / HTTP/1.0\r\nContent-Length: abc\r\n\r\n", 0, false},
        {"POST / HTTP/1.0\r\nContent-Length:\r\n\r\n", 0, false}, // empty: no body
        {"POST / HTTP/1.0\r\n\r\nignored", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        CRequest request;
        CRequestReader reader;
        ASSERT_EQ(reader.Feed(c.request, request), Outcome::Complete);
        EXPECT_EQ(request.body, "");
        EXPECT_EQ(request.contentLength, c.contentLength);
        EXPECT_EQ(reader.HadTrailingBytes(), c.trailing);
    }
}

TEST(RequestReader, Limits) {
    struct Case {
        std::string name;
        std::string bytes;
        Outcome outcome;
        int status;
    };
    const std::string line = "GET / HTTP/1.0\r\n";
    const std::string header = "X-Fill: " + std::string(1000, 'a') + "\r\n";
    std::string bigHead = line;
    while (bigHead.size() <= CRequestReader::kMaxHeadBytes)
        bigHead += header;
    std::string fitting = line;
    while (fitting.size() + header.size() + 2 <= CRequestReader::kMaxHeadBytes)
        fitting += header;
    const Case cases[] = {
        {"head over 64 KiB", bigHead, Outcome::Reject, 400},
        {"one endless line", std::string(CRequestReader::kMaxHeadBytes + 1, 'a'), Outcome::Reject,
         400},
        {"head just within the limit", fitting + "\r\n", Outcome::Complete, 0},
        {"body over 1 MiB",
         "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(CRequestReader::kMaxBodyBytes + 1) +
             "\r\n\r\n",
         Outcome::Reject, 400},
        {"a length beyond every integer",
         "POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n", Outcome::Reject, 400},
        {"truncated escape in the path", "GET /a%4 HTTP/1.0\r\n", Outcome::Reject, 400},
        {"truncated escape in a query value", "GET /a?x=%4 HTTP/1.0\r\n", Outcome::Reject, 400},
        {"NUL byte in the path", "GET /a%00 HTTP/1.0\r\n", Outcome::Reject, 400},
        // Sent as they are: the URL says ".png", a C string of it would end at "/index.html".
        {"raw NUL byte in the path", std::string("GET /index.html\0.png HTTP/1.0\r\n", 31),
         Outcome::Reject, 400},
        {"raw NUL byte in a query value", std::string("GET /page?name=a\0b HTTP/1.0\r\n", 29),
         Outcome::Reject, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRequest request;
        CRequestReader reader;
        EXPECT_EQ(reader.Feed(c.bytes, request), c.outcome);
        if (c.outcome == Outcome::Reject) {
            EXPECT_EQ(reader.RejectStatus(), c.status);
        }
    }
}

// The head limit counts every byte of the head, however it is cut into pieces.
TEST(RequestReader, HeadLimitCountsAcrossPieces) {
    CRequest request;
    CRequestReader reader;
    Outcome outcome = reader.Feed("GET / HTTP/1.0\r\n", request);
    const std::string piece(1000, 'b');
    for (std::size_t sent = 0;
         sent <= CRequestReader::kMaxHeadBytes && outcome == Outcome::NeedMore;
         sent += piece.size())
        outcome = reader.Feed(piece, request);
    EXPECT_EQ(outcome, Outcome::Reject);
    EXPECT_EQ(reader.RejectStatus(), 400);
}

} // namespace
} // namespace tvn
