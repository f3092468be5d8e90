// A listening server on loopback, spoken to in raw bytes: request syntax, exact error
// answers, the head of a file answer and the access log.
#include "http/http_date.h"
#include "support/server_fixture.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace tvn::test {
namespace {

using Names = std::vector<std::string>;

class ServerBasic : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Put("x.txt", "hello");
        Put("docs/index.htm", "<p>index</p>");
        Put("pic.gif", "GIF89a-not-really");
        Put("noextension", "plain bytes");
    }
    // The last-write time of `relative` as the server writes it.
    std::string LastModified(const std::string& relative) const {
        struct stat st {};
        ::stat((root + "/" + relative).c_str(), &st);
        return FormatHttpDate(st.st_mtim.tv_sec);
    }
};

TEST_F(ServerBasic, ErrorAnswersAreExact) {
    struct Case {
        std::string name;
        std::string request;
        std::string status; // the status text, which is also the body
    };
    const Case cases[] = {
        {"unknown method", "BREW /pot HTTP/1.0\r\n\r\n", "501 Not Implemented"},
        {"GET with a body", "GET /x.txt HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello",
         "501 Not Implemented"},
        {"HEAD with a body", "HEAD /x.txt HTTP/1.0\r\nContent-Length: 2\r\n\r\nab",
         "501 Not Implemented"},
        {"POST without a body", "POST /x.txt HTTP/1.0\r\n\r\n", "501 Not Implemented"},
        {"POST with a body", "POST /x.txt HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
         "501 Not Implemented"},
        {"POST to a missing target", "POST /missing.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\na",
         "404 Not Found"},
        {"empty request line", "\r\n", "501 Not Implemented"},
        {"request line without a space", "GET\r\n\r\n", "501 Not Implemented"},
        {"missing file", "GET /missing.txt HTTP/1.0\r\n\r\n", "404 Not Found"},
        {"missing folder", "GET /missing/file.txt HTTP/1.0\r\n\r\n", "404 Not Found"},
        {"beyond an existing folder", "GET /docs/missing/x HTTP/1.0\r\n\r\n", "404 Not Found"},
        {"above the root", "GET /a/../../x HTTP/1.0\r\n\r\n", "400 Bad Request"},
        {"escape cut short", "GET /x.txt%4 HTTP/1.0\r\n\r\n", "400 Bad Request"},
        {"NUL byte", "GET /x.txt%00 HTTP/1.0\r\n\r\n", "400 Bad Request"},
        {"query escape cut short", "GET /x.txt?a=%2 HTTP/1.0\r\n\r\n", "400 Bad Request"},
        {"body over the limit", "POST /x.txt HTTP/1.0\r\nContent-Length: 2000000\r\n\r\nabc",
         "400 Bad Request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = Fetch(c.request);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 " + c.status);
        EXPECT_EQ(answer.Names(), (Names{"Server", "Date"}));
        EXPECT_EQ(answer.Header("Server"), "Tarvolin Plus/1.0");
        EXPECT_TRUE(ParseHttpDate(answer.Header("Date")).has_value()) << answer.Header("Date");
        EXPECT_TRUE(answer.complete);
        EXPECT_EQ(answer.body, c.status);
    }
}

// The special cases of POST: the target is located first, so its redirect wins.
TEST_F(ServerBasic, PostToAFolderRedirectsFirst) {
    const Answer answer = Fetch("POST /docs HTTP/1.0\r\nContent-Length: 1\r\n\r\na");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 301 Moved Permanently");
    EXPECT_EQ(answer.Header("Location"), "/docs/");
}

TEST_F(ServerBasic, RequestInPiecesAndLineEnds) {
    struct Case {
        std::string name;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"one piece", {"GET /x.txt HTTP/1.0\r\nHost: a\r\n\r\n"}},
        {"split inside words and line ends",
         {"GE", "T /x.t", "xt HTTP/1.0\r", "\nHost: a\r\n", "\r", "\n"}},
        {"LF-only line ends", {"GET /x.txt HTTP/1.0\nHost: a\n\n"}},
        {"LF-only in pieces", {"GET /x.txt HTTP/1.0\n", "Host: a\n", "\n"}},
        {"lower-case method", {"get /x.txt HTTP/1.0\r\n\r\n"}},
        {"CRs in odd places", {"GET /x.t\rxt HTTP/1.0\r\r\n\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string raw;
        ASSERT_TRUE(RunWhileServing([&] {
            LoopbackClient client;
            if (!client.Connect(port))
                return;
            for (const std::string& piece : c.pieces) {
                client.Send(piece);
                std::this_thread::sleep_for(30ms);
            }
            raw = client.ReadAll();
        }));
        const Answer answer = ParseAnswer(raw);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(answer.body, "hello");
    }
}

// "GET /x" without a version is accepted, but the answer waits for the empty line: the
// client is still sending its headers.
TEST_F(ServerBasic, RequestLineWithoutVersionWaitsForTheEmptyLine) {
    bool quietBeforeEnd = false;
    std::string raw;
    ASSERT_TRUE(RunWhileServing([&] {
        LoopbackClient client;
        if (!client.Connect(port))
            return;
        client.Send("GET /x.txt\r\nHost: a\r\n");
        quietBeforeEnd = client.StaysQuiet(300ms);
        client.Send("\r\n");
        raw = client.ReadAll();
    }));
    EXPECT_TRUE(quietBeforeEnd) << "answered before the request had ended";
    const Answer answer = ParseAnswer(raw);
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.body, "hello");
}

