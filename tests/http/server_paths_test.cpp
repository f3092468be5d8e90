// From URL to target on a listening server: redirects and default documents, the root
// fence, walking up to a file, hidden targets, built-in files, content types and links.
#include "platform/resources.h"
#include "support/server_fixture.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace tvn::test {
namespace {

using Names = std::vector<std::string>;
constexpr const char* kHiddenRefusal = "<h1> Cannot Show Hidden Files and Root Directories</h1>";

class ServerPaths : public ServerFixture {};

TEST_F(ServerPaths, FolderRedirects) {
    Put("docs/index.htm", "i");
    Put("my docs/index.htm", "i");
    Put("both/index.htm", "i");
    Put("both/default.html", "d");
    Put("idx/index.htm", "i");
    Put("idx/index.html", "i");
    Put("prog/default.exe", "MZ");
    Put("bat/default.bat", "@echo");
    Put("mixed/default.exe", "MZ");
    Put("mixed/index.htm", "i");
    Put("dirindex/index.htm/inner.txt", "a folder named like a default document");
    Put("dirindex/default.bat", "@echo");
    Put("\xE4/index.htm", "i");
    Put("100%/what?/x.txt", "x");
    struct Case {
        std::string url;
        std::string status;
        std::string location;
    };
    const Case cases[] = {
        {"/docs", "301 Moved Permanently", "/docs/"},
        {"/my%20docs", "301 Moved Permanently", "/my%20docs/"}, // the space encoded again
        {"/docs/", "302 Redirection", "/docs/index.htm"},
        {"/both/", "302 Redirection", "/both/default.html"}, // default.html comes first
        {"/idx/", "302 Redirection", "/idx/index.html"},     // index.html before .htm
        {"/prog/", "302 Redirection", "/prog/default.exe?"}, // programs get a '?'
        {"/bat/", "302 Redirection", "/bat/default.bat?"},
        {"/mixed/", "302 Redirection", "/mixed/index.htm"},          // pages before programs
        {"/dirindex/", "302 Redirection", "/dirindex/default.bat?"}, // a folder is no document
        {"/%E4/", "302 Redirection", "/%E4/index.htm"},
        {"/my%20docs/", "302 Redirection", "/my%20docs/index.htm"},
        // A folder whose name holds '%' or '?' is sent back under the same name.
        {"/100%25", "301 Moved Permanently", "/100%25/"},
        {"/100%25/what%3F", "301 Moved Permanently", "/100%25/what%3F/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 " + c.status);
        EXPECT_EQ(answer.Names(), (Names{"Server", "Date", "Location"}));
        EXPECT_EQ(answer.Header("Location"), c.location);
        EXPECT_TRUE(answer.complete);
        EXPECT_EQ(answer.body, "");
    }
}

TEST_F(ServerPaths, MappingAndTheRootFence) {
    Put("a/b.txt", "b");
    Put("x.txt", "x");
    Put("page.html", "<p>page</p>");
    ASSERT_TRUE(WriteFile(temp / "Share2/x.txt", "sibling"));
    ASSERT_TRUE(WriteFile(temp / "outside.txt", "outside"));
    struct Case {
        std::string target; // as sent on the request line
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"/a/./b.txt", "200 OK", "b"},
        {"/a//b.txt", "200 OK", "b"},
        {"\\a\\b.txt", "200 OK", "b"}, // backslashes are separators
        {"/a\\b.txt", "200 OK", "b"},
        {"/a%5Cb.txt", "200 OK", "b"},
        {"/a/../x.txt", "200 OK", "x"},
        {"/page.html/extra/part", "200 OK", "<p>page</p>"}, // walks up to the file
        {"/x.txt/", "200 OK", "x"},
        {"/../Share2/x.txt", "400 Bad Request", "400 Bad Request"}, // a sibling of the root
        {"/%2e%2e/Share2/x.txt", "400 Bad Request", "400 Bad Request"},
        {"/..\\Share2\\x.txt", "400 Bad Request", "400 Bad Request"},
        {"/../outside.txt", "400 Bad Request", "400 Bad Request"},
        {"/a/../../outside.txt", "400 Bad Request", "400 Bad Request"},
        {"x.txt", "400 Bad Request", "400 Bad Request"}, // "<root>x.txt" is no child
        {"/../Share/x.txt", "200 OK", "x"},              // out and back in
        {"/missing.txt", "404 Not Found", "404 Not Found"},
        {"/missing/file.txt", "404 Not Found", "404 Not Found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const Answer answer = Fetch("GET " + c.target + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 " + c.status);
        EXPECT_EQ(answer.body, c.body);
    }
}

