// "/Folder/?search=words" over a real connection: the hits through the folder's template, the
// words escaped on the page, passwords, the bound, and listings that stay what they were.
#include "pages/listing_cache.h"
#include "pages/page_stages.h"
#include "platform/resources.h"
#include "support/picture_file.h"
#include "support/server_fixture.h"

#include <filesystem>

namespace tvn::test {
namespace {

namespace fs = std::filesystem;

const std::string kGuest = "Authorization: Basic Z3Vlc3Q6c2VjcmV0\r\n"; // guest:secret

class SearchRequest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        doc->SetContentStages(&pageStages);
        Put("Trip/\xC3\x84rger.txt", "x");
        Put("Trip/Day 1/\xC3\xA4rger am Strand.txt", "x");
        Put("Trip/Day 1/calm.txt", "x");
        Put("Trip/.secret/\xC3\xA4rger.txt", "x");
        Put("Trip/Locked/.pass", "guest,secret\n");
        Put("Trip/Locked/\xC3\xA4rger-locked.txt", "x");
        Put("Mine/.pass", "guest,secret\n");
        Put("Mine/a.txt", "x");
    }

    static bool Holds(const Answer& answer, std::string_view text) {
        return answer.body.find(text) != std::string::npos;
    }

    CPageStages pageStages;
};

// The hits below the folder, linked and named by their paths below it, case aside.
TEST_F(SearchRequest, ListsTheNamesBelowTheFolder) {
    const Answer answer = Get("/Trip/?search=%C3%84RGER");
    ASSERT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(answer.body.size()));
    for (const std::string_view expected : {
             "<a href=\"/Trip/%C3%84rger.txt\">\xC3\x84rger.txt</a>",
             "<a href=\"/Trip/Day%201/%C3%A4rger%20am%20Strand.txt\">"
             "Day 1/\xC3\xA4rger am Strand.txt</a>",
             "value=\"\xC3\x84RGER\"", // the box holds the words as they were typed
             "action=\"/Trip/\"",
         }) {
        EXPECT_TRUE(Holds(answer, expected)) << expected;
    }
    for (const std::string_view absent : {"calm", "secret", "locked", "tvn-search-note"})
        EXPECT_FALSE(Holds(answer, absent)) << absent;
}

// A picture found below the folder shows as its thumbnail, named by its path.
TEST_F(SearchRequest, PicturesGetThumbnails) {
    ASSERT_TRUE(WritePicture(root + "/Trip/Day 2/\xC3\x84rger.jpg", 40, 30, Qt::red));
    const Answer answer = Get("/Trip/?search=jpg");
    EXPECT_TRUE(Holds(answer, "<a href=\"/Trip/Day%202/%C3%84rger.jpg\"><img src=\"/Thumbnail__"))
        << answer.body;
    EXPECT_TRUE(Holds(answer, "<span class=\"tvn-caption\">Day 2/\xC3\x84rger.jpg</span>"));
}

// '+' is a space as a form sends it; every word must be in the name.
TEST_F(SearchRequest, WordsAreSplitAtSpaces) {
    const Answer answer = Get("/Trip/?search=strand+%C3%A4rger");
    EXPECT_TRUE(Holds(answer, "Day 1/\xC3\xA4rger am Strand.txt</a>"));
    EXPECT_FALSE(Holds(answer, ">\xC3\x84rger.txt</a>"));
}

// A protected subfolder is searched only with its password; the folder's own is asked for.
TEST_F(SearchRequest, PasswordsOfTheFolders) {
    EXPECT_FALSE(Holds(Get("/Trip/?search=locked"), "Locked/"));
    EXPECT_TRUE(Holds(Get("/Trip/?search=locked", kGuest), ">Locked/\xC3\xA4rger-locked.txt</a>"));
    EXPECT_EQ(Get("/Mine/?search=a").statusLine, "HTTP/1.0 401 Unauthorized");
    EXPECT_TRUE(Holds(Get("/Mine/?search=a", kGuest), ">a.txt</a>"));
}

