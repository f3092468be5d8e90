// Ways past a password, hidden files and answers that misled, found by trying the server from
// outside. Each test is named after what broke.
#include "support/server_fixture.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace tvn::test {
namespace {

constexpr const char* k200 = "HTTP/1.0 200 OK";
constexpr const char* k401 = "HTTP/1.0 401 Unauthorized";
constexpr std::string_view kHidden = "<h1> Cannot Show Hidden Files and Root Directories</h1>";

// "anna:secret" in Base64.
const std::string kAnna = "Authorization: Basic YW5uYTpzZWNyZXQ=\r\n";

class ServerGuard : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Put("p/.pass", "anna,secret\n");
        Put("p/file.txt", "secret");
        Put("open/file.txt", "open");
        ASSERT_TRUE(WriteFile(temp / "elsewhere/f.txt", "linked file"));
    }
    void Link(const std::string& target, const std::string& relative) {
        ASSERT_EQ(::symlink(target.c_str(), (root + "/" + relative).c_str()), 0) << relative;
    }
};

// HEAD of a protected folder answered 200 with the listing's head and made the listing
// (with the thumbnails of the protected pictures) without any credentials.
TEST_F(ServerGuard, HeadOfProtectedTargetAsksAndMakesNothing) {
    for (const char* url : {"/p/", "/p/file.txt"}) {
        SCOPED_TRACE(url);
        const Answer refused = Fetch(std::string("HEAD ") + url + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(refused.statusLine, k401);
        EXPECT_TRUE(refused.Has("WWW-Authenticate"));
        EXPECT_EQ(refused.body, "") << "HEAD never carries a body";
        const Answer admitted =
            Fetch(std::string("HEAD ") + url + " HTTP/1.0\r\n" + kAnna + "\r\n");
        EXPECT_EQ(admitted.statusLine, k200);
    }
    EXPECT_EQ(stages.listed, (std::vector<std::string>{root + "/p"}))
        << "only the admitted HEAD made the listing";
}

// A thumbnail was served by its key alone, and the key is a checksum of the picture's path:
// whoever guessed a path saw the thumbnail of a protected picture.
TEST_F(ServerGuard, ThumbnailAsksForThePictureFolderCredentials) {
    Put("p/pic.jpg", "jpeg");
    Put("open/pic.jpg", "jpeg");
    Link(root + "/p/pic.jpg", "open/link.jpg");
    stages.thumbnails["/Thumbnail__00000001"] = {"protected", root + "/p/pic.jpg"};
    stages.thumbnails["/Thumbnail__00000002"] = {"open", root + "/open/pic.jpg"};
    stages.thumbnails["/Thumbnail__00000003"] = {"through a link", root + "/open/link.jpg"};
    struct Case {
        std::string url;
        std::string headers;
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"/Thumbnail__00000001", "", k401, "<h1>Authorization Required</h1>"},
        {"/Thumbnail__00000001", kAnna, k200, "protected\r\n"},
        {"/Thumbnail__00000002", "", k200, "open\r\n"},
        // A picture listed in an open folder that really lives in the protected one.
        {"/Thumbnail__00000003", "", k401, "<h1>Authorization Required</h1>"},
        {"/Thumbnail__00000003", kAnna, k200, "through a link\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + c.headers);
        const Answer answer = Get(c.url, c.headers);
        EXPECT_EQ(answer.statusLine, c.status);
        EXPECT_EQ(answer.body, c.body);
    }
}

// A link to a file elsewhere, placed in a protected folder, went out without a password: the
// list was looked for beside the link's target only. Both folders guard the file; a link
// to a folder is a subfolder and, like any subfolder, has only its own list.
TEST_F(ServerGuard, LinksAreGuardedByTheFolderTheyAreInAndTheFolderTheyLeadTo) {
    Link(temp / "elsewhere/f.txt", "p/link.txt");
    Link(root + "/p/file.txt", "open/into-p.txt");
    Link(temp / "elsewhere", "p/linked-folder");
    struct Case {
        std::string url;
        std::string headers;
        std::string status;
    };
    const Case cases[] = {
        {"/p/link.txt", "", k401},
        {"/p/link.txt", kAnna, k200},
        {"/open/into-p.txt", "", k401},
        {"/open/into-p.txt", kAnna, k200},
        {"/p/linked-folder/f.txt", "", k200},
        {"/open/file.txt", "", k200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + c.headers);
        EXPECT_EQ(Get(c.url, c.headers).statusLine, c.status);
    }
}

// A list saved by an editor that writes a UTF-8 byte-order mark never matched its first line.
TEST_F(ServerGuard, PasswordListWithByteOrderMarkMatchesItsFirstLine) {
    Put("p/.pass", "\xEF\xBB\xBF"
                   "anna,secret\r\nbob,other\r\n");
    EXPECT_EQ(Get("/p/file.txt", kAnna).statusLine, k200);
    EXPECT_EQ(Get("/p/file.txt").statusLine, k401);
}

// With the home folder shared, "/.ssh/id_rsa" and "/.git/config" went out: a dot-folder is
// hidden and so is everything below it, but for the page-picture folder ".pict".
TEST_F(ServerGuard, NothingBelowADotFolderIsServedButPagePictures) {
    Put(".ssh/id_rsa", "private key");
    Put("project/.git/config", "[core]");
    Put(".git/objects/ab/cd", "object");
    Put("demo/.pict/ball.gif", "GIF89a");
    Link(root + "/.ssh/id_rsa", "innocent.txt");
    struct Case {
        std::string url;
        std::string body;
    };
    const Case cases[] = {
        {"/.ssh/id_rsa", std::string(kHidden)},
        {"/project/.git/config", std::string(kHidden)},
        {"/.git/objects/ab/cd", std::string(kHidden)},
        {"/.git/objects/", std::string(kHidden)},   // a folder below one too
        {"/./.ssh/./id_rsa", std::string(kHidden)}, // spelled another way
        {"/innocent.txt", std::string(kHidden)},    // a link into one
        {"/demo/.pict/ball.gif", "GIF89a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.statusLine, k200);
        EXPECT_EQ(answer.body, c.body);
    }
    EXPECT_TRUE(stages.listed.empty());
}

// "GET //evil.example/.." was redirected to "//evil.example/../", which a browser follows to
// another site. Every Location comes from the canonical path.
TEST_F(ServerGuard, RedirectsNeverLeadToAnotherSite) {
    Put("evil.example/index.html", "i");
    Put("docs/a.txt", "a");
    struct Case {
        std::string url;
        std::string location;
    };
    const Case cases[] = {
        {"//evil.example/..", "/"},
        {"/\\evil.example/..", "/"},
        {"//evil.example", "/evil.example/"},
        {"/\\evil.example", "/evil.example/"},
        {"//docs", "/docs/"},
        {"//evil.example/", "/evil.example/index.html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.Header("Location"), c.location);
        EXPECT_FALSE(answer.Header("Location").starts_with("//"));
    }
}

} // namespace
} // namespace tvn::test
