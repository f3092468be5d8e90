// Listings, thumbnails and page frames that misled or leaked, seen through the GET path. Each
// test is named after what broke.
#include "file_opens.h"
#include "http/request.h"
#include "pages/page_stages.h"
#include "pages/thumbnail_cache.h"
#include "pages_fixture.h"
#include "support/answer_bytes.h"
#include "support/picture_file.h"

#include <filesystem>
#include <regex>

namespace tvn {
namespace {

class ListingGuard : public test::PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        doc->SetContentStages(&stages);
    }

    std::unique_ptr<CRequestContext> Run(const std::string& method, const std::string& url,
                                         const std::string& authorization = "") {
        auto context = std::make_unique<CRequestContext>(*doc, "127.0.0.1:4000");
        context->request.method = method;
        context->request.url = url;
        if (!authorization.empty())
            context->request.headers["authorization"] = authorization;
        context->RunRequest();
        return context;
    }
    static bool StatusIs(const CRequestContext& context, std::string_view status) {
        return context.OutputView().starts_with("HTTP/1.0 " + std::string(status) + "\r\n");
    }

    CPageStages stages;
};

const std::string kAnna = "Basic YW5uYTpzZWNyZXQ="; // anna:secret

// HEAD of a protected folder made its listing, decoding every protected picture for it.
TEST_F(ListingGuard, HeadOfProtectedAlbumDecodesNothing) {
    Write("album/.pass", "anna,secret\n");
    ASSERT_TRUE(test::WritePicture(root + "/album/secret.jpg", 64, 48, Qt::darkRed));
    test::FileOpens opens({root + "/album/secret.jpg"});
    ASSERT_TRUE(opens.Watching(1));
    EXPECT_TRUE(StatusIs(*Run("HEAD", "/album/"), "401 Unauthorized"));
    EXPECT_EQ(opens.Count(), 0);
}

// The thumbnail of a protected picture was served to anyone who knew (or guessed) its key.
TEST_F(ListingGuard, ThumbnailOfProtectedPictureAsksForCredentials) {
    Write("album/.pass", "anna,secret\n");
    ASSERT_TRUE(test::WritePicture(root + "/album/secret.jpg", 64, 48, Qt::darkRed));
    const std::string listing = Body(*Run("GET", "/album/", kAnna));
    std::smatch match;
    ASSERT_TRUE(std::regex_search(listing, match, std::regex("/Thumbnail__[0-9A-F]{8}")))
        << listing;
    const std::string url = match[0];
    EXPECT_TRUE(StatusIs(*Run("GET", url), "401 Unauthorized"));
    EXPECT_TRUE(StatusIs(*Run("GET", url, "Basic YW5uYTp3cm9uZw=="), "401 Unauthorized"));
    auto admitted = Run("GET", url, kAnna);
    EXPECT_TRUE(StatusIs(*admitted, "200 OK"));
    EXPECT_TRUE(Body(*admitted).starts_with("\xFF\xD8"));
}

// "100% done.txt", "Track #1.txt" and "what?.txt" were listed with links that answered 404:
// the link kept '%', '#' and '?' as they are.
TEST_F(ListingGuard, ListingLinksEncodePercentHashAndQuestionMark) {
    const std::vector<std::string> names = {"100% done.txt", "Track #1.txt", "what?.txt"};
    for (const std::string& name : names)
        Write("d/" + name, "x");
    Write("d/.dir", "<fileitem>[%LINK%]</fileitem>");
    const std::string listing = Body(*Run("GET", "/d/"));
    EXPECT_NE(listing.find("[/d/100%25%20done.txt]"), std::string::npos) << listing;
    EXPECT_NE(listing.find("[/d/Track%20%231.txt]"), std::string::npos) << listing;
    EXPECT_NE(listing.find("[/d/what%3F.txt]"), std::string::npos) << listing;
    // Each link, decoded as the server decodes a request, names its file.
    std::smatch match;
    std::string rest = listing;
    std::vector<std::string> followed;
    while (std::regex_search(rest, match, std::regex(R"(\[([^\]]*)\])"))) {
        const auto decoded = DecodeUrl(match[1].str(), false);
        ASSERT_TRUE(decoded);
        followed.push_back(*decoded);
        rest = match.suffix();
    }
    EXPECT_EQ(followed,
              (std::vector<std::string>{"/d/100% done.txt", "/d/Track #1.txt", "/d/what?.txt"}));
}