TEST_F(ServerBasic, FileAnswerHeadersInOrder) {
    struct Case {
        std::string url;
        Names names;
        std::string contentType;
        std::string body;
    };
    const Case cases[] = {
        {"/pic.gif",
         {"Server", "Date", "Content-Type", "Last-Modified", "Content-Length"},
         "image/gif",
         "GIF89a-not-really"},
        {"/noextension", {"Server", "Date", "Last-Modified", "Content-Length"}, "", "plain bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(answer.Names(), c.names);
        EXPECT_EQ(answer.Header("Content-Type"), c.contentType);
        EXPECT_EQ(answer.Header("Last-Modified"), LastModified(c.url.substr(1)));
        EXPECT_EQ(answer.Header("Content-Length"), std::to_string(c.body.size()));
        EXPECT_EQ(answer.body, c.body);
    }
}

TEST_F(ServerBasic, Head) {
    struct Case {
        std::string url;
        std::string status;
        Names names;
        std::string body;
    };
    const Case cases[] = {
        {"/pic.gif", "200 OK", {"Server", "Date", "Content-Type"}, ""},
        {"/x.txt", "200 OK", {"Server", "Date", "Content-Type"}, ""},
        {"/noextension", "200 OK", {"Server", "Date"}, ""},
        // An answer to HEAD never has a body, not even an error text.
        {"/missing.txt", "404 Not Found", {"Server", "Date"}, ""},
        {"/docs", "301 Moved Permanently", {"Server", "Date", "Location"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Fetch("HEAD " + c.url + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 " + c.status);
        EXPECT_EQ(answer.Names(), c.names);
        EXPECT_TRUE(answer.complete);
        EXPECT_EQ(answer.body, c.body);
    }
    EXPECT_EQ(Log(), "") << "HEAD requests are not logged";
}

// A HEAD of a folder that is listed gets the listing's head without its body.
TEST_F(ServerBasic, HeadOfAListedFolder) {
    Put("plain/a.txt", "a");
    const Answer answer = Fetch("HEAD /plain/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Header("Content-Type"), "text/html");
    EXPECT_TRUE(answer.complete);
    EXPECT_EQ(answer.body, "");
}

TEST_F(ServerBasic, AccessLogLines) {
    struct Case {
        std::string request;
        std::string logged; // the URL as it appears in the log line
    };
    const Case cases[] = {
        {"GET /x.txt HTTP/1.0\r\n\r\n", "/x.txt"},
        {"GET /missing.txt HTTP/1.0\r\n\r\n", "/missing.txt"}, // failures are logged too
        {"GET /a/../../x HTTP/1.0\r\n\r\n", "/a/../../x"},     // as decoded, not as mapped
        {"GET /a%20b?q=1 HTTP/1.0\r\n\r\n", "/a%20b"},         // decoded, without the query
        // A decoded line break would start a forged line of its own.
        {"GET /a%0D%0AGET%20/forged HTTP/1.0\r\n\r\n", "/a%0D%0AGET%20/forged"},
        // A decoded space forged the address field: "/a 203.0.113.9:4444 127.0.0.1:n".
        {"GET /a%20203.0.113.9:4444 HTTP/1.0\r\n\r\n", "/a%20203.0.113.9:4444"},
        {"GET /100%25 HTTP/1.0\r\n\r\n", "/100%25"}, // so that a logged %XX is always ours
        {"GET /tab%09del%7F HTTP/1.0\r\n\r\n", "/tab%09del%7F"},
        {"GET /%E4.txt HTTP/1.0\r\n\r\n", "/\xE4.txt"}, // bytes above 0x7F as they are
        {"get /x.txt HTTP/1.0\r\n\r\n", "/x.txt"},
    };
    std::string expected;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        int clientPort = -1;
        ASSERT_TRUE(RunWhileServing([&] {
            LoopbackClient client;
            if (!client.Connect(port))
                return;
            clientPort = client.LocalPort();
            client.Send(c.request);
            client.ReadAll();
        }));
        const std::string method = c.request.substr(0, 3);
        expected += "\n" + method + " " + c.logged + " 127.0.0.1:" + std::to_string(clientPort);
        EXPECT_EQ(Log(), expected);
    }
}

// Requests that never reach the file stages leave no line: rejected ones and non-GETs.
TEST_F(ServerBasic, NotLogged) {
    Fetch("GET /x.txt%4 HTTP/1.0\r\n\r\n");
    Fetch("POST /x.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\na");
    Fetch("BREW /x.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Log(), "");
}

// The log kept by the server is cut like any trimmed log once over LogFileSize.
TEST_F(ServerBasic, AccessLogIsCutOverItsLimit) {
    std::string lines;
    while (lines.size() < 999990)
        lines += "\nGET /old 127.0.0.1:1";
    WriteFile(logPath, lines);
    Get("/x.txt");
    const std::string log = Log();
    EXPECT_LT(log.size(), 900100u);
    EXPECT_GT(log.size(), 899000u);
    EXPECT_EQ(log.substr(0, 4), "GET ") << "the kept part must begin at a line start";
    EXPECT_NE(log.rfind("\nGET /x.txt 127.0.0.1:"), std::string::npos);
}

} // namespace
} // namespace tvn::test
