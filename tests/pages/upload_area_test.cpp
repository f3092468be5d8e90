// The upload area of the built-in listing: only in a folder that takes uploads, gone as soon
// as the folder stops taking them, and no other template changes by a byte.
#include "pages/listing_cache.h"
#include "pages/page_stages.h"
#include "pages_fixture.h"
#include "platform/resources.h"

#include <filesystem>

namespace tvn {
namespace {

namespace fs = std::filesystem;

class UploadArea : public test::PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        doc->SetContentStages(&stages);
    }

    std::string List(const std::string& url) {
        CRequestContext context(*doc, "127.0.0.1:4000");
        context.request.method = "GET";
        context.request.url = url;
        context.RunRequest();
        return Body(context);
    }

    static bool HasArea(const std::string& body) {
        return body.find("<section class=\"tvn-upload\"") != std::string::npos;
    }

    // The built-in template as it was before the upload area.
    static std::string TemplateWithoutThePair() {
        std::string text(*FindResource("CONTENT", ".dir"));
        const auto at = text.find("<uploadarea></uploadarea>");
        EXPECT_NE(at, std::string::npos);
        if (at != std::string::npos)
            text.erase(at, 25);
        return text;
    }

    CPageStages stages;
};

TEST_F(UploadArea, ShownOnlyWhereTheFolderTakesUploads) {
    Write("in/.upload", "maxsize=1536\n");
    Write("in/a.txt", "a");
    Write("out/a.txt", "a");
    Write("odd/a.txt", "a");
    fs::create_directories(root + "/odd/.upload"); // a folder of that name takes nothing
    const std::string in = List("/in/");
    ASSERT_TRUE(HasArea(in)) << in;
    for (const std::string_view expected : {
             "data-target=\"/in/\"",
             "data-sent=\"Sent\"",
             "<h2>Send files to this folder</h2>",
             "<small>At most 1.5 KB a file.</small>",
             "<input type=\"file\" multiple>",
             "\"Tus-Resumable\", \"1.0.0\"",
         }) {
        EXPECT_NE(in.find(expected), std::string::npos) << expected;
    }
    for (const std::string_view slot : {"%TARGET%", "%TITLE%", "%LIMIT%", "%SENT%", "<uploadarea"})
        EXPECT_EQ(in.find(slot), std::string::npos) << slot;
    // It stands where the pair stood, in front of the listing.
    EXPECT_LT(in.find("</h1><section class=\"tvn-upload\""), in.find("<table"));

    for (const std::string url : {"/out/", "/odd/"}) {
        SCOPED_TRACE(url);
        const std::string out = List(url);
        EXPECT_FALSE(HasArea(out));
        EXPECT_EQ(out.find("uploadarea"), std::string::npos);
        // Behind the heading only the "Download all" link, then the tools.
        EXPECT_NE(out.find("</h1><p class=\"tvn-download\"><a href=\"?zip\" rel=\"nofollow\">"
                           "Download all</a></p>\n<div class=\"tvn-tools\""),
                  std::string::npos);
    }
}

// The built-in listing of a folder without uploads is the page it was before the area
// existed, and a folder's own template without the pair gives the same page whether the
// folder takes uploads or not.
TEST_F(UploadArea, OtherListingsKeepTheirBytes) {
    Write("plain/a.txt", "a");
    Write("plain/sub/b.txt", "b");
    const std::string builtIn = List("/plain/");
    Write("plain/.dir", TemplateWithoutThePair());
    EXPECT_EQ(List("/plain/"), builtIn);

    Write("own/.dir", TemplateWithoutThePair());
    Write("own/a.txt", "a");
    const std::string before = List("/own/");
    Write("own/.upload", "");
    EXPECT_EQ(List("/own/"), before);
    Write("own/.dir", "<fileitem>%NAME%;</fileitem>|<UPLOADAREA>x</UPLOADAREA>|");
    const std::string own = List("/own/");
    EXPECT_TRUE(own.starts_with("a;|<section class=\"tvn-upload\"")) << own;
    EXPECT_TRUE(own.ends_with("</script>\n|"));
}

// The listing cache hears the dot-file: a kept listing of the folder is not served once the
// folder gains or loses its ".upload".
TEST_F(UploadArea, FolderThatGainsOrLosesItsUploadFileIsListedAnew) {
    Write("k/a.txt", "a");
    EXPECT_FALSE(HasArea(List("/k/")));
    const std::uint64_t hits = SharedListingCache().Hits();
    EXPECT_FALSE(HasArea(List("/k/")));
    EXPECT_EQ(SharedListingCache().Hits(), hits + 1); // kept
    Write("k/.upload", "");
    EXPECT_TRUE(HasArea(List("/k/")));
    EXPECT_TRUE(HasArea(List("/k/")));
    Write("k/.upload", "maxsize=2048\n");
    EXPECT_NE(List("/k/").find("At most 2.0 KB a file."), std::string::npos);
    fs::remove(root + "/k/.upload");
    EXPECT_FALSE(HasArea(List("/k/")));
}

// A folder's name reaches the page only as an escaped link.
TEST_F(UploadArea, FolderNameCannotBreakOutOfTheTarget) {
    const std::string name = "a\"b<c>&d %TITLE%";
    Write(name + "/.upload", "");
    const std::string body = List("/" + name + "/"); // as the reader leaves it, decoded
    ASSERT_TRUE(HasArea(body)) << body.substr(0, 400);
    EXPECT_NE(body.find("data-target=\"/a%22b%3Cc%3E&amp;d%20%25TITLE%25/\" "), std::string::npos);
}

} // namespace
} // namespace tvn
