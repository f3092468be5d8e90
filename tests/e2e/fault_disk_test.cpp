// Faults of the disk under the program: a full one, a read-only one, a shared folder that
// goes away while it is served. Nothing stored before may be lost or cut, and the program
// keeps answering.
#include "fault_fixture.h"

#include <algorithm>
#include <csignal>
#include <set>

namespace tvn::test {
namespace {

constexpr char kPostHead[] = "The post\r\n";

class DiskFaultTest : public FaultTest {
  protected:
    // The shared folder: a small file, a blog post with its page, a map page and, through a
    // link to a folder on another disk, a photo album.
    void MakeSite(const std::string& root) {
        WriteFileBytes(root + "/hello.dat", "hello");
        WriteFileBytes(root + "/Blog/post.txt", kPostHead);
        WriteFileBytes(root + "/Blog/.blog",
                       "<body><blogitem><comment></comment>\n</blogitem></body>");
        WriteFileBytes(root + "/FindMe/map.html",
                       "<html><body><p id=\"key\"><maps_api_key></maps_api_key></p></body></html>");
        ASSERT_TRUE(CopyDemoPhotos(Path("album")));
        std::filesystem::create_directory_symlink(Path("album"), root + "/Album");
    }

    // One visitor's round over the site, sending `mapKey` with the map page when it is not
    // empty; its failures are recorded with `round`.
    void VisitSite(const std::string& round, const std::string& comment,
                   const std::string& mapKey = "") {
        SCOPED_TRACE(round);
        const std::string hello = HttpGet(port, "/hello.dat");
        EXPECT_EQ(StatusLine(hello), "HTTP/1.0 200 OK");
        EXPECT_EQ(Body(hello), "hello");
        EXPECT_EQ(StatusLine(HttpGet(port, "/Blog/post.txt?comment=" + comment)),
                  "HTTP/1.0 302 Redirection");
        const std::string listing = HttpGet(port, "/Album/");
        EXPECT_EQ(StatusLine(listing), "HTTP/1.0 200 OK");
        const auto thumbnails = ThumbnailUrls(listing);
        EXPECT_EQ(thumbnails.size(), 3u) << listing;
        for (const std::string& url : thumbnails) {
            const std::string picture = HttpGet(port, url);
            EXPECT_EQ(StatusLine(picture), "HTTP/1.0 200 OK") << url;
            EXPECT_TRUE(Body(picture).starts_with("\xFF\xD8")) << url << " is no JPEG picture";
        }
        const std::string map =
            HttpGet(port, "/FindMe/map.html" + (mapKey.empty() ? "" : "?maps_api_key=" + mapKey));
        EXPECT_EQ(StatusLine(map), "HTTP/1.0 200 OK");
        EXPECT_EQ(StatusLine(HttpGet(port, "/missing.dat")), "HTTP/1.0 404 Not Found");
    }

