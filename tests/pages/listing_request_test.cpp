// The listing and thumbnail stages seen through the GET path, as a browser meets them.
#include "file_opens.h"
#include "pages/page_stages.h"
#include "pages/thumbnail_cache.h"
#include "pages_fixture.h"
#include "support/answer_bytes.h"
#include "support/picture_file.h"

#include <filesystem>
#include <regex>

namespace tvn {
namespace {

class ListingRequest : public test::PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        doc->SetContentStages(&stages);
    }

    std::unique_ptr<CRequestContext> Run(const std::string& method, const std::string& url) {
        auto context = std::make_unique<CRequestContext>(*doc, "127.0.0.1:4000");
        context->request.method = method;
        context->request.url = url;
        context->RunRequest();
        return context;
    }

    CPageStages stages;
};

TEST_F(ListingRequest, PictureListedAsThumbnailMadeOnceAndServedByItsKey) {
    ASSERT_TRUE(test::WritePicture(root + "/album/sea.jpg", 400, 300, Qt::darkCyan));
    test::FileOpens opens({root + "/album/sea.jpg"});
    ASSERT_TRUE(opens.Watching(1));
    const std::string first = Body(*Run("GET", "/album/"));
    // The built-in listing's tag: the sharp thumbnail beside the ordinary one.
    const std::regex tag(
        R"re(<img src="(/Thumbnail__[0-9A-F]{8})" srcset="/Thumbnail2x__[0-9A-F]{8} 2x" width="100" height="75" )re");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(first, match, tag)) << first;
    const std::string url = match[1];

    // A second listing shows the same thumbnail without decoding the picture again.
    const std::string second = Body(*Run("GET", "/album/"));
    EXPECT_NE(second.find(url), std::string::npos);
    EXPECT_EQ(opens.Count(), 1);

    std::string lower = url;
    for (std::size_t i = 12; i < lower.size(); ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
    for (const std::string& asked : {url, lower}) {
        SCOPED_TRACE(asked);
        auto answer = Run("GET", asked);
        const std::string all = test::AnswerBytes(*answer);
        EXPECT_TRUE(all.starts_with("HTTP/1.0 200 OK\r\n"));
        EXPECT_NE(all.find("\r\nContent-Type: image/jpeg\r\nLast-Modified: "),
                  std::string_view::npos);
        std::string jpeg;
        std::string picture;
        ASSERT_TRUE(CopyThumbnail(url, jpeg, picture));
        ASSERT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
        // One CR LF behind the counted bytes.
        EXPECT_TRUE(all.ends_with("\r\nContent-Length: " + std::to_string(jpeg.size()) +
                                  "\r\n\r\n" + jpeg + "\r\n"));
    }
}

TEST_F(ListingRequest, UnknownThumbnailKeyFallsThroughToTheFiles) {
    auto answer = Run("GET", "/Thumbnail__0BADF00D");
    EXPECT_TRUE(test::AnswerBytes(*answer).starts_with("HTTP/1.0 404 Not Found\r\n"));
    Write("Thumbnail__0BADF00D", "a real file of that name");
    EXPECT_EQ(Body(*Run("GET", "/Thumbnail__0BADF00D")), "a real file of that name");
}

TEST_F(ListingRequest, HeadOfAListedFolderAnswersTheListingHeadOnly) {
    Write("docs/a.txt", "a");
    const std::string full(Run("GET", "/docs/")->OutputView());
    const std::string head(Run("HEAD", "/docs/")->OutputView());
    ASSERT_TRUE(head.ends_with("\r\n\r\n"));
    const std::string body = full.substr(full.find("\r\n\r\n") + 4);
    EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(head.find("<"), std::string::npos);
}

TEST_F(ListingRequest, ListingIsGuardedByTheFolderOwnPasswordList) {
    Write("private/.pass", "me,secret\n");
    Write("private/open/a.txt", "a");
    EXPECT_TRUE(Run("GET", "/private/")->OutputView().starts_with("HTTP/1.0 401 Unauthorized\r\n"));
    // The parent's list does not guard a subfolder's listing.
    EXPECT_TRUE(Run("GET", "/private/open/")->OutputView().starts_with("HTTP/1.0 200 OK\r\n"));
}

TEST_F(ListingRequest, PagesAreFramedAndPageFilesSkipTheDateTest) {
    Write("t/.file", "<p><tvnbody></tvnbody></p>");
    Write("t/page.html", "<body>hi</body>");
    auto context = std::make_unique<CRequestContext>(*doc, "127.0.0.1:4000");
    context->request.method = "GET";
    context->request.url = "/t/page.html";
    context->request.headers["if-modified-since"] = "Fri, 31 Dec 2100 23:59:59 GMT";
    context->RunRequest();
    EXPECT_TRUE(test::AnswerBytes(*context).starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(Body(*context), "<p><body>hi</body></p>");
}

} // namespace
} // namespace tvn