// The empty-folder message showed visitors the absolute local path of the folder.
TEST_F(ListingGuard, EmptyFolderMessageNamesTheUrlNotTheLocalPath) {
    std::filesystem::create_directories(root + "/empty");
    const std::string listing = Body(*Run("GET", "/empty/"));
    EXPECT_NE(listing.find("'/empty/'"), std::string::npos) << listing;
    EXPECT_EQ(listing.find(root), std::string::npos) << listing;
}

// A page found by walking up ("/sub/page.html/extra/part") framed its menu with links below
// the page, so every link answered the same page again and a crawler looped for ever.
TEST_F(ListingGuard, WalkedUpPageTakesItsLinksFromItsOwnFolder) {
    Write("sub/.file", "<fileitem>[%LINK%]</fileitem><tvnbody></tvnbody>");
    Write("sub/page.html", "<body>p</body>");
    Write("sub/other.txt", "o");
    for (const std::string url : {"/sub/page.html/extra/part", "/sub\\page.html\\extra",
                                  "/sub/page.html/", "//sub/./page.html"}) {
        SCOPED_TRACE(url);
        auto context = Run("GET", url);
        ASSERT_TRUE(StatusIs(*context, "200 OK"));
        EXPECT_EQ(Body(*context), "[/sub/other.txt][/sub/page.html]<body>p</body>");
    }
}

// A shared chat log holding <script> ran in the server's origin, where the browser also
// keeps the credentials of protected folders. Text is text; an .htm page keeps its markup.
TEST_F(ListingGuard, TextPageMarkupIsEscapedHtmlPageKeepsIt) {
    Write("t/.file", "<tvnbody></tvnbody>");
    Write("t/chat.txt", "<script>alert(1)</script>\n<body>x&y</body>");
    Write("t/page.htm", "<b>bold</b>\n");
    EXPECT_EQ(Body(*Run("GET", "/t/chat.txt")),
              "&lt;script&gt;alert(1)&lt;/script&gt;<br>&lt;body&gt;x&amp;y&lt;/body&gt;");
    EXPECT_EQ(Body(*Run("GET", "/t/page.htm")), "<b>bold</b><br>");
}

// A text page's own words never become a listing section: only the frame's section is
// filled, once, whatever the text says.
TEST_F(ListingGuard, TextPageFillsOnlyTheFrameSections) {
    Write("t/.file", "<fileitem>[%LINK%]</fileitem>|<tvnbody></tvnbody>");
    Write("t/notes.txt", "<fileitem>%LINK%</fileitem>");
    EXPECT_EQ(Body(*Run("GET", "/t/notes.txt")),
              "[/t/notes.txt]|&lt;fileitem&gt;%LINK%&lt;/fileitem&gt;");
}

// "/pics/./" and "/pics/././" were folders of their own to the thumbnail cache: every
// variant decoded the whole folder again and stored new copies (466 requests grew the
// server by 130 MB).
TEST_F(ListingGuard, DotSpellingsOfAFolderShareItsThumbnails) {
    ASSERT_TRUE(test::WritePicture(root + "/pics/a.jpg", 64, 48, Qt::darkRed));
    ASSERT_TRUE(test::WritePicture(root + "/pics/b.jpg", 64, 48, Qt::darkRed));
    const std::string first = Body(*Run("GET", "/pics/"));
    test::FileOpens opens({root + "/pics/a.jpg", root + "/pics/b.jpg"});
    ASSERT_TRUE(opens.Watching(2));
    for (const std::string url : {"/pics/./", "/pics/././", "/./pics/", "//pics//./"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(Body(*Run("GET", url)), first);
    }
    EXPECT_EQ(opens.Count(), 0);
}

} // namespace
} // namespace tvn
