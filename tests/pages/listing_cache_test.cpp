// Kept listings: an unchanged folder is answered from memory, and any change of what its
// listing shows is on the very next request.
#include "file_opens.h"
#include "pages/listing_cache.h"
#include "pages/page_stages.h"
#include "pages/thumbnail_cache.h"
#include "pages_fixture.h"
#include "support/answer_bytes.h"
#include "support/picture_file.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;

class ListingCacheTest : public test::PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        doc->SetContentStages(&stages);
    }
    void TearDown() override {
        SharedListingCache().SetLimit(CListingCache::kDefaultLimit);
        PagesFixture::TearDown();
    }

    std::unique_ptr<CRequestContext> Run(const std::string& url, const std::string& auth = "") {
        auto context = std::make_unique<CRequestContext>(*doc, "127.0.0.1:4000");
        context->request.method = "GET";
        context->request.url = url;
        if (!auth.empty())
            context->request.headers["authorization"] = auth;
        context->RunRequest();
        return context;
    }

    // The body of a listing and whether it came from the cache.
    struct Listed {
        std::string body;
        bool kept = false;
    };
    Listed List(const std::string& url) {
        const std::uint64_t before = SharedListingCache().Hits();
        std::string body = Sent(*Run(url));
        return {std::move(body), SharedListingCache().Hits() != before};
    }

    // The body as the connection sends it: the buffer's, then the open file's bytes.
    static std::string Sent(CRequestContext& context) {
        std::string body = Body(context);
        const COpenFile& file = context.answer.File();
        if (!file.IsOpen())
            return body;
        std::string bytes(static_cast<std::size_t>(file.size - file.offset), '\0');
        const ssize_t n = ::pread(file.fd.Get(), bytes.data(), bytes.size(), file.offset);
        EXPECT_EQ(n, static_cast<ssize_t>(bytes.size()));
        return body + bytes;
    }

    // The listing as it is made from the folder now, with nothing kept.
    std::string Fresh(const std::string& url, const std::string& auth = "") {
        const std::size_t limit = SharedListingCache().SetLimit(0);
        std::string body = Sent(*Run(url, auth));
        SharedListingCache().SetLimit(limit);
        return body;
    }

    CPageStages stages;
};