// Walking up to a file serves that file under its own type, and the rest of the URL is
// ignored for the type as well.
TEST_F(ServerPaths, WalkUpAnswersAsTheFile) {
    Put("page.html", "<p>page</p>");
    const Answer answer = Get("/page.html/extra/part.gif");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Header("Content-Type"), "text/html");
    EXPECT_EQ(answer.body, "<p>page</p>");
}

TEST_F(ServerPaths, HiddenTargetsAreRefused) {
    Put(".pass", "user,password");
    Put(".dir", "<template>");
    Put(".file", "<template>");
    Put(".blog", "<template>");
    Put("sub/.pass", "user,password");
    Put(".private/inner.txt", "inner");
    const std::string urls[] = {"/.pass",           "/.dir",    "/.file",    "/.blog", "/sub/.pass",
                                "/sub/.pass/extra", "/%2Epass", "/.private/"};
    for (const std::string& url : urls) {
        SCOPED_TRACE(url);
        const Answer answer = Get(url);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(answer.Names(), (Names{"Server", "Date"})); // no Content-Type
        EXPECT_EQ(answer.body, kHiddenRefusal);
    }
}

// "/docs/./" is the folder /docs/ itself: its last component "." was taken for the name of
// a dot-file, so the folder answered the hidden refusal instead of its listing. A hidden
// folder stays hidden however it is named.
TEST_F(ServerPaths, DotComponentIsTheFolderItself) {
    Put("docs/a.txt", "a");
    Put(".private/inner.txt", "inner");
    struct Case {
        std::string url;
        bool listed;
    };
    const Case cases[] = {
        {"/docs/./", true},
        {"/./", true},
        {"/.private/./", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(answer.body.rfind("listing of ", 0) == 0, c.listed) << answer.body;
        if (!c.listed) {
            EXPECT_EQ(answer.body, kHiddenRefusal);
        }
    }
}

TEST_F(ServerPaths, BuiltInFiles) {
    if (!FindResource("CONTENT", "styles.css"))
        GTEST_SKIP() << "the program has no built-in styles.css (resources/CONTENT is empty)";
    Put("styles.css", "the root's own file");
    Put("STYLES.CSS", "the root's upper-case file");
    const std::string builtIn(*FindResource("CONTENT", "styles.css"));
    const Answer answer = Get("/styles.css");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Names(), (Names{"Server", "Date", "Content-Type", "Last-Modified", "Expires",
                                     "Content-Length"}));
    EXPECT_EQ(answer.Header("Content-Type"), "text/css");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(builtIn.size()));
    EXPECT_TRUE(answer.body == builtIn);
    EXPECT_EQ(Log(), "") << "built-in files are not logged";
    // Built-in names are compared with their case: this one is the root's file.
    const Answer upper = Get("/STYLES.CSS");
    EXPECT_EQ(upper.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(upper.body, "the root's upper-case file");
    EXPECT_NE(Log().find("\nGET /STYLES.CSS 127.0.0.1:"), std::string::npos);
    for (const char* gif : {"/file.gif", "/folder.gif", "/blue-ball-small.gif"}) {
        SCOPED_TRACE(gif);
        const auto bytes = FindResource("CONTENT", gif);
        if (!bytes)
            continue;
        const Answer picture = Get(gif);
        EXPECT_EQ(picture.Header("Content-Type"), "image/gif");
        EXPECT_TRUE(picture.body == *bytes);
    }
}

