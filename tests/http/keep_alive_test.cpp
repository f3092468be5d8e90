// Connections that carry more than one request, seen from real clients on loopback.
#include "support/command_output.h"
#include "support/loopback_client.h"
#include "support/server_fixture.h"

#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

namespace tvn {
namespace {

using KeepAlive = test::ServerFixture;

std::string WithoutDates(std::string text) {
    static const std::regex kDate("(Date|Last-Modified|Expires): [^\r]*");
    return std::regex_replace(text, kDate, "$1: -");
}

// What a request asks, written with the Connection header that keeps the connection.
std::string Kept(const std::string& head) { return head + "Connection: keep-alive\r\n\r\n"; }

// Requests answered one after the other on one connection give, byte for byte, the answers
// they get one per connection, each with the header that keeps the connection closing its
// head; the thumbnail ends at its length there, and the last request, which does not ask to
// keep the connection, gets its plain answer and ends it.
TEST_F(KeepAlive, PipelinedAnswersAreThePlainOnesWithTheirConnectionHeader) {
    Put("small.txt", "small file");
    Put("big.bin", test::PatternBytes(300000)); // streamed, not in one piece with its head
    Put("pic.jpg", "picture");
    stages.thumbnails["/thumb.jpg"] = {"JPEGBYTES", root + "/pic.jpg"};
    const std::vector<std::string> heads = {
        "GET /small.txt HTTP/1.0\r\n",
        "GET /big.bin HTTP/1.1\r\nHost: x\r\n",
        "GET /big.bin HTTP/1.0\r\nRange: bytes=10-19\r\n",
        "GET /thumb.jpg HTTP/1.0\r\n",
        "HEAD /small.txt HTTP/1.0\r\n",
        "GET /small.txt HTTP/1.0\r\nIf-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n",
        "GET /styles.css HTTP/1.0\r\n",
    };
    std::string together;
    std::string expected;
    for (const std::string& head : heads) {
        together += Kept(head);
        // The answer one per connection, asked as HTTP/1.0 so that the connection ends.
        std::string asked = head;
        if (const auto v11 = asked.find("HTTP/1.1"); v11 != std::string::npos)
            asked.replace(v11, 8, "HTTP/1.0");
        std::string plain = Fetch(asked + "\r\n").raw;
        if (head.starts_with("GET /thumb.jpg")) {
            ASSERT_TRUE(plain.ends_with("JPEGBYTES\r\n")) << plain;
            plain.resize(plain.size() - 2); // the CR LF behind the counted body
        }
        const auto headEnd = plain.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos) << plain;
        plain.insert(headEnd + 2, "Connection: keep-alive\r\n");
        expected += plain;
    }
    together += "GET /small.txt HTTP/1.0\r\n\r\n";
    expected += Fetch("GET /small.txt HTTP/1.0\r\n\r\n").raw;
    std::string raw;
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient client;
        if (client.Connect(port) && client.Send(together))
            raw = client.ReadAll(); // the server ends the connection after the last answer
    }));
    EXPECT_EQ(WithoutDates(raw), WithoutDates(expected));
}

// curl keeps the connection for the next URL, and no answer leaves bytes behind its end.
// (After an HTTP/1.0 answer curl asks in HTTP/1.0, which keeps a connection only with the
// header: so it is given.)
TEST_F(KeepAlive, CurlReusesTheConnectionForTenRequests) {
    Put("small.txt", "small file");
    Put("pic.jpg", "picture");
    stages.thumbnails["/thumb.jpg"] = {"JPEGBYTES", root + "/pic.jpg"};
    std::string command = "curl -sv --max-time 10 -H 'Connection: keep-alive'";
    for (int i = 0; i < 9; ++i)
        command += " http://127.0.0.1:" + std::to_string(port) + "/small.txt";
    command += " http://127.0.0.1:" + std::to_string(port) + "/thumb.jpg 2>&1";
    std::string output;
    ASSERT_TRUE(test::RunWhileServing([&] { output = test::RunCommand(command).output; }));
    if (output.find("not found") != std::string::npos && output.find("curl") != std::string::npos)
        GTEST_SKIP() << "curl is not installed";
    int reused = 0;
    for (std::size_t at = 0;
         (at = output.find("Re-using existing connection", at)) != std::string::npos; ++at)
        ++reused;
    EXPECT_EQ(reused, 9) << output;
    EXPECT_EQ(output.find("Excess found"), std::string::npos) << output;
    EXPECT_EQ(output.find("excess found"), std::string::npos) << output;
    int bodies = 0;
    for (std::size_t at = 0; (at = output.find("small file", at)) != std::string::npos; ++at)
        ++bodies;
    EXPECT_EQ(bodies, 9);
    EXPECT_NE(output.find("JPEGBYTES"), std::string::npos);
}

} // namespace
} // namespace tvn