    // The post's comments: each is one of `posted`, none twice; every one of `kept` is there.
    void ExpectWholeComments(const std::string& post, const std::set<std::string>& posted,
                             const std::vector<std::string>& kept) {
        EXPECT_TRUE(post.starts_with(kPostHead)) << post;
        const auto lines = Lines(post);
        std::set<std::string> seen;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            EXPECT_TRUE(posted.contains(lines[i])) << "a cut or foreign line: " << lines[i];
            EXPECT_TRUE(seen.insert(lines[i]).second) << "twice: " << lines[i];
        }
        for (const std::string& comment : kept)
            EXPECT_TRUE(seen.contains(comment)) << "lost: " << comment;
        EXPECT_TRUE(post.ends_with("\r\n")) << "the last comment was cut";
    }
};

// The settings, the access log and the shared folder share one small disk, which fills up
// while the program serves; then the program starts again on the full disk; then room is
// made. What was stored before stays whole, a comment or log entry that did not fit leaves
// no half line behind, and the program answers all along.
TEST_F(DiskFaultTest, FullDiskKeepsStoredSettingsCommentsAndLogWhole) {
    if (!IsRoot())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    ScopedTmpfs disk(Path("app"), 256 * 1024);
    ASSERT_TRUE(disk.Mounted()) << std::strerror(errno);
    ASSERT_NO_FATAL_FAILURE(MakeSite(Path("app/site")));
    WriteFaultSettings({{"Root", Path("app/site")}, {"LogFileName", Path("app/tvn.log")}});
    auto program = Launch();
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();

    std::set<std::string> posted;
    std::vector<std::string> before;
    for (int i = 0; i < 3; ++i) {
        before.push_back("before-" + std::to_string(i));
        posted.insert(before.back());
        VisitSite("before", before.back());
    }
    const std::string settings = Settings();
    ASSERT_TRUE(MalformedSettingsLines(settings).empty()) << settings;
    const std::size_t filled = FillDisk(Path("app/filler"));
    ASSERT_GT(filled, 0u);

    // Full: comments and log entries that find room in the last page of their file go in,
    // the others must leave nothing behind.
    for (int i = 0; i < 40; ++i) {
        posted.insert("full-" + std::to_string(i));
        VisitSite("full", "full-" + std::to_string(i), i == 0 ? "key-full" : "");
    }
    ASSERT_EQ(program->state(), QProcess::Running) << ProgramOutput();
    EXPECT_EQ(Settings(), settings) << "a settings write on the full disk changed the file";
    ExpectWholeComments(ReadFileBytes(Path("app/site/Blog/post.txt")).value_or(""), posted, before);
    std::string log = ReadFileBytes(Path("app/tvn.log")).value_or("");
    EXPECT_EQ(MalformedLogLines(log), std::vector<std::string>{});

    // A start on the full disk: the settings it cannot store are used all the same.
    EXPECT_TRUE(Stop(*program));
    program = Launch();
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();
    VisitSite("restarted full", "full-restart");
    posted.insert("full-restart");
    EXPECT_EQ(Settings(), settings) << "the start on the full disk changed the settings file";

    // Room again: the next comment and log entries land whole.
    std::filesystem::remove(Path("app/filler"));
    VisitSite("room again", "after-room");
    posted.insert("after-room");
    EXPECT_EQ(program->state(), QProcess::Running) << ProgramOutput();
    const std::string post = ReadFileBytes(Path("app/site/Blog/post.txt")).value_or("");
    ExpectWholeComments(post, posted, {before.begin(), before.end()});
    EXPECT_NE(post.find("\r\nafter-room\r\n"), std::string::npos) << post;
    log = ReadFileBytes(Path("app/tvn.log")).value_or("");
    EXPECT_EQ(MalformedLogLines(log), std::vector<std::string>{});
    EXPECT_GE(Occurrences(log, "\nGET /Blog/post.txt 127.0.0.1:"), 4) << "entries were lost";
    EXPECT_NE(log.find("\nGET /missing.dat 127.0.0.1:", log.size() - 40), std::string::npos)
        << "the last request, once there was room, is not the last entry";
    EXPECT_TRUE(MalformedSettingsLines(Settings()).empty()) << Settings();
    EXPECT_TRUE(Stop(*program));
}

// Settings on a disk that cannot be written (a read-only file system for root, a read-only
// folder and file otherwise): the program starts and serves with the settings as they are,
// a map key sent through the form is used but cannot be stored, and the file is unchanged.
TEST_F(DiskFaultTest, ReadOnlySettingsAreUsedAndLeftUnchanged) {
    std::unique_ptr<ScopedTmpfs> disk;
    if (IsRoot()) {
        disk = std::make_unique<ScopedTmpfs>(Path("app"), 1024 * 1024);
        ASSERT_TRUE(disk->Mounted()) << std::strerror(errno);
    }
    ASSERT_NO_FATAL_FAILURE(MakeSite(Path("site")));
    WriteFaultSettings();
    const std::string settings = Settings();
    if (disk) {
        ASSERT_TRUE(disk->SetReadOnly(true)) << std::strerror(errno);
    } else {
        ::chmod(SettingsFile().c_str(), 0444);
        ::chmod(Path("app").c_str(), 0555);
    }
    auto program = Launch();
    const bool listening = WaitForListening(port);
    if (!disk)
        ::chmod(Path("app").c_str(), 0755); // the temporary folder must go at the end
    ASSERT_TRUE(listening) << ProgramOutput();

    for (int i = 0; i < 3; ++i)
        VisitSite("read-only", "comment-" + std::to_string(i), "key-read-only");
    const std::string map = HttpGet(port, "/FindMe/map.html");
    EXPECT_NE(map.find("<p id=\"key\">key-read-only</p>"), std::string::npos)
        << "the key sent was not used\n"
        << map;
    EXPECT_EQ(program->state(), QProcess::Running) << ProgramOutput();
    EXPECT_EQ(Settings(), settings);
    EXPECT_TRUE(Stop(*program));
    if (disk)
        disk->SetReadOnly(false);
}

// The shared folder is moved away while the program serves, then put back; later it is
// deleted and made anew. Meanwhile every request is answered with 404, but the root, which
// shows how to fill the shared folder, as it does for an empty one.
TEST_F(DiskFaultTest, SharedFolderGoneGivesNotFoundUntilItIsBack) {
    ASSERT_NO_FATAL_FAILURE(MakeSite(Path("site")));
    WriteFileBytes(Path("site/sub/index.html"), "<p>sub</p>");
    WriteFaultSettings();
    auto program = Launch();
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();
    const char* const paths[] = {"/hello.dat", "/Album/", "/sub/index.html", "/Blog/post.txt"};
    const auto comment = [&](const std::string& text) {
        return StatusLine(HttpGet(port, "/Blog/post.txt?comment=" + text));
    };
    const auto expectAll = [&](const std::string& status, const std::string& when) {
        for (const char* path : paths) {
            SCOPED_TRACE(when + " " + path);
            EXPECT_EQ(StatusLine(HttpGet(port, path)), status);
        }
    };
    const auto rootListsSub = [&] {
        return Body(HttpGet(port, "/")).find(">sub<") != std::string::npos;
    };
    expectAll("HTTP/1.0 200 OK", "before");
    EXPECT_TRUE(rootListsSub());
    EXPECT_EQ(comment("before-move"), "HTTP/1.0 302 Redirection");

    std::filesystem::rename(Path("site"), Path("site.away"));
    expectAll("HTTP/1.0 404 Not Found", "moved away");
    EXPECT_EQ(comment("while-away"), "HTTP/1.0 404 Not Found");
    const std::string emptyRoot = HttpGet(port, "/");
    EXPECT_EQ(StatusLine(emptyRoot), "HTTP/1.0 200 OK");
    EXPECT_NE(Body(emptyRoot).find("Create Folders"), std::string::npos) << emptyRoot;
    EXPECT_FALSE(std::filesystem::exists(Path("site"))) << "a request made the folder again";
    std::filesystem::rename(Path("site.away"), Path("site"));
    expectAll("HTTP/1.0 200 OK", "moved back");
    EXPECT_TRUE(rootListsSub());
    EXPECT_EQ(Body(HttpGet(port, "/hello.dat")), "hello");
    EXPECT_EQ(Lines(ReadFileBytes(Path("site/Blog/post.txt")).value_or("")),
              (std::vector<std::string>{"The post", "before-move"}))
        << "the comment posted before the move is not there once, or the one while away is";

    std::filesystem::remove_all(Path("site"));
    expectAll("HTTP/1.0 404 Not Found", "deleted");
    std::filesystem::create_directories(Path("site/sub"));
    WriteFileBytes(Path("site/hello.dat"), "hello again");
    const std::string again = HttpGet(port, "/hello.dat");
    EXPECT_EQ(StatusLine(again), "HTTP/1.0 200 OK");
    EXPECT_EQ(Body(again), "hello again");
    EXPECT_TRUE(rootListsSub());
    EXPECT_EQ(program->state(), QProcess::Running) << ProgramOutput();
    EXPECT_TRUE(Stop(*program));
}

} // namespace
} // namespace tvn::test