TEST_F(ServerPaths, Thumbnails) {
    const std::string jpeg = PatternBytes(3000);
    stages.thumbnails["/Thumbnail__0000ABCD"] = {jpeg, root + "/pics/x.jpg"};
    const Answer answer = Get("/Thumbnail__0000ABCD");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Names(), (Names{"Server", "Date", "Content-Type", "Last-Modified", "Expires",
                                     "Content-Length"}));
    EXPECT_EQ(answer.Header("Content-Type"), "image/jpeg");
    EXPECT_EQ(answer.Header("Content-Length"), "3000");
    EXPECT_TRUE(answer.body == jpeg + "\r\n") << "the bytes and one CR LF not counted";
    EXPECT_EQ(Log(), "");
    // A thumbnail the cache does not hold goes on to the files.
    EXPECT_EQ(Get("/Thumbnail__0000ABCE").statusLine, "HTTP/1.0 404 Not Found");
}

TEST_F(ServerPaths, ContentTypes) {
    const std::string program = std::string("MZ\x90\0\x03", 5) + std::string(100, '\x01');
    Put("readme.TXT", "text");
    Put("a.JPG", "jpg");
    Put("a.tsys", "system type");
    Put("a.css", "body {}");
    Put("a.EZ,", "andrew");
    Put("a.ez", "no comma");
    Put("noextension", "none");
    Put("prog.exe", program);
    struct Case {
        std::string url;
        std::string type; // empty: no Content-Type
    };
    const Case cases[] = {
        {"/readme.TXT", "text/html"}, // page files go out as html
        {"/a.JPG", "image/jpg"},      // the table, when the system knows nothing
        // The system's types first; text carries its charset, or UTF-8 shows garbled.
        {"/a.tsys", "text/x-test-system; charset=utf-8"},
        {"/a.css", "text/css; charset=utf-8"},
        {"/a.EZ,", "application/andrew-inset"},
        {"/a.ez", ""},
        {"/noextension", ""},
        {"/prog.exe", "application/x-msdownload"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(answer.Has("Content-Type"), !c.type.empty());
        EXPECT_EQ(answer.Header("Content-Type"), c.type);
    }
    EXPECT_TRUE(Get("/prog.exe").body == program) << "a program is sent as its bytes";
}

// Symbolic links are how folders elsewhere are shared: they may lead outside the root.
TEST_F(ServerPaths, SymbolicLinksLeadOutsideTheRoot) {
    ASSERT_TRUE(WriteFile(temp / "elsewhere/f.txt", "linked file"));
    ASSERT_TRUE(WriteFile(temp / "elsewhere/deeper/g.txt", "deeper"));
    ASSERT_TRUE(WriteFile(temp / "single.txt", "single"));
    ASSERT_EQ(::symlink((temp / "elsewhere").c_str(), (root + "/linked").c_str()), 0);
    ASSERT_EQ(::symlink("../single.txt", (root + "/relative.txt").c_str()), 0);
    ASSERT_EQ(::symlink("loop-b", (root + "/loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", (root + "/loop-b").c_str()), 0);
    struct Case {
        std::string url;
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"/linked/f.txt", "200 OK", "linked file"},
        {"/linked/deeper/g.txt", "200 OK", "deeper"},
        {"/relative.txt", "200 OK", "single"}, // a relative target, from the link's folder
        {"/loop-a", "404 Not Found", "404 Not Found"},
        {"/loop-a/x.txt", "404 Not Found", "404 Not Found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const Answer answer = Get(c.url);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 " + c.status);
        EXPECT_EQ(answer.body, c.body);
    }
    const Answer folder = Get("/linked/");
    EXPECT_EQ(folder.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(stages.listed, (std::vector<std::string>{temp / "elsewhere"}));
}

// A link to a folder written with a trailing slash ("ln -s /data/photos/ photos"): the
// slash of the target was kept when the link was the last component, so "/photos" looked
// like "/photos/" and the folder was listed under a URL without its slash instead of being
// redirected, and every relative link of the listing pointed one folder too high.
TEST_F(ServerPaths, LinkWithTrailingSlashIsRedirectedLikeAFolder) {
    ASSERT_TRUE(WriteFile(temp / "photos/a.gif", "gif"));
    ASSERT_EQ(::symlink((temp / "photos/").c_str(), (root + "/photos").c_str()), 0);
    const Answer answer = Get("/photos");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 301 Moved Permanently");
    EXPECT_EQ(answer.Header("Location"), "/photos/");
    EXPECT_EQ(Get("/photos/a.gif").body, "gif");
}

TEST_F(ServerPaths, RootFolderItself) {
    Put("a.txt", "a");
    const Answer answer = Get("/");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.body, "listing of " + root);
    Put("index.html", "i");
    EXPECT_EQ(Get("/").Header("Location"), "/index.html");
}

class ServerWithoutRoot : public ServerFixture {
  protected:
    bool CreateRoot() const override { return false; }
};

// A shared folder that does not exist (a drive not plugged in): "/" still reaches the
// folder stage, which tells the user; everything else is 404.
TEST_F(ServerWithoutRoot, SlashReachesTheFolderStage) {
    const Answer answer = Get("/");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.body, "listing of " + root);
    EXPECT_EQ(stages.listed, (std::vector<std::string>{root}));
    EXPECT_EQ(Get("/x.txt").statusLine, "HTTP/1.0 404 Not Found");
}

