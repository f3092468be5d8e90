#include "pages/folder_listing.h"
#include "pages/page_wrap.h"
#include "pages_fixture.h"

#include <filesystem>

namespace tvn {
namespace {

// The listing sections filled at once: a context without a connection cannot wait, so the
// thumbnails are made before FillListingSectionsThen returns.
void Fill(CRequestContext& context, std::string& text, bool folderRequest) {
    FillListingSectionsThen(context, text, folderRequest,
                            [&text](CRequestContext&, std::string& filled) { text = filled; });
}

using test::PagesFixture;

std::vector<std::string> Names(const std::vector<ListingEntry>& list) {
    std::vector<std::string> names;
    for (const auto& e : list)
        names.push_back(e.name);
    return names;
}

std::vector<std::string> Links(const std::vector<ListingEntry>& list) {
    std::vector<std::string> links;
    for (const auto& e : list)
        links.push_back(e.link);
    return links;
}

using Listing = PagesFixture;

TEST_F(Listing, DefaultDocumentsCountButAreNotListed) {
    Write("site/index.html", "x");
    Write("site/default.htm", "x");
    ListingEntries entries;
    EXPECT_EQ(CollectEntries(root + "/site/", "/site/", false, entries), 2);
    EXPECT_TRUE(entries.files.empty()); // no empty-folder message either
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{".."}));
}

TEST_F(Listing, FolderOrderDotsFirstThenNamesWithoutRegardToCase) {
    Write("sub/b.txt", "x");
    Write("sub/A.txt", "x");
    Write("sub/zeta/x", "x");
    Write("sub/Alpha/x", "x");
    Write("sub/.pass", "x");
    Write("sub/report.final.html", "x");
    ListingEntries entries;
    EXPECT_EQ(CollectEntries(root + "/sub/", "/sub/", false, entries), 5);
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{".", "..", "Alpha", "zeta"}));
    EXPECT_EQ(Names(entries.files), (std::vector<std::string>{"A", "b", "report.final"}));
    EXPECT_EQ(Links(entries.files),
              (std::vector<std::string>{"A.txt", "b.txt", "report.final.html"}));
}

TEST_F(Listing, FolderOfFoldersHasNoDotAndRootHasNeither) {
    Write("only/inner/x.txt", "x");
    ListingEntries entries;
    CollectEntries(root + "/only/", "/only/", false, entries);
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{"..", "inner"}));
    CollectEntries(root + "/only/inner/", "/only/inner/", true, entries);
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{}));
}

// The message once named the folder by its local path, telling every visitor where the
// owner keeps the shared folder: it names the URL path now.
TEST_F(Listing, EmptyFolderShowsTheMessageWithItsUrlPathNotItsLocalPath) {
    ListingEntries entries;
    EXPECT_EQ(CollectEntries(root + "/", "/", true, entries), 1);
    ASSERT_EQ(entries.files.size(), 1u);
    EXPECT_EQ(entries.files[0].link, "#");
    EXPECT_EQ(entries.files[0].name, "<br> - Create Folders for data to be shared in<br> '/'<br> - "
                                     "Populate the folders with files<br>");
    EXPECT_EQ(entries.files[0].name.find(root), std::string::npos);
    // A missing folder reads as empty.
    CollectEntries(root + "/missing/", "/missing/", true, entries);
    EXPECT_EQ(entries.files.size(), 1u);
}

// A file may be called "<script>....txt" on Linux: its name must reach the page as text.
TEST_F(Listing, NamesFromTheFileSystemAreHtmlTextAndLinksCannotBreakOut) {
    Write("<img src=x onerror=alert(1)>.txt", "x");
    Write("a\"b.txt", "x");
    auto context = Context("/", "");
    std::string page = "<fileitem><a href=\"%LINK%\">%NAME%</a>\n</fileitem>";
    Fill(*context, page, true);
    EXPECT_NE(page.find(">&lt;img src=x onerror=alert(1)&gt;</a>"), std::string::npos) << page;
    EXPECT_NE(page.find("href=\"/%3Cimg%20src=x%20onerror=alert(1)%3E.txt\""), std::string::npos)
        << page;
    EXPECT_EQ(page.find("<img"), std::string::npos) << page;
    EXPECT_NE(page.find("href=\"/a%22b.txt\">a&quot;b</a>"), std::string::npos) << page;
}

TEST_F(Listing, SymbolicLinksAreListedByTheirOwnNameAndBrokenOnesNot) {
    Write("target/file.txt", "x");
    std::filesystem::create_directory_symlink(root + "/target", root + "/shortcut");
    std::filesystem::create_symlink(root + "/nowhere", root + "/broken.txt");
    ListingEntries entries;
    CollectEntries(root + "/", "/", true, entries);
    // The link shows its target's name and links by its own.
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{"target", "target"}));
    EXPECT_EQ(Links(entries.folders), (std::vector<std::string>{"shortcut", "target"}));
    EXPECT_TRUE(entries.files.empty());
}

TEST_F(Listing, SectionsExpandWithEncodedLinksUppercaseTagsAndOnlyTheFirstPair) {
    Write("My Photos/x.txt", "x");
    Write("caf\xE9 & co.txt", "x");
    Write("Album/sub/x", "x");
    auto context = Context("/", "");
    std::string page = "<DIRITEM>[%LINK%|%NAME%]</DIRITEM>"
                       "<fileitem>(%NAME%:%LINK%)</fileitem><fileitem>second</fileitem>"
                       "<DirItem>%NAME%</DirItem>";
    Fill(*context, page, true);
    EXPECT_EQ(page, "[/Album|Album][/My%20Photos|My Photos]"
                    "(caf\xE9 &amp; co:/caf%E9%20&%20co.txt)<fileitem>second</fileitem>"
                    "<DirItem>%NAME%</DirItem>");

    auto sub = Context("/Album/", "Album/");
    std::string listing = "<diritem>%LINK% </diritem><pictitem>p</pictitem>";
    Fill(*sub, listing, true);
    EXPECT_EQ(listing, "/Album/.. /Album/sub "); // empty lists make their sections vanish
}

TEST_F(Listing, FolderListingAnswerUsesTheFolderTemplateOrItsFallback) {
    Write("t/.dir", "<html><fileitem>%NAME%;</fileitem></html>");
    Write("t/one.txt", "1");
    auto context = Context("/t/", "t/");
    SendFolderListing(*context);
    const std::string_view answer = context->buffer.View();
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 200 OK\r\nServer: Tarvolin Plus/1.0\r\nDate: "));
    EXPECT_NE(answer.find("\r\nContent-Type: text/html\r\nLast-Modified: "), std::string::npos);
    EXPECT_NE(answer.find("\r\nContent-Length: 17\r\n\r\n"), std::string::npos) << answer;
    EXPECT_EQ(Body(*context), "<html>one;</html>");

    Write("e/.dir", "");
    Write("e/two.txt", "2");
    auto empty = Context("/e/", "e/");
    SendFolderListing(*empty);
    EXPECT_EQ(Body(*empty), "<a href=\"/e/.\">.</a><br><a href=\"/e/..\">..</a><br>"
                            "<a href=\"/e/two.txt\">two</a><br>");
}

} // namespace
} // namespace tvn