// Every change a listing can show: after each, the next request is made anew and equals a
// listing made without the cache, while an unchanged folder is served from it.
TEST_F(ListingCacheTest, EveryChangeShowsOnTheNextRequest) {
    struct Case {
        const char* what;
        std::function<void(const std::string& dir)> change;
    };
    const Case cases[] = {
        {"add a file", [&](const std::string& d) { Write(d + "/new.txt", "n"); }},
        {"remove a file", [&](const std::string& d) { fs::remove(root + "/" + d + "/b.txt"); }},
        {"rename a file",
         [&](const std::string& d) {
             fs::rename(root + "/" + d + "/b.txt", root + "/" + d + "/c.txt");
         }},
        {"touch a file",
         [&](const std::string& d) {
             ASSERT_TRUE(test::SetModified(root + "/" + d + "/a.txt", 1e9));
         }},
        {"rewrite a file, same size", [&](const std::string& d) { Write(d + "/a.txt", "A"); }},
        {"take a file's rights",
         [&](const std::string& d) { ::chmod((root + "/" + d + "/a.txt").c_str(), 0); }},
        {"edit the template",
         [&](const std::string& d) { Write(d + "/.dir", "<fileitem>[%NAME%]</fileitem>"); }},
        {"add a file to a subfolder", [&](const std::string& d) { Write(d + "/sub/x.txt", "x"); }},
        {"touch the folder",
         [&](const std::string& d) { ASSERT_TRUE(test::SetModified(root + "/" + d, 1e9)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string d = "p/" + std::to_string(&c - cases);
        Write(d + "/a.txt", "a");
        Write(d + "/b.txt", "b");
        Write(d + "/.dir", "<diritem>%NAME% %MTIME%;</diritem>"
                           "<fileitem>%NAME% %BYTES% %MTIME%;</fileitem>");
        fs::create_directories(root + "/" + d + "/sub");
        const std::string url = "/" + d + "/";
        const Listed first = List(url);
        const Listed second = List(url);
        ASSERT_NE(first.body.find(";a 1 "), std::string::npos) << first.body;
        EXPECT_TRUE(second.kept);
        EXPECT_EQ(second.body, first.body);
        c.change(d);
        const Listed after = List(url);
        EXPECT_FALSE(after.kept);
        EXPECT_EQ(after.body, Fresh(url));
        List(url);
        EXPECT_TRUE(List(url).kept); // and kept again
    }
}

// A password list put into a kept folder asks for credentials at once: the list is checked
// before the listing stage, kept or not.
TEST_F(ListingCacheTest, PasswordListAddedToAKeptFolderIsAskedForAtOnce) {
    Write("club/a.txt", "a");
    const std::string before = List("/club/").body;
    ASSERT_TRUE(List("/club/").kept);
    Write("club/.pass", "anna,secret\n");
    EXPECT_TRUE(Run("/club/")->OutputView().starts_with("HTTP/1.0 401 Unauthorized\r\n"));
    const std::string anna = "Basic YW5uYTpzZWNyZXQ="; // anna:secret
    auto admitted = Run("/club/", anna);
    EXPECT_TRUE(test::AnswerBytes(*admitted).starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(Sent(*admitted), before);
    EXPECT_EQ(Sent(*admitted), Fresh("/club/", anna));
}

// A kept listing names thumbnails; once the thumbnail cache dropped one, the listing is made
// again and names thumbnails that are there.
TEST_F(ListingCacheTest, DroppedThumbnailIsMadeAgainForTheNextListing) {
    ASSERT_TRUE(test::WritePicture(root + "/album/sea.jpg", 300, 200, Qt::darkGreen));
    const std::regex tag("/Thumbnail__[0-9A-F]{8}");
    const std::string first = List("/album/").body;
    ASSERT_TRUE(std::regex_search(first, tag)) << first;
    ASSERT_TRUE(List("/album/").kept);

    const std::size_t thumbnailLimit = SetThumbnailCacheLimit(0);
    SetThumbnailCacheLimit(thumbnailLimit);
    test::FileOpens opens({root + "/album/sea.jpg"});
    ASSERT_TRUE(opens.Watching(1));
    const Listed after = List("/album/");
    EXPECT_FALSE(after.kept);
    EXPECT_EQ(opens.Count(), 1);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(after.body, match, tag)) << after.body;
    std::string jpeg;
    std::string picture;
    EXPECT_TRUE(CopyThumbnail(match[0].str(), jpeg, picture));
}

// A picture whose thumbnail could not be made shows its name, and is tried again on the
// next request (as without the cache); once it decodes, its thumbnail shows.
TEST_F(ListingCacheTest, ListingWithoutAThumbnailIsNotKept) {
    Write("album/broken.jpg", "\xFF\xD8 not really a picture");
    test::FileOpens opens({root + "/album/broken.jpg"});
    ASSERT_TRUE(opens.Watching(1));
    EXPECT_FALSE(List("/album/").kept);
    EXPECT_FALSE(List("/album/").kept);
    EXPECT_EQ(opens.Count(), 2);
    ASSERT_TRUE(test::WritePicture(root + "/album/broken.jpg", 300, 200, Qt::darkGreen));
    const std::string ready = List("/album/").body;
    EXPECT_TRUE(std::regex_search(ready, std::regex("/Thumbnail__[0-9A-F]{8}"))) << ready;
    EXPECT_TRUE(List("/album/").kept);
}

// A symbolic link's target can change anywhere: such a folder is read every time.
TEST_F(ListingCacheTest, FolderWithALinkIsReadEveryTime) {
    Write("links/a.txt", "a");
    fs::create_directories(base + "/elsewhere/one");
    fs::create_directory_symlink(base + "/elsewhere/one", root + "/links/shown");
    EXPECT_FALSE(List("/links/").kept);
    EXPECT_FALSE(List("/links/").kept);
}

// A template linked from another folder too can be rewritten there, unseen by the watch.
TEST_F(ListingCacheTest, FolderWhoseTemplateIsLinkedElsewhereIsReadEveryTime) {
    Write("t/a.txt", "a");
    Write("shared.dir", "<fileitem>%NAME%</fileitem>");
    fs::create_hard_link(root + "/shared.dir", root + "/t/.dir");
    EXPECT_EQ(List("/t/").body, "a");
    std::ofstream(root + "/shared.dir") << "<fileitem>[%NAME%]</fileitem>"; // the same file
    const Listed after = List("/t/");
    EXPECT_FALSE(after.kept);
    EXPECT_EQ(after.body, "[a]");
}

// A file with a second name in another folder can be rewritten there, unseen by this
// folder's watch: a listing that shows its size is made anew each time. One that shows names
// only is kept.
TEST_F(ListingCacheTest, FileLinkedFromElsewhereIsShownAsItIsNow) {
    Write("h/a.txt", "a");
    Write("other.txt", "12");
    fs::create_hard_link(root + "/other.txt", root + "/h/b.txt");
    Write("h/.dir", "<fileitem>%NAME% %BYTES%;</fileitem>");
    EXPECT_EQ(List("/h/").body, "a 1;b 2;");
    std::ofstream(root + "/other.txt") << "12345"; // the same file, through its other name
    const Listed after = List("/h/");
    EXPECT_FALSE(after.kept);
    EXPECT_EQ(after.body, "a 1;b 5;");
    Write("h2/.dir", "<fileitem>%NAME%;</fileitem>");
    fs::create_hard_link(root + "/other.txt", root + "/h2/b.txt");
    List("/h2/");
    EXPECT_TRUE(List("/h2/").kept);
}

// Renaming a folder above the listed one is no event of the listed folder: the folder now at
// the path is another one, and its own listing is made.
TEST_F(ListingCacheTest, FolderSwappedByRenamingItsParentIsListedAnew) {
    Write("top/d/alpha.txt", "o");
    ASSERT_NE(List("/top/d/").body.find("alpha"), std::string::npos);
    ASSERT_TRUE(List("/top/d/").kept);
    fs::rename(root + "/top", root + "/moved");
    Write("top/d/omega.txt", "n");
    const Listed after = List("/top/d/");
    EXPECT_FALSE(after.kept);
    EXPECT_EQ(after.body.find("alpha"), std::string::npos);
    EXPECT_NE(after.body.find("omega"), std::string::npos);
}

// The same folder listed at two URLs links differently: each URL has its own body.
TEST_F(ListingCacheTest, UrlIsPartOfTheKey) {
    Write("one/a.txt", "a");
    const std::string direct = List("/one/").body;
    fs::create_directory_symlink(root + "/one", root + "/two");
    const std::string linked = Fresh("/two/");
    ASSERT_NE(linked, direct);
    EXPECT_EQ(List("/one/").body, direct);
    EXPECT_EQ(List("/two/").body, linked);
}

// The bound holds, and the least recently used listing is the one that goes.
TEST_F(ListingCacheTest, BoundHoldsAndLeastRecentlyUsedGoes) {
    CListingCache& cache = SharedListingCache();
    for (int i = 0; i < 8; ++i) {
        for (int file = 0; file < 10; ++file)
            Write("many/" + std::to_string(i) + "/" + std::to_string(file) + std::string(200, 'n') +
                      ".txt",
                  "x");
    }
    cache.SetLimit(0);
    const std::size_t one = List("/many/0/").body.size();
    cache.SetLimit(3 * one + 3000); // about three listings with their keys and overhead
    for (int i = 0; i < 8; ++i) {
        List("/many/" + std::to_string(i) + "/");
        EXPECT_LE(cache.Bytes(), 3 * one + 3000);
        if (i == 5) {
            ASSERT_TRUE(List("/many/5/").kept); // now the most recently used
        }
    }
    EXPECT_EQ(cache.Count(), 3u);
    EXPECT_TRUE(List("/many/7/").kept);
    EXPECT_FALSE(List("/many/0/").kept);
    cache.SetLimit(0);
    EXPECT_EQ(cache.Count(), 0u);
    EXPECT_EQ(cache.Watches(), 0u); // no watch outlives its listings
}

// A large kept listing goes out from its memory file, byte for byte the listing made, and
// a change still shows on the next request.
TEST_F(ListingCacheTest, LargeListingIsSentFromItsMemoryFile) {
    for (int i = 0; i < 400; ++i)
        Write("big/" + std::to_string(i) + std::string(150, 'n') + ".txt", "x");
    const Listed first = List("/big/");
    ASSERT_GE(first.body.size(), CListingCache::kFileFrom);
    auto kept = Run("/big/");
    ASSERT_TRUE(kept->answer.File().IsOpen());
    EXPECT_NE(test::AnswerBytes(*kept).find(
                  "\r\nContent-Length: " + std::to_string(first.body.size()) + "\r\n"),
              std::string_view::npos);
    EXPECT_EQ(Sent(*kept), first.body);
    Write("big/zzz.txt", "z");
    const Listed after = List("/big/");
    EXPECT_FALSE(after.kept);
    EXPECT_NE(after.body.find("zzz"), std::string::npos);
    // HEAD of a kept listing: the head alone, no file left open.
    auto head = std::make_unique<CRequestContext>(*doc, "127.0.0.1:4000");
    head->request.method = "HEAD";
    head->request.url = "/big/";
    head->RunRequest();
    EXPECT_TRUE(test::AnswerBytes(*head).ends_with("\r\n\r\n"));
    EXPECT_FALSE(head->answer.File().IsOpen());
}

// A change while a listing is made: its body is not kept, as it may be from before.
TEST(ListingCache, ChangeWhileMadeIsNotKept) {
    test::TempDir temp;
    const std::string folder = temp.Path() + "/";
    CListingCache cache;
    {
        std::shared_ptr<CListingBuild> build = cache.Begin(folder, "/");
        ASSERT_TRUE(build);
        std::ofstream(folder + "late.txt") << "x";
        EXPECT_FALSE(build->Keep("before late.txt"));
        EXPECT_FALSE(cache.Find(folder, "/"));
    }
    {
        std::shared_ptr<CListingBuild> build = cache.Begin(folder, "/");
        ASSERT_TRUE(build);
        EXPECT_TRUE(build->Keep("with late.txt"));
    }
    const auto kept = cache.Find(folder, "/");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->Text(), "with late.txt");
    EXPECT_FALSE(cache.Find(folder, "/other/"));
    fs::remove_all(folder);
    EXPECT_FALSE(cache.Find(folder, "/"));
    EXPECT_EQ(cache.Watches(), 0u);
}

// Watches are few: the folder listed longest ago gives its watch up to a new one.
TEST(ListingCache, WatchLimitPushesOutTheLeastRecentlyUsedFolder) {
    test::TempDir temp;
    const std::string base = temp.Path();
    CListingCache cache(2);
    const std::string folders[] = {base + "/a/", base + "/b/", base + "/c/"};
    for (const std::string& folder : folders) {
        fs::create_directories(folder);
        ASSERT_TRUE(cache.Begin(folder, folder)->Keep(folder));
        EXPECT_LE(cache.Watches(), 2u);
        if (folder == folders[1]) {
            ASSERT_TRUE(cache.Find(folders[0], folders[0])); // "a" is now the most recent
        }
    }
    EXPECT_TRUE(cache.Find(folders[0], folders[0]));
    EXPECT_FALSE(cache.Find(folders[1], folders[1]));
    EXPECT_TRUE(cache.Find(folders[2], folders[2]));
}

// Events were lost when the queue overflowed: nothing kept can be trusted, not even the
// listing of a folder that had no event at all.
TEST(ListingCache, LostEventsDropEverything) {
    long queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued <= 0 || queued > 200000)
        GTEST_SKIP() << "max_queued_events is " << queued;
    test::TempDir temp;
    const std::string base = temp.Path();
    const std::string quiet = base + "/quiet/";
    const std::string busy = base + "/busy/";
    fs::create_directories(quiet);
    fs::create_directories(busy);
    std::ofstream(busy + "x") << "x";
    std::ofstream(busy + "y") << "y";
    CListingCache cache;
    ASSERT_TRUE(cache.Begin(quiet, "/quiet/")->Keep("quiet"));
    std::shared_ptr<CListingBuild> watching = cache.Begin(busy, "/busy/");
    ASSERT_TRUE(watching);
    // Touching two files in turn: events alike in a row would be merged into one.
    for (long i = 0; i <= queued; ++i) {
        const timespec times[2] = {{i, 0}, {i, 0}};
        ::utimensat(AT_FDCWD, (busy + (i % 2 ? "x" : "y")).c_str(), times, 0);
    }
    EXPECT_FALSE(cache.Find(quiet, "/quiet/"));
    EXPECT_FALSE(watching->Keep("busy"));
}

} // namespace
} // namespace tvn
