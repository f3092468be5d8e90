// The http-01 answers of the plain listener: a published token gets exactly its key
// authorization, anything else below the challenge folder 404, whatever the shared folder
// holds there; other URLs are answered as before.
#include "support/server_fixture.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tvn::test {
namespace {

const std::string kToken = "evaGxfADs6pSRb2LAv9IZf17Dt3juxGJ-PCt92wr-oA";
const std::string kKeyAuthorization = kToken + ".9jg46WB3rR_AHD-EBXdN7cBkH1WOu0tA3M9fm21mqTI";

class AcmeChallenge : public ServerFixture {};

TEST_F(AcmeChallenge, APublishedTokenGetsExactlyItsKeyAuthorization) {
    doc->AcmeChallenges().Publish(kToken, kKeyAuthorization);
    const Answer answer = Get("/.well-known/acme-challenge/" + kToken);
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Header("Content-Type"), "text/plain");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(kKeyAuthorization.size()));
    EXPECT_EQ(answer.body, kKeyAuthorization);
    // With a query and with the token percent-encoded, it is the same URL.
    EXPECT_EQ(Get("/.well-known/acme-challenge/" + kToken + "?x=1").body, kKeyAuthorization);
    EXPECT_EQ(Get("/.well-known/acme-challenge/%65" + kToken.substr(1)).body, kKeyAuthorization);

    doc->AcmeChallenges().Withdraw(kToken);
    EXPECT_EQ(Get("/.well-known/acme-challenge/" + kToken).statusLine, "HTTP/1.0 404 Not Found");
}

TEST_F(AcmeChallenge, EverythingElseBelowTheFolderIs404) {
    doc->AcmeChallenges().Publish(kToken, kKeyAuthorization);
    // A file of the shared folder at such a path is not what the service asked for.
    Put(".well-known/acme-challenge/other", "a file of the share");
    Put(".well-known/acme-challenge/" + kToken + "x", "a file of the share");
    for (const std::string& url : std::vector<std::string>{
             "/.well-known/acme-challenge/", "/.well-known/acme-challenge/other",
             "/.well-known/acme-challenge/" + kToken + "x",
             "/.well-known/acme-challenge/" + kToken + "/",
             "/.well-known/acme-challenge/" + kToken + "/../" + kToken,
             "/.well-known/acme-challenge/../acme-challenge/" + kToken,
             "/.well-known/acme-challenge/" + kToken.substr(1),
             "/.well-known/acme-challenge/" + kToken + "%00",
             "/.well-known/acme-challenge/" + kToken + "%0d%0aX: y",
             "/.well-known/acme-challenge/" + std::string(300, 'a')}) {
        const Answer answer = Get(url);
        // 404, or 400 for a URL the request reader refuses
        EXPECT_TRUE(answer.statusLine == "HTTP/1.0 404 Not Found" ||
                    answer.statusLine == "HTTP/1.0 400 Bad Request")
            << url << ": " << answer.statusLine;
        EXPECT_EQ(answer.body.find(kKeyAuthorization), std::string::npos) << url;
        EXPECT_EQ(answer.body.find("a file of the share"), std::string::npos) << url;
    }
}

TEST_F(AcmeChallenge, OtherUrlsAreAnsweredAsBefore) {
    Put("page.txt", "a page");
    const std::string before = Get("/page.txt").body;
    const std::string hiddenBefore = Get("/.well-known/other").raw;
    doc->AcmeChallenges().Publish(kToken, kKeyAuthorization);
    EXPECT_EQ(Get("/page.txt").body, before);
    EXPECT_EQ(Get("/" + kToken).statusLine, "HTTP/1.0 404 Not Found");
    EXPECT_EQ(Get("/.well-known/" + kToken).body.find(kKeyAuthorization), std::string::npos);
    const Answer hidden = Get("/.well-known/other");
    EXPECT_EQ(hidden.statusLine, ParseAnswer(hiddenBefore).statusLine);
    EXPECT_EQ(hidden.body, ParseAnswer(hiddenBefore).body);
}

} // namespace
} // namespace tvn::test
