// The answer as data, and the bytes its one head writer makes of it.
#include "http/answer.h"
#include "http/http_date.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

// What WriteTo makes of `answer`, with the Date's value replaced by "<date>" once it was
// checked to be the answer's own second.
std::string Written(CAnswer& answer, COutputBuffer& out) {
    answer.WriteTo(out);
    std::string text(out.View());
    const auto at = text.find("\r\nDate: ");
    if (at != std::string::npos) {
        const auto end = text.find("\r\n", at + 8);
        const std::string date = text.substr(at + 8, end - at - 8);
        EXPECT_EQ(ParseHttpDate(date), answer.Date()) << date;
        text.replace(at + 8, end - at - 8, "<date>");
    }
    return text;
}

constexpr std::string_view kHead = "Server: Tarvolin Plus/1.0\r\nDate: <date>\r\n";

TEST(Answer, WritesItsHeadOnceInTheOrderGiven) {
    struct Case {
        const char* what;
        std::function<void(CAnswer&)> make;
        std::string written; // "@" stands for the Server and Date lines
    };
    const Case cases[] = {
        {"an error with its text", [](CAnswer& a) { a.StartError(HttpStatus::kNotFound); },
         "HTTP/1.0 404 Not Found\r\n@\r\n404 Not Found"},
        {"headers in order, then the body",
         [](CAnswer& a) {
             a.Start(HttpStatus::kOk);
             a.AddHeader("Content-Type", "text/html");
             a.AddHeaderNumber("Content-Length", 2);
             a.AppendBody("h");
             a.AppendBody("i");
         },
         "HTTP/1.0 200 OK\r\n@Content-Type: text/html\r\nContent-Length: 2\r\n\r\nhi"},
        {"a new start drops what the old one had",
         [](CAnswer& a) {
             a.Start(HttpStatus::kOk);
             a.AddHeader("Content-Type", "text/html");
             a.AppendBody("page");
             a.Start(HttpStatus::kRedirection);
             a.AddHeader("Location", "/x");
         },
         "HTTP/1.0 302 Redirection\r\n@Location: /x\r\n\r\n"},
        {"a changed status keeps the headers",
         [](CAnswer& a) {
             a.Start(HttpStatus::kOk);
             a.AddHeader("Content-Type", "image/png");
             a.SetStatus(HttpStatus::kPartialContent);
             a.AddHeader("Content-Range", "bytes 0-0/9");
         },
         "HTTP/1.0 206 Partial Content\r\n@Content-Type: image/png\r\nContent-Range: bytes "
         "0-0/9\r\n\r\n"},
        {"the head alone",
         [](CAnswer& a) {
             a.StartError(HttpStatus::kUnauthorized);
             a.CutToHead();
         },
         "HTTP/1.0 401 Unauthorized\r\n@\r\n"},
        {"never started", [](CAnswer&) {}, ""},
        {"cleared", [](CAnswer& a) { a.StartError(HttpStatus::kNotFound), a.Clear(); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CAnswer answer;
        c.make(answer);
        COutputBuffer out;
        std::string expected = c.written;
        if (const auto at = expected.find('@'); at != std::string::npos)
            expected.replace(at, 1, kHead);
        EXPECT_EQ(Written(answer, out), expected);
    }
}

TEST(Answer, HeaderLooksUpWholeNamesOnly) {
    CAnswer answer;
    answer.Start(HttpStatus::kOk);
    answer.AddHeader("Content-Type", "text/html");
    answer.AddHeader("Expires", "0");
    EXPECT_EQ(answer.Header("Expires"), "0");
    EXPECT_EQ(answer.Header("Content-Type"), "text/html");
    EXPECT_FALSE(answer.Header("Content"));
    EXPECT_FALSE(answer.Header("Date")); // written by the head writer, not kept
}

// A file part follows the head in one piece when it fits into the buffer's room; a larger
// one stays to be streamed, from where it starts.
TEST(Answer, FilePartFollowsTheHeadWhenItFits) {
    test::TempDir temp;
    const std::string path = temp / "f";
    const std::string bytes = test::PatternBytes(COutputBuffer::kChunk * 2);
    ASSERT_TRUE(test::WriteFile(path, bytes));
    struct Case {
        const char* what;
        off_t offset;
        off_t end;
        bool inBuffer; // the part went out with the head, its descriptor closed
    };
    const Case cases[] = {
        {"a small range", 10, 20, true},
        {"an empty file part", 0, 0, true},
        {"a part larger than the room", 0, static_cast<off_t>(bytes.size()), false},
        {"a file that shrank since its size was taken", static_cast<off_t>(bytes.size()) - 5,
         static_cast<off_t>(bytes.size()) + 100, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CAnswer answer;
        answer.Start(HttpStatus::kOk);
        COpenFile part;
        part.fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        part.offset = c.offset;
        part.size = c.end;
        answer.SetFile(std::move(part));
        COutputBuffer out;
        const std::string written = Written(answer, out);
        const std::string head = "HTTP/1.0 200 OK\r\n" + std::string(kHead) + "\r\n";
        ASSERT_TRUE(written.starts_with(head)) << written;
        if (c.inBuffer) {
            const auto end = std::min<off_t>(c.end, static_cast<off_t>(bytes.size()));
            EXPECT_EQ(written.substr(head.size()), bytes.substr(c.offset, end - c.offset));
            EXPECT_FALSE(answer.File().IsOpen());
        } else {
            EXPECT_EQ(written, head);
            ASSERT_TRUE(answer.File().IsOpen());
            EXPECT_EQ(answer.File().offset, c.offset);
        }
    }
}

} // namespace
} // namespace tvn
