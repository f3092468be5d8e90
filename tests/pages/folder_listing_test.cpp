#include "pages/folder_listing.h"
#include "pages/page_wrap.h"
#include "pages_fixture.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sys/stat.h>

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

// The folder read as a listing reads it, into `entries`; the count of counted entries.
int Collect(const std::string& folderPath, std::string_view folderUrl, bool isRoot,
            ListingEntries& entries) {
    FolderScan scan;
    const int total = ScanFolder(folderPath, folderUrl, isRoot, scan);
    entries = std::move(scan.entries);
    return total;
}

using Listing = PagesFixture;

TEST_F(Listing, DefaultDocumentsCountButAreNotListed) {
    Write("site/index.html", "x");
    Write("site/default.htm", "x");
    ListingEntries entries;
    EXPECT_EQ(Collect(root + "/site/", "/site/", false, entries), 2);
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
    EXPECT_EQ(Collect(root + "/sub/", "/sub/", false, entries), 5);
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{".", "..", "Alpha", "zeta"}));
    EXPECT_EQ(Names(entries.files), (std::vector<std::string>{"A", "b", "report.final"}));
    EXPECT_EQ(Links(entries.files),
              (std::vector<std::string>{"A.txt", "b.txt", "report.final.html"}));
}

TEST_F(Listing, FolderOfFoldersHasNoDotAndRootHasNeither) {
    Write("only/inner/x.txt", "x");
    ListingEntries entries;
    Collect(root + "/only/", "/only/", false, entries);
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{"..", "inner"}));
    Collect(root + "/only/inner/", "/only/inner/", true, entries);
    EXPECT_EQ(Names(entries.folders), (std::vector<std::string>{}));
}

// The message named the folder by its local path, telling every visitor where the owner
// keeps the shared folder. It names the URL path.
TEST_F(Listing, EmptyFolderShowsTheMessageWithItsUrlPathNotItsLocalPath) {
    ListingEntries entries;
    EXPECT_EQ(Collect(root + "/", "/", true, entries), 1);
    ASSERT_EQ(entries.files.size(), 1u);
    EXPECT_EQ(entries.files[0].link, "#");
    EXPECT_EQ(entries.files[0].name, "<br> - Create Folders for data to be shared in<br> '/'<br> - "
                                     "Populate the folders with files<br>");
    EXPECT_EQ(entries.files[0].name.find(root), std::string::npos);
    // A missing folder reads as empty.
    Collect(root + "/missing/", "/missing/", true, entries);
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
    Collect(root + "/", "/", true, entries);
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
    const std::string answer = test::AnswerBytes(*context);
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 200 OK\r\nServer: Tarvolin Plus/1.0\r\nDate: "));
    EXPECT_NE(answer.find("\r\nContent-Type: text/html\r\nLast-Modified: "), std::string::npos);
    EXPECT_NE(answer.find("\r\nContent-Length: 17\r\n\r\n"), std::string::npos) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\n<html>one;</html>"));

    Write("e/.dir", "");
    Write("e/two.txt", "2");
    auto empty = Context("/e/", "e/");
    SendFolderListing(*empty);
    EXPECT_EQ(Body(*empty), "<a href=\"/e/.\">.</a><br><a href=\"/e/..\">..</a><br>"
                            "<a href=\"/e/two.txt\">two</a><br>");
}

// Sizes, dates and kinds: fixed file times, read in UTC.
class ListingDetails : public PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        if (const char* zone = std::getenv("TZ"))
            savedZone = zone;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (savedZone)
            ::setenv("TZ", savedZone->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
        PagesFixture::TearDown();
    }
    void WriteAt(const std::string& relative, std::string_view bytes, long long seconds) {
        Write(relative, bytes);
        Touch(relative, seconds);
    }
    void Touch(const std::string& relative, long long seconds) {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (root + "/" + relative).c_str(), times, 0), 0);
    }
    std::string Listed(const std::string& url, const std::string& relative, std::string page) {
        auto context = Context(url, relative);
        Fill(*context, page, true);
        return page;
    }

    std::optional<std::string> savedZone;
};

