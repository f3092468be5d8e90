// Protected folders on a listening server: the ".pass" list, Basic credentials and which
// answers ask for them.
#include "http/http_date.h"
#include "support/server_fixture.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tvn::test {
namespace {

using Names = std::vector<std::string>;

std::string Base64(std::string_view text) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        const unsigned n = (static_cast<unsigned char>(text[i]) << 16) |
                           (static_cast<unsigned char>(text[i + 1]) << 8) |
                           static_cast<unsigned char>(text[i + 2]);
        for (int shift : {18, 12, 6, 0})
            out.push_back(kAlphabet[(n >> shift) & 63]);
    }
    if (i + 1 == text.size()) {
        const unsigned n = static_cast<unsigned char>(text[i]) << 16;
        out += std::string{kAlphabet[(n >> 18) & 63], kAlphabet[(n >> 12) & 63], '=', '='};
    } else if (i + 2 == text.size()) {
        const unsigned n = (static_cast<unsigned char>(text[i]) << 16) |
                           (static_cast<unsigned char>(text[i + 1]) << 8);
        out += std::string{kAlphabet[(n >> 18) & 63], kAlphabet[(n >> 12) & 63],
                           kAlphabet[(n >> 6) & 63], '='};
    }
    return out;
}

std::string Basic(std::string_view userColonPassword) {
    return "Authorization: Basic " + Base64(userColonPassword) + "\r\n";
}

class ServerPassword : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        Put("p/file.txt", "secret");
        Put("p/sub/file.txt", "not protected");
        Put("open/file.txt", "open");
    }
    // The status line alone of a GET of `url` with `headers`.
    std::string Status(const std::string& url, const std::string& headers = "") {
        return Get(url, headers).statusLine;
    }
};

constexpr const char* k200 = "HTTP/1.0 200 OK";
constexpr const char* k401 = "HTTP/1.0 401 Unauthorized";

TEST_F(ServerPassword, RefusalIsExact) {
    Put("p/.pass", "anna,secret\n");
    const Answer answer = Get("/p/file.txt");
    EXPECT_EQ(answer.statusLine, k401);
    EXPECT_EQ(answer.Names(),
              (Names{"Server", "Date", "WWW-Authenticate", "Expires", "Content-Type"}));
    EXPECT_EQ(answer.Header("WWW-Authenticate"), "Basic realm=\"Tarvolin\"");
    EXPECT_EQ(answer.Header("Expires"), "0");
    EXPECT_EQ(answer.Header("Content-Type"), "text/html");
    EXPECT_EQ(answer.body, "<h1>Authorization Required</h1>");
    const Answer admitted = Get("/p/file.txt", Basic("anna:secret"));
    EXPECT_EQ(admitted.statusLine, k200);
    EXPECT_EQ(admitted.body, "secret");
}

TEST_F(ServerPassword, ListFormats) {
    struct Case {
        std::string name;
        std::string list;
    };
    const Case cases[] = {
        {"CR LF", "first,one\r\nanna,secret\r\nlast,two\r\n"},
        {"LF", "first,one\nanna,secret\nlast,two\n"},
        {"CR", "first,one\ranna,secret\rlast,two\r"},
        {"blank lines", "\n\r\nfirst,one\n\n\nanna,secret\r\n\r\n\rlast,two"},
        {"no final line end", "first,one\nlast,two\nanna,secret"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Put("p/.pass", c.list);
        EXPECT_EQ(Status("/p/file.txt", Basic("anna:secret")), k200);
        EXPECT_EQ(Status("/p/file.txt", Basic("last:two")), k200);
        EXPECT_EQ(Status("/p/file.txt", Basic("anna:secre")), k401);
        EXPECT_EQ(Status("/p/file.txt"), k401);
    }
}

TEST_F(ServerPassword, Credentials) {
    Put("p/.pass", "anna,secret\n"
                   "space ,pass \n"
                   "colon,a:b:c\n"
                   "us:er,pw\n"
                   "empty,\n");
    struct Case {
        std::string name;
        std::string header; // the whole Authorization line, or none
        std::string status;
    };
    const std::string anna = Base64("anna:secret");
    const Case cases[] = {
        {"matching pair", Basic("anna:secret"), k200},
        {"user in another case", Basic("Anna:secret"), k401},
        {"password in another case", Basic("anna:Secret"), k401},
        {"trailing spaces kept on both sides", Basic("space :pass "), k200},
        {"trailing spaces missing", Basic("space:pass"), k401},
        {"password with colons", Basic("colon:a:b:c"), k200},
        {"user with a colon never matches", Basic("us:er:pw"), k401},
        {"empty password", Basic("empty:"), k200},
        {"other scheme word", "Authorization: Digest " + anna + "\r\n", k200},
        {"scheme in lower case", "Authorization: basic " + anna + "\r\n", k200},
        {"header name in another case", "AUTHORIZATION: Basic " + anna + "\r\n", k200},
        {"no padding", "Authorization: Basic " + anna.substr(0, anna.size() - 1) + "\r\n", k200},
        {"stray characters are skipped",
         "Authorization: Basic " + anna.substr(0, 4) + "*.-" + anna.substr(4) + "\r\n", k200},
        {"no space after the scheme", "Authorization: Basic" + anna + "\r\n", k401},
        {"no colon in the decoded text", Basic("annasecret"), k401},
        {"nothing decoded", "Authorization: Basic \r\n", k401},
        {"no header", "", k401},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Status("/p/file.txt", c.header), c.status);
    }
}