// Without content stages a folder cannot be listed: 404, never an empty answer.
TEST_F(ServerWithoutRoot, NoStagesAnswers404ForAFolder) {
    doc->SetContentStages(nullptr);
    const Answer answer = Get("/");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 404 Not Found");
    EXPECT_EQ(answer.body, "404 Not Found");
}

// A shared folder that holds the settings folder (settings next to the program, or a
// configuration folder without a dot) never serves TVN.cfg or the TLS keys, in any URL form.
TEST_F(ServerPaths, SettingsFolderInsideTheSharedFolderIsHidden) {
    const std::string settings = root + "/cfg";
    ASSERT_TRUE(WriteFile(settings + "/TVN.cfg",
                          "[SOFTWARE\\Tarvolin\\1.0]\nLogFileName=" + logPath + "\nHttpsPort=0\n"));
    ASSERT_TRUE(WriteFile(settings + "/tls/key.pem", "SECRET-KEY"));
    ASSERT_TRUE(WriteFile(settings + "/acme/account.key", "SECRET-KEY"));
    Put("cfgother/x.txt", "x");
    SettingsSection::OverrideFilePath(settings + "/TVN.cfg");
    doc->StopServing();
    doc = std::make_unique<CHttpSvrDoc>(8080, root);
    doc->SetContentStages(&stages);
    ASSERT_TRUE(doc->StartServing(port, root, false));
    const char* const hidden[] = {
        "/cfg/TVN.cfg",
        "/cfg/tls/key.pem",
        "/cfg/acme/account.key",
        "/%63fg/TVN.cfg",
        "/cfg%2FTVN.cfg",
        "//cfg//tls//key.pem",
        "/cfgother/../cfg/TVN.cfg",
        "/cfg/./tls/key.pem",
        "\\cfg\\TVN.cfg",
        "/cfg/tls/",
        "/cfg/",
        "/cfg",
    };
    for (const char* url : hidden) {
        SCOPED_TRACE(url);
        const Answer answer = Get(url);
        EXPECT_EQ(answer.body.find("SECRET"), std::string::npos);
        EXPECT_EQ(answer.body.find("LogFileName"), std::string::npos);
        if (answer.statusLine == "HTTP/1.0 200 OK") {
            EXPECT_EQ(answer.body, kHiddenRefusal);
        }
    }
    // Other case and a trailing dot name another file on this system: never the settings.
    for (const char* url : {"/CFG/TVN.cfg", "/cfg./TVN.cfg", "/Cfg/tls/key.pem"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(Get(url).body.find("SECRET"), std::string::npos);
        EXPECT_EQ(Get(url).body.find("LogFileName"), std::string::npos);
    }
    // A link in the shared folder to the settings folder is hidden too.
    ASSERT_EQ(symlink(settings.c_str(), (root + "/link").c_str()), 0);
    EXPECT_EQ(Get("/link/TVN.cfg").body, kHiddenRefusal);
    EXPECT_EQ(Get("/cfgother/x.txt").body, "x"); // a name that merely starts alike is served
}

} // namespace
} // namespace tvn::test
