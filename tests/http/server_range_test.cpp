// Byte ranges of files on a listening server: one part (206), no part (416), and every
// request that must keep the whole answer.
#include "http/http_date.h"
#include "support/server_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace tvn::test {
namespace {

constexpr std::time_t kModified = 1796605323; // the files' last-write time
const std::string kDigits = "0123456789";

class ServerRange : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Put("d.gif", kDigits);
        ASSERT_TRUE(SetModified(root + "/d.gif", kModified));
    }
    // The status line, Server and Date of `answer` (Date as it came), then `rest`.
    static std::string Expected(const Answer& answer, const std::string& status,
                                const std::string& rest) {
        return "HTTP/1.0 " + status +
               "\r\nServer: Tarvolin Plus/1.0\r\nDate: " + answer.Header("Date") + "\r\n" + rest;
    }
    static std::string Range(const std::string& value) { return "Range: " + value + "\r\n"; }
};

const std::string kFileHead =
    "Content-Type: image/gif\r\nLast-Modified: " + FormatHttpDate(kModified) +
    "\r\nAccept-Ranges: bytes\r\n";

std::string Part(const std::string& range, const std::string& body) {
    return kFileHead + "Content-Range: bytes " + range +
           "/10\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kWhole = kFileHead + "Content-Length: 10\r\n\r\n" + kDigits;
const std::string kNone = "Accept-Ranges: bytes\r\nContent-Range: bytes */10\r\n\r\n"
                          "416 Range Not Satisfiable";
constexpr const char* k206 = "206 Partial Content";
constexpr const char* k416 = "416 Range Not Satisfiable";
constexpr const char* k200 = "200 OK";

TEST_F(ServerRange, OneRangeOfAFile) {
    struct Case {
        std::string headers;
        std::string status;
        std::string rest; // the answer after Date
    };
    const Case cases[] = {
        {Range("bytes=0-0"), k206, Part("0-0", "0")}, // the first byte
        {Range("bytes=9-9"), k206, Part("9-9", "9")}, // the last byte
        {Range("bytes=9-"), k206, Part("9-9", "9")},
        {Range("bytes=3-5"), k206, Part("3-5", "345")},
        {Range("bytes=0-"), k206, Part("0-9", kDigits)},
        {Range("bytes=-3"), k206, Part("7-9", "789")},
        {Range("bytes=-25"), k206, Part("0-9", kDigits)},   // suffix longer than the file
        {Range("bytes=6-4000"), k206, Part("6-9", "6789")}, // end beyond the size: cut
        {Range("bytes=2-99999999999999999999999"), k206, Part("2-9", "23456789")},
        {Range("BYTES=1-2"), k206, Part("1-2", "12")},
        {"RANGE: bytes=1-2\r\n", k206, Part("1-2", "12")},
        {Range("bytes=10-"), k416, kNone},
        {Range("bytes=10-12"), k416, kNone},
        {Range("bytes=-0"), k416, kNone},
        {Range("bytes=99999999999999999999999-"), k416, kNone},
        {Range("bytes=5-3"), k200, kWhole}, // malformed: the whole file
        {Range("bytes=0-1,4-5"), k200, kWhole},
        {Range("bytes="), k200, kWhole},
        {Range("bytes=a-b"), k200, kWhole},
        {Range("bytes=x"), k200, kWhole},
        {Range("lines=1-2"), k200, kWhole},
        {Range("bytes=99999999999999999999999-99999999999999999999998"), k200, kWhole},
        // Without Range the answer has no Accept-Ranges.
        {"", k200,
         "Content-Type: image/gif\r\nLast-Modified: " + FormatHttpDate(kModified) +
             "\r\nContent-Length: 10\r\n\r\n" + kDigits},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.headers);
        const Answer answer = Get("/d.gif", c.headers);
        EXPECT_EQ(answer.raw, Expected(answer, c.status, c.rest));
    }
}

TEST_F(ServerRange, IfRange) {
    struct Case {
        std::string condition;
        std::string status;
        std::string rest;
    };
    const Case cases[] = {
        {FormatHttpDate(kModified), k206, Part("1-2", "12")},
        {"Monday, 07-Dec-26 01:02:03 GMT", k206, Part("1-2", "12")}, // the same, RFC 850
        {FormatHttpDate(kModified + 1), k200, kWhole}, // changed since: all of it anew
        {FormatHttpDate(kModified - 1), k200, kWhole},
        {"\"d-10\"", k200, kWhole}, // an entity tag: we never gave one
        {"W/\"d-10\"", k200, kWhole},
        {"not a date", k200, kWhole},
    };
    ASSERT_EQ(ParseHttpDate(cases[1].condition), kModified);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.condition);
        const Answer answer =
            Get("/d.gif", Range("bytes=1-2") + "If-Range: " + c.condition + "\r\n");
        EXPECT_EQ(answer.raw, Expected(answer, c.status, c.rest));
    }
    // A failing condition gives the whole file even where the range could not be served.
    const Answer whole = Get("/d.gif", Range("bytes=50-") + "If-Range: \"x\"\r\n");
    EXPECT_EQ(whole.raw, Expected(whole, k200, kWhole));
}