// The sections of the built-in .dir as it stood before sizes and dates: a folder's own
// template written that way must give the page it always gave, to the byte.
TEST_F(ListingDetails, TemplatesWithoutTheNewPlaceholdersGiveTheSameBytes) {
    WriteAt("old/Photos/x.txt", "x", 1000);
    WriteAt("old/notes.txt", std::string(5000, 'n'), 2000);
    WriteAt("old/a&b.tar.gz", "z", 3000);
    const std::string page =
        "<ul><diritem><li><a href=\"%LINK%\"><img src=\"/folder.gif\" width=\"16\" height=\"16\" "
        "alt=\"\">%NAME%</a></li></diritem></ul>\n"
        "<ul><fileitem><li><a href=\"%LINK%\">%NAME%</a> %NAME% 100%DATE "
        "%SIZE</li></fileitem></ul>";
    EXPECT_EQ(Listed("/old/", "old/", page),
              "<ul><li><a href=\"/old/.\"><img src=\"/folder.gif\" width=\"16\" height=\"16\" "
              "alt=\"\">.</a></li><li><a href=\"/old/..\"><img src=\"/folder.gif\" width=\"16\" "
              "height=\"16\" alt=\"\">..</a></li><li><a href=\"/old/Photos\"><img "
              "src=\"/folder.gif\" width=\"16\" height=\"16\" alt=\"\">Photos</a></li></ul>\n"
              "<ul><li><a href=\"/old/a&b.tar.gz\">a&amp;b.tar</a> %NAME% 100%DATE %SIZE</li>"
              "<li><a href=\"/old/notes.txt\">notes</a> %NAME% 100%DATE %SIZE</li></ul>");
    // Such a template costs no stat call per entry: nothing is read beyond the names.
    FolderScan scan;
    ScanFolder(root + "/old/", "/old/", false, scan);
    for (const ListingEntry& entry : scan.entries.files) {
        EXPECT_EQ(entry.size, -1);
        EXPECT_EQ(entry.kind, EntryKind::None);
    }
}

TEST_F(ListingDetails, NamesSizesDatesAndKindsToTheByte) {
    WriteAt("m/Music/x.mp3", "x", 0);
    Touch("m/Music", 1700000000); // 2023-11-14 22:13:20
    WriteAt("m/song.MP3", std::string(1536, 's'), 1709251199);
    WriteAt("m/a&b <c>.tar.gz", "", 86400);
    WriteAt("m/clip.mkv", "v", 60);
    WriteAt("m/report.pdf", "p", 120);
    WriteAt("m/notes.txt", "t", 180);
    WriteAt("m/README", "r", 240);
    WriteAt("m/page.html", "h", 300);
    WriteAt("m/sea.jpg", std::string(2048, 'j'), 360); // not a picture inside: no thumbnail
    const std::string page =
        "<diritem>[%FILENAME%|%KIND%|%SIZE%|%BYTES%|%DATE%|%MTIME%]</diritem>\n"
        "<fileitem>[%FILENAME%|%KIND%|%SIZE%|%BYTES%|%DATE%|%MTIME%]</fileitem>\n"
        "<pictitem>[%FILENAME%|%KIND%|%SIZE%|%DATE%]</pictitem>";
    EXPECT_EQ(Listed("/m/", "m/", page),
              // "." and ".." are folders without a date; a folder has no size.
              "[.|folder||||][..|folder||||][Music|folder|||2023-11-14 22:13|1700000000]\n"
              "[a&amp;b &lt;c&gt;.tar.gz|archive|0 B|0|1970-01-02 00:00|86400]"
              "[clip.mkv|video|1 B|1|1970-01-01 00:01|60]"
              "[notes.txt|text|1 B|1|1970-01-01 00:03|180]"
              "[page.html|document|1 B|1|1970-01-01 00:05|300]"
              "[README|other|1 B|1|1970-01-01 00:04|240]"
              "[report.pdf|document|1 B|1|1970-01-01 00:02|120]"
              "[song.MP3|audio|1.5 KB|1536|2024-02-29 23:59|1709251199]\n"
              "[sea.jpg|picture|2.0 KB|1970-01-01 00:06]");
}

TEST_F(ListingDetails, NewPlaceholdersRepeatAndNamesCannotPassForThem) {
    WriteAt("r/%SIZE%.txt", "12", 7200);
    const std::string page = "<fileitem>%FILENAME%=%FILENAME% %NAME%/%NAME% %SIZE%%SIZE% "
                             "%LINK% %LINK% %%KIND%%</fileitem>";
    EXPECT_EQ(Listed("/r/", "r/", page), "%SIZE%.txt=%SIZE%.txt %SIZE%/%NAME% 2 B2 B "
                                         "/r/%25SIZE%25.txt %LINK% %text%");
}

