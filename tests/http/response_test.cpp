// The response vocabulary of the GET path, on a request context without a socket.
#include "config/settings_section.h"
#include "http/http_date.h"
#include "http/http_svr_doc.h"
#include "http/mime_table.h"
#include "http/output_buffer.h"
#include "http/request_context.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace tvn {
namespace {

TEST(OutputBuffer, Growth) {
    struct Case {
        std::size_t pending; // bytes already waiting
        std::size_t appended;
        std::size_t size; // capacity afterwards
    };
    const Case cases[] = {
        {0, 40000, 49152}, // 0 + 2 * 16384 + 16384
        {0, 16384, 16384}, // fits exactly: no growth
        {16000, 384, 16384},
        {16000, 385, 16000 + 16384},
        {16000, 1000, 16000 + 16384},
        {100, 16384, 100 + 16384 + 16384},
        {0, 0, 16384},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.pending) + " + " + std::to_string(c.appended));
        COutputBuffer buffer;
        const std::string first = test::PatternBytes(c.pending);
        const std::string second(c.appended, 'z');
        buffer.Append(first);
        buffer.Append(second);
        EXPECT_EQ(buffer.Size(), c.size);
        EXPECT_EQ(buffer.View(), first + second); // growing keeps what was there
    }
}

TEST(OutputBuffer, ConsumeAndReset) {
    COutputBuffer buffer;
    buffer.Append(std::string(40000, 'a'));
    buffer.Append("tail");
    buffer.Consume(40000);
    EXPECT_EQ(buffer.View(), "tail");
    EXPECT_EQ(buffer.Size(), 49152u); // the capacity stays while sending
    buffer.Reset();
    EXPECT_EQ(buffer.Pending(), 0u);
    EXPECT_EQ(buffer.Size(), COutputBuffer::kChunk);
}

// A request context on a document whose settings live in a temporary folder.
class ContextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SettingsSection::OverrideFilePath(temp / "TVN.cfg");
        test::WriteFile(temp / "mime.types", "text/x-test-system tsys\n");
        SetSystemMimeTypesFile(temp / "mime.types");
    }
    void TearDown() override {
        SettingsSection::OverrideFilePath("");
        SetSystemMimeTypesFile("/etc/mime.types");
    }
    std::unique_ptr<CRequestContext> Context(CHttpSvrDoc& doc) {
        return std::make_unique<CRequestContext>(doc, "127.0.0.1:4000");
    }
    test::TempDir temp;
};

