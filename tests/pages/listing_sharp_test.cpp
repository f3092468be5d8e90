// The %THUMBNAIL% placeholder of the listing templates and the built-in listing's pictures:
// sharp thumbnails for 2x screens, lazy loading and sizes; other templates as they were.
#include "pages/folder_listing.h"
#include "pages/thumbnail_cache.h"
#include "pages_fixture.h"
#include "support/picture_file.h"

#include <regex>

namespace tvn {
namespace {

class ListingSharp : public test::PagesFixture {
  protected:
    // The listing of the folder `relative` through `page`, made at once (a context without a
    // connection cannot wait).
    std::string Listed(const std::string& relative, const std::string& page) {
        auto context = Context("/" + relative, relative);
        std::string text;
        FillListingSectionsThen(*context, page, true,
                                [&text](CRequestContext&, std::string& filled) { text = filled; });
        return text;
    }
};

// The tags of a 400 by 300 picture.
const std::string kSharp = R"re(<img src="/Thumbnail__[0-9A-F]{8}" )re"
                           R"re(srcset="/Thumbnail2x__[0-9A-F]{8} 2x" width="100" height="75" )re"
                           R"re(loading="lazy" decoding="async">)re";
const std::string kOrdinary =
    R"re(<img src="/Thumbnail__[0-9A-F]{8}" width="100" height="75" border=0 vspace=3 hspace=3>)re";

TEST_F(ListingSharp, PlaceholderGivesTheSharpTagAndNameStaysTheOrdinaryOne) {
    ASSERT_TRUE(test::WritePicture(root + "/a/sea.jpg", 400, 300, Qt::darkCyan));
    Write("a/notes.txt", "n");
    Write("a/broken.jpg", "no picture");
    struct Case {
        const char* page;
        std::string expected; // a regular expression for the whole listing
    };
    const std::string& sharp = kSharp;
    const std::string& ordinary = kOrdinary;
    const Case cases[] = {
        {"<pictitem>[%THUMBNAIL%]</pictitem>", R"(\[broken\]\[)" + sharp + R"(\])"},
        {"<pictitem>[%NAME%]</pictitem>", R"(\[broken\]\[)" + ordinary + R"(\])"},
        {"<pictitem>[%NAME%|%THUMBNAIL%]</pictitem>",
         R"(\[broken\|broken\]\[)" + ordinary + R"(\|)" + sharp + R"(\])"},
        // Entries that are no pictures have no thumbnail.
        {"<fileitem>[%THUMBNAIL%%FILENAME%]</fileitem>", R"(\[notes.txt\])"},
        {"<pictitem>%THUMBNAIL%%THUMBNAIL%</pictitem>", "brokenbroken" + sharp + sharp},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        const std::string listed = Listed("a/", c.page);
        EXPECT_TRUE(std::regex_match(listed, std::regex(c.expected))) << listed;
    }
}

// The built-in listing offers every picture sharp, with its size, fetched as it scrolls into
// view; the names and captions around it are as before.
TEST_F(ListingSharp, BuiltInListingShowsSharpLazyThumbnails) {
    ASSERT_TRUE(test::WritePicture(root + "/album/sea.jpg", 400, 300, Qt::darkCyan));
    ASSERT_TRUE(test::WritePicture(root + "/album/sky.jpg", 400, 300, Qt::blue));
    auto context = Context("/album/", "album/");
    SendFolderListing(*context);
    const std::string body = Body(*context);
    const auto count = [&](const std::regex& tag) {
        return std::distance(std::sregex_iterator(body.begin(), body.end(), tag),
                             std::sregex_iterator());
    };
    EXPECT_EQ(count(std::regex(kSharp)), 2) << body;
    EXPECT_EQ(count(std::regex(kOrdinary)), 0) << body;
    EXPECT_NE(body.find("<a href=\"/album/sea.jpg\"><img src=\"/Thumbnail__"), std::string::npos);
    EXPECT_NE(body.find("<figcaption><span class=\"tvn-caption\">sky.jpg</span>"),
              std::string::npos);
}

} // namespace
} // namespace tvn