// Without credentials the request is compared as the text "," alone.
TEST_F(ServerPassword, CommaLineAdmitsEverybody) {
    Put("p/.pass", "anna,secret\n,\n");
    EXPECT_EQ(Status("/p/file.txt"), k200);
    EXPECT_EQ(Status("/p/file.txt", Basic("nobody:x")), k401);
}

TEST_F(ServerPassword, WhichFolderCounts) {
    Put("p/.pass", "anna,secret\n");
    struct Case {
        std::string url;
        std::string status;
    };
    const Case cases[] = {
        {"/p/file.txt", k401},     {"/p/", k401}, // a listed folder is guarded by its own list
        {"/p/sub/file.txt", k200},                // a list does not reach into subfolders
        {"/p/sub/", k200},                        // nor does it guard the listing of one
        {"/open/file.txt", k200},  {"/p/file.txt/extra", k401}, // walking up to a protected file
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(Status(c.url), c.status);
    }
    EXPECT_EQ(stages.listed, (std::vector<std::string>{root + "/p/sub"}))
        << "the protected listing must not have been made";
}

// Answers that never consult the list: redirects, 304, errors, hidden targets and every
// method other than GET and HEAD.
TEST_F(ServerPassword, AnswersThatDoNotAsk) {
    Put("p/.pass", "anna,secret\n");
    Put("p/docs/index.htm", "i");
    Put("p/pic.gif", "GIF89a");
    struct stat st {};
    ASSERT_EQ(::stat((root + "/p/pic.gif").c_str(), &st), 0);
    const std::string since = "If-Modified-Since: " + FormatHttpDate(st.st_mtim.tv_sec) + "\r\n";
    struct Case {
        std::string request;
        std::string status;
    };
    const Case cases[] = {
        {"GET /p/docs HTTP/1.0\r\n\r\n", "HTTP/1.0 301 Moved Permanently"},
        {"GET /p/docs/ HTTP/1.0\r\n\r\n", "HTTP/1.0 302 Redirection"},
        {"GET /p/pic.gif HTTP/1.0\r\n" + since + "\r\n", "HTTP/1.0 304 Not Modified"},
        {"GET /p/missing.txt HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Not Found"},
        {"GET /p/.pass HTTP/1.0\r\n\r\n", k200}, // the hidden refusal
        {"POST /p/file.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\na", "HTTP/1.0 501 Not Implemented"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const Answer answer = Fetch(c.request);
        EXPECT_EQ(answer.statusLine, c.status);
        EXPECT_FALSE(answer.Has("WWW-Authenticate"));
    }
    const Answer hidden = Get("/p/.pass");
    EXPECT_EQ(hidden.body, "<h1> Cannot Show Hidden Files and Root Directories</h1>");
}

// A list that is there but yields no lines refuses everybody: an empty file, and lists
// that cannot be opened or mapped must fail closed, never admit everybody.
TEST_F(ServerPassword, UnreadableListRefusesEverybody) {
    struct Case {
        std::string name;
        std::function<void(const std::string& path)> make;
    };
    const Case cases[] = {
        {"empty file", [](const std::string& path) { WriteFile(path, ""); }},
        {"a folder", [](const std::string& path) { ::mkdir(path.c_str(), 0755); }},
        {"a named pipe", [](const std::string& path) { ::mkfifo(path.c_str(), 0644); }},
        {"a link to itself", [](const std::string& path) { ::symlink(".pass", path.c_str()); }},
        {"a link to nothing", [](const std::string& path) { ::symlink("gone", path.c_str()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = root + "/p/.pass";
        std::filesystem::remove_all(path);
        c.make(path);
        EXPECT_EQ(Status("/p/file.txt"), k401);
        EXPECT_EQ(Status("/p/file.txt", Basic(":")), k401);
    }
    // Unreadable for its owner: only a user without the power to read anything sees it.
    if (::geteuid() == 0)
        return; // root reads a file of mode 000 all the same
    std::filesystem::remove_all(root + "/p/.pass");
    Put("p/.pass", ",\n");
    ASSERT_EQ(::chmod((root + "/p/.pass").c_str(), 0), 0);
    EXPECT_EQ(Status("/p/file.txt"), k401);
}

} // namespace
} // namespace tvn::test