// Words reach the page as text only, and a path in them leads nowhere.
TEST_F(SearchRequest, HostileWordsStayText) {
    struct Case {
        std::string query;
        std::string_view shown; // how the box shows the words
    };
    const Case cases[] = {
        {"%3Cscript%3Ealert(1)%3C/script%3E", "value=\"&lt;script&gt;alert(1)&lt;/script&gt;\""},
        {"%22%3E%3Cimg%20src=x%3E", "value=\"&quot;&gt;&lt;img src=x&gt;\""},
        {"../", "value=\"../\""},
        {"..%2F..%2Fetc%2Fpasswd", "value=\"../../etc/passwd\""},
        {"%25NAME%25%20%25LINK%25", "value=\"%NAME% %LINK%\""},
    };
    const std::string none = LoadString(StringId::kSearchNone);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        const Answer answer = Get("/Trip/?search=" + c.query);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
        EXPECT_TRUE(Holds(answer, c.shown));
        EXPECT_FALSE(Holds(answer, "<script>alert"));
        EXPECT_FALSE(Holds(answer, "<img src=x>"));
        EXPECT_TRUE(Holds(answer, none));
        EXPECT_FALSE(Holds(answer, "<tr class=\"tvn-")) << "a hit for words no name holds";
    }
}

// A search without a word is the folder's listing, byte for byte.
TEST_F(SearchRequest, EmptySearchIsTheListing) {
    const Answer listing = Get("/Trip/");
    ASSERT_EQ(listing.statusLine, "HTTP/1.0 200 OK");
    EXPECT_TRUE(Holds(listing, "name=\"search\" value=\"\""));
    for (const std::string query : {"?search=", "?search=+++", "?search=%20%09", "?search"}) {
        SCOPED_TRACE(query);
        EXPECT_EQ(Get("/Trip/" + query).body, listing.body);
    }
}

// A search is never kept as the folder's listing, and a kept listing never answers a search.
TEST_F(SearchRequest, KeptListingsStayListings) {
    const Answer listing = Get("/Trip/");
    const std::uint64_t hits = SharedListingCache().Hits();
    const Answer search = Get("/Trip/?search=%C3%A4rger");
    EXPECT_NE(search.body, listing.body);
    EXPECT_TRUE(Holds(search, "Day 1/\xC3\xA4rger am Strand.txt"));
    EXPECT_EQ(SharedListingCache().Hits(), hits);
    EXPECT_EQ(Get("/Trip/").body, listing.body);
    EXPECT_EQ(SharedListingCache().Hits(), hits + 1);
}

// A folder's own template lists the hits in its sections; without a box, the note about a
// search cut short goes in front of the end of its body.
TEST_F(SearchRequest, OwnTemplateAndTheHitBound) {
    for (int i = 0; i < 501; ++i)
        Put("Many/sub/n" + std::to_string(i) + ".txt", "x");
    Put("Many/.dir", "<html><body><fileitem>%LINK%;</fileitem></body></html>");
    const std::string before = Get("/Many/").body;
    EXPECT_EQ(before, "<html><body></body></html>") << "no note where nothing was searched";
    const Answer answer = Get("/Many/?search=N");
    const std::string cut = LoadString(StringId::kSearchCut);
    EXPECT_TRUE(answer.body.starts_with("<html><body>/Many/sub/n"));
    EXPECT_TRUE(
        answer.body.ends_with(";<p class=\"tvn-search-note\">" + cut + "</p>\n</body></html>"))
        << answer.body.substr(answer.body.size() - 300);
    std::size_t listed = 0;
    for (auto at = answer.body.find(';'); at != std::string::npos;
         at = answer.body.find(';', at + 1))
        ++listed;
    EXPECT_EQ(listed, 500u);
    // 500 hits exactly fit, and the page does not say the search was cut.
    fs::remove(root + "/Many/sub/n0.txt");
    EXPECT_FALSE(Holds(Get("/Many/?search=N"), "tvn-search-note"));
}

} // namespace
} // namespace tvn::test