TEST_F(ServerRange, HeadGivesTheHeadOfGet) {
    struct Case {
        std::string range;
        std::string status;
        std::string rest;
    };
    const Case cases[] = {
        {"bytes=3-5", k206, Part("3-5", "")},
        {"bytes=20-", k416, "Accept-Ranges: bytes\r\nContent-Range: bytes */10\r\n\r\n"},
        {"bytes=0-1,2-3", k200, kFileHead + "Content-Length: 10\r\n\r\n"},
        // Without Range the head of a file stays as short as it was.
        {"", k200, "Content-Type: image/gif\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.range);
        const Answer answer =
            Fetch("HEAD /d.gif HTTP/1.0\r\n" + (c.range.empty() ? "" : Range(c.range)) + "\r\n");
        std::string rest = c.rest;
        if (c.status == k206)
            rest.replace(rest.find("Content-Length: 0"), 17, "Content-Length: 3");
        EXPECT_EQ(answer.raw, Expected(answer, c.status, rest));
    }
}

TEST_F(ServerRange, EmptyFileHasNoRange) {
    Put("empty.gif", "");
    for (const char* range : {"bytes=0-", "bytes=0-0", "bytes=-1"}) {
        SCOPED_TRACE(range);
        const Answer answer = Get("/empty.gif", Range(range));
        EXPECT_EQ(answer.raw, Expected(answer, k416,
                                       "Accept-Ranges: bytes\r\nContent-Range: bytes */0\r\n\r\n"
                                       "416 Range Not Satisfiable"));
    }
}

// A file of a few MiB read as a video player and a resumed download read it: small parts
// from the head, a large one sent from an offset by the kernel, the rest, and the tail.
TEST_F(ServerRange, PartsJoinToTheFile) {
    const std::string bytes = PatternBytes(3 * 1024 * 1024 + 4097);
    const std::size_t size = bytes.size();
    Put("big.bin", bytes);
    struct Piece {
        std::size_t first;
        std::size_t last;
    };
    const Piece pieces[] = {{0, 0},           {1, 16383},          {16384, 16384 + 40000},
                            {56385, 2999999}, {3000000, size - 2}, {size - 1, size - 1}};
    std::string joined;
    for (const Piece& p : pieces) {
        SCOPED_TRACE(p.first);
        const std::string range = std::to_string(p.first) + "-" + std::to_string(p.last);
        Answer answer;
        ASSERT_TRUE(RunWhileServing([&] {
            LoopbackClient client;
            if (!client.Connect(port))
                return;
            client.Send("GET /big.bin HTTP/1.0\r\nRange: bytes=" + range + "\r\n\r\n");
            answer = ParseAnswer(client.ReadAll(10000ms));
        }));
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 206 Partial Content");
        EXPECT_EQ(answer.Header("Content-Range"), "bytes " + range + "/" + std::to_string(size));
        EXPECT_EQ(answer.Header("Content-Length"), std::to_string(p.last - p.first + 1));
        ASSERT_EQ(answer.body.size(), p.last - p.first + 1);
        joined += answer.body;
    }
    EXPECT_TRUE(joined == bytes) << "the parts do not join to the file";
    const Answer tail = Get("/big.bin", Range("bytes=-5000"));
    EXPECT_EQ(tail.Header("Content-Range"), "bytes " + std::to_string(size - 5000) + "-" +
                                                std::to_string(size - 1) + "/" +
                                                std::to_string(size));
    EXPECT_TRUE(tail.body == bytes.substr(size - 5000));
}

// Answers that are not the plain file keep their whole answer under a Range header.
TEST_F(ServerRange, OtherTargetsIgnoreRange) {
    Put("sub/x.txt", "x");
    stages.thumbnails["/thumb.jpg"] = {"JPEGBYTES", root + "/d.gif"};
    for (const char* url : {"/sub/", "/", "/styles.css", "/thumb.jpg", "/missing.gif"}) {
        SCOPED_TRACE(url);
        const Answer plain = Get(url);
        const Answer ranged = Get(url, Range("bytes=0-1"));
        EXPECT_EQ(ranged.statusLine, plain.statusLine);
        EXPECT_EQ(ranged.Names(), plain.Names());
        EXPECT_EQ(ranged.body, plain.body);
        EXPECT_FALSE(ranged.Has("Content-Range"));
    }
}

// A protected folder asks for the password before it tells even the size of a file.
TEST_F(ServerRange, ProtectedFolderAsksFirst) {
    Put("p/d.gif", kDigits);
    Put("p/.pass", "anna,secret\n");
    for (const char* range : {"bytes=0-1", "bytes=50-"}) {
        SCOPED_TRACE(range);
        const Answer refused = Get("/p/d.gif", Range(range));
        EXPECT_EQ(refused.statusLine, "HTTP/1.0 401 Unauthorized");
        EXPECT_FALSE(refused.Has("Content-Range"));
        EXPECT_EQ(refused.body, "<h1>Authorization Required</h1>");
    }
    // "anna:secret" in Base64.
    const Answer admitted =
        Get("/p/d.gif", Range("bytes=0-1") + "Authorization: Basic YW5uYTpzZWNyZXQ=\r\n");
    EXPECT_EQ(admitted.statusLine, "HTTP/1.0 206 Partial Content");
    EXPECT_EQ(admitted.Header("Content-Range"), "bytes 0-1/10");
    EXPECT_EQ(admitted.body, "01");
}

} // namespace
} // namespace tvn::test