TEST_F(ListingDetails, LinksShowWhatTheyLeadTo) {
    WriteAt("target.txt", std::string(3000, 't'), 5000);
    // A link's own time is of no interest: the visitor gets the target.
    const std::string page = "<fileitem>%FILENAME% %KIND% %SIZE% %MTIME% %LINK%</fileitem>";
    std::filesystem::create_directories(root + "/l");
    std::filesystem::create_symlink(root + "/target.txt", root + "/l/shortcut.log");
    EXPECT_EQ(Listed("/l/", "l/", page), "shortcut.log text 2.9 KB 5000 /l/shortcut.log");
}

// An empty folder says how to fill it also where a template shows file names only.
TEST_F(ListingDetails, EmptyFolderMessageStandsInForTheFileName) {
    std::filesystem::create_directories(root + "/e");
    EXPECT_EQ(Listed("/e/", "e/",
                     "<fileitem><a href=\"%LINK%\" class=\"k%KIND%\">%FILENAME%</a>"
                     "%SIZE%%DATE%</fileitem>"),
              "<a href=\"/e/#\" class=\"k\"><br> - Create Folders for data to be shared in<br> "
              "'/e/'<br> - Populate the folders with files<br></a>");
}

TEST_F(ListingDetails, PathSectionsNameEveryFolderOfTheUrlInEveryPair) {
    Write("a b/c&d/x.txt", "x");
    const std::string page = "<title><pathitem>/%NAME%</pathitem>/</title>"
                             "<a href=\"/\">Home</a><pathitem> &gt; <a href=\"%LINK%\">%NAME%</a>"
                             "</pathitem>";
    EXPECT_EQ(Listed("/a b/c&d/", "a b/c&d/", page),
              "<title>/a b/c&amp;d/</title><a href=\"/\">Home</a>"
              " &gt; <a href=\"/a%20b/\">a b</a> &gt; <a href=\"/a%20b/c&d/\">c&amp;d</a>");
    EXPECT_EQ(Listed("/a b/", "a b/", "<PATHITEM>%LINK%|</PATHITEM><pathitem"),
              "/a%20b/|<pathitem");
    // The root has no folders above it: the sections vanish.
    EXPECT_EQ(Listed("/", "", "<h1>Home<pathitem> / %NAME%</pathitem></h1>"), "<h1>Home</h1>");
}

// The built-in template as a visitor gets it: a row per entry with icon, full name, size and
// date; folder links end in '/'; captions under the thumbnails; the path as a breadcrumb.
TEST_F(ListingDetails, BuiltInTemplateShowsRowsCaptionsAndThePath) {
    WriteAt("site/Album/sub/x.txt", "x", 0);
    Touch("site/Album/sub", 100);
    WriteAt("site/Album/tune.ogg", std::string(2500, 'o'), 1709251199);
    WriteAt("site/Album/pic.png", "not really a picture", 1700000000);
    auto context = Context("/site/Album/", "site/Album/");
    SendFolderListing(*context);
    const std::string body = Body(*context);
    for (const std::string_view expected : {
             "<title>/site/Album/ - Tarvolin</title>",
             "<a href=\"/site/\">site</a><span aria-hidden=\"true\">/</span><a "
             "href=\"/site/Album/\">Album</a></h1>",
             "<tr class=\"tvn-folder\" data-date=\"100\"><td><a "
             "href=\"/site/Album/sub/\">sub</a><td><td>"
             "1970-01-01 00:01\n",
             "<a href=\"/site/Album/../\">",
             "<tr class=\"tvn-audio\" data-size=\"2500\" data-date=\"1709251199\"><td><a "
             "href=\"/site/Album/tune.ogg\">tune.ogg</a><td>2.4 KB<td>2024-02-29 23:59\n",
             "<figcaption><span class=\"tvn-caption\">pic.png</span> <small>20 B</small>"
             "</figcaption>",
         }) {
        EXPECT_NE(body.find(expected), std::string::npos) << expected << "\n" << body;
    }
    for (const std::string_view left : {"%", "<diritem", "<fileitem", "<pictitem", "<pathitem"})
        EXPECT_EQ(body.find(left), std::string::npos) << left;
}

} // namespace
} // namespace tvn