TEST_F(ContextTest, ContentType) {
    CHttpSvrDoc doc(8080, temp / "Share");
    struct Case {
        std::string localPath;
        std::string type; // empty: no Content-Type line
    };
    const Case cases[] = {
        {"/s/readme.TXT", "text/html"}, // page files are always sent as html
        {"/s/a.Htm", "text/html"},
        {"/s/a.JPG", "image/jpg"}, // the table, not "image/jpeg"
        {"/s/a.jpeg", "image/jpeg"},
        {"/s/a.EZ,", "application/andrew-inset"}, // the comma belongs to the extension
        {"/s/a.ez", ""},
        {"/s/noextension", ""},
        {"/s.d/noextension", ""}, // a dot in a folder name is no extension
        {"/s/a.TSYS", "text/x-test-system; charset=utf-8"}, // the system's types come first
        {"/s/a.exe", "application/x-msdownload"},
        {"/s/a.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.localPath);
        auto context = Context(doc);
        context->request.localPath = c.localPath;
        context->AddContentType();
        const auto type = context->answer.Header("Content-Type");
        EXPECT_EQ(type ? std::string(*type) : std::string(), c.type);
    }
}

TEST_F(ContextTest, MapToLocalPath) {
    const std::string root = temp / "Share";
    CHttpSvrDoc doc(8080, root);
    struct Case {
        std::string url;
        bool ok;
        std::string path; // relative to the root when ok
    };
    const Case cases[] = {
        {"/a/b.txt", true, "/a/b.txt"},
        {"/a/./b.txt", true, "/a/b.txt"},
        {"\\a\\b.txt", true, "/a/b.txt"},
        {"/a/../b.txt", true, "/b.txt"},
        {"/", true, "/"},
        {"/a/../../x", false, ""},
        {"/../Share2/x.txt", false, ""}, // a sibling whose name begins with the root's
        {"/..\\Share2\\x.txt", false, ""},
        {"/../Share", true, ""}, // leaving and coming back is the root itself
        {"x.txt", false, ""},    // "<root>x.txt" is a sibling too
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto context = Context(doc);
        std::string path = c.url;
        EXPECT_EQ(context->MapToLocalPath(path), c.ok);
        if (c.ok) {
            EXPECT_EQ(path, root + c.path);
        }
    }
}

// Sharing the whole file system: the root "/" is stored as it is (there is nothing to cut
// from it), and "root + /x" canonicalised to "/x" was then refused for not being followed
// by a '/' after the root's text, so every URL answered 400.
TEST_F(ContextTest, RootSlashMapsEveryUrl) {
    CHttpSvrDoc doc(8080, "/");
    ASSERT_EQ(doc.Root(), "/");
    struct Case {
        std::string url;
        bool ok;
        std::string path;
    };
    const Case cases[] = {
        {"/tvn-no-such-folder/x.txt", true, "/tvn-no-such-folder/x.txt"},
        {"/", true, "/"},
        {"/a/../../b", true, "/b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto context = Context(doc);
        std::string path = c.url;
        EXPECT_EQ(context->MapToLocalPath(path), c.ok);
        EXPECT_EQ(path, c.path);
    }
}

TEST_F(ContextTest, PageAndIndexNames) {
    CHttpSvrDoc doc(8080, temp / "Share");
    struct Case {
        std::string localPath;
        bool page;
        bool index;
    };
    const Case cases[] = {
        {"/s/index.htm", true, true},
        {"/s/DEFAULT.HTML", true, true},
        {"/s/readme.txt", true, false},
        {"/s/a.html5", false, false},
        {"/s/index.htm.gz", false, false},
        {"/s/default.exe", false, false}, // a program is no index page
        {"/s/", false, false},
        {"index.htm", true, false}, // no folder part
        {"/s.htm/file", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.localPath);
        auto context = Context(doc);
        context->request.localPath = c.localPath;
        EXPECT_EQ(context->IsPageFile(), c.page);
        EXPECT_EQ(context->IsIndexName(), c.index);
    }
}

// Basic credentials are standard Base64 read leniently: a character outside the alphabet
// ('=' anywhere, '-', '_', '*') is skipped, and the text ends at a zero byte.
TEST_F(ContextTest, BasicCredentialsDecodeLeniently) {
    struct Case {
        std::string name;
        std::string authorization;
        std::string user;
        std::string password;
    };
    const Case cases[] = {
        {"padded", "Basic YW5uYTpzZWNyZXQ=", "anna", "secret"},
        {"no padding", "Basic YW5uYTpzZWNyZXQ", "anna", "secret"},
        {"padding and junk inside", "Basic YW5u=YTpz*ZWNy.ZXQ==", "anna", "secret"},
        {"url-safe letters are no Base64", "Basic YW5u-YTpz_ZWNyZXQ=", "anna", "secret"},
        {"plus and slash", "Basic dT4+PzpwPz8+", "u>>?",
         "p?"
         "?>"},
        {"bytes above 127", "Basic +/86eA==", "\xfb\xff", "x"},
        {"ends at a zero byte", "Basic YW5uYTpzZQBjcmV0", "anna", "se"},
        {"no colon", "Basic YW5uYQ==", "", ""},
        {"no scheme", "YW5uYTpzZWNyZXQ=", "", ""},
        {"empty", "", "", ""},
    };
    CHttpSvrDoc doc(8080, temp / "Share");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto context = Context(doc);
        if (!c.authorization.empty())
            context->request.headers["authorization"] = c.authorization;
        const CRequestContext::Credentials credentials = context->ReadBasicCredentials();
        EXPECT_EQ(credentials.user, c.user);
        EXPECT_EQ(credentials.password, c.password);
    }
}

} // namespace
} // namespace tvn
