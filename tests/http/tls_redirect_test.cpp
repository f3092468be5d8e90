// With HTTPS served, a stranger asking in plain for something behind a password is sent to
// HTTPS before any credentials are looked at; everybody else is asked as before.
#include "config/settings_section.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "support/loopback_port.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace tvn {
namespace {

class VisitorContext : public CRequestContext {
  public:
    VisitorContext(CHttpSvrDoc& owner, const std::string& peer, bool isRelayed, bool isSecure)
        : CRequestContext(owner, peer) {
        relayed = isRelayed;
        secure = isSecure;
    }
};

class TlsRedirect : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        root = temp / "Share";
        test::WriteFile(root + "/p/.pass", "anna,pw\n");
        test::WriteFile(root + "/p/a b.txt", "secret");
        test::WriteFile(root + "/open.txt", "open");
    }
    void TearDown() override {
        if (doc)
            doc->StopServing();
        doc.reset();
        SettingsSection::OverrideFilePath("");
    }
    // A document serving plain HTTP, and HTTPS (a certificate of its own) unless `https` is
    // false.
    void Serve(bool https) {
        if (doc)
            doc->StopServing();
        doc.reset();
        const int tlsPort = https ? test::FreeLoopbackPort() : 0;
        test::WriteFile(temp / "TVN.cfg", "[SOFTWARE\\Tarvolin\\1.0]\nServiceHost=\nHttpsPort=" +
                                              std::to_string(tlsPort) + "\n");
        SettingsSection::OverrideFilePath(temp / "TVN.cfg");
        doc = std::make_unique<CHttpSvrDoc>(8080, root);
        ASSERT_TRUE(doc->StartServing(test::FreeLoopbackPort(), root, false));
        // The certificate of its own is made off the event loop; HTTPS follows.
        ASSERT_TRUE(test::SpinUntil([&] { return doc->SecurePort() == tlsPort; }, 20000));
    }
    test::Answer Run(const std::string& url, const std::string& peer, bool relayed = false,
                     bool secure = false, const std::string& host = "tvn.example.org:8080",
                     const std::string& query = "", bool withCredentials = false) {
        VisitorContext context(*doc, peer, relayed, secure);
        context.request.method = "GET";
        context.request.url = url;
        context.request.query = query;
        if (!host.empty())
            context.request.headers["host"] = host;
        if (withCredentials)
            context.request.headers["authorization"] = "Basic YW5uYTpwdw=="; // anna:pw
        context.RunRequest();
        return test::ParseAnswer(std::string(context.OutputView()));
    }

    test::TempDir temp;
    std::string root;
    std::unique_ptr<CHttpSvrDoc> doc;
};

constexpr const char* kStranger = "203.0.113.9:4000";

TEST_F(TlsRedirect, StrangerInPlainGoesToHttpsBeforeAnyPasswordIsAsked) {
    Serve(true);
    const std::string port = ":" + std::to_string(doc->SecurePort());
    struct Case {
        const char* what;
        std::string url;
        std::string query;
        std::string host;
        bool credentials;
        std::string location;
    };
    const Case cases[] = {
        {"a protected file", "/p/a b.txt", "", "tvn.example.org:8080", false,
         "https://tvn.example.org" + port + "/p/a%20b.txt"},
        {"the protected folder, with its query", "/p/", "x=1&y=%41", "tvn.example.org", false,
         "https://tvn.example.org" + port + "/p/?x=1&y=%41"},
        {"credentials sent in plain are not looked at", "/p/a b.txt", "", "tvn.example.org", true,
         "https://tvn.example.org" + port + "/p/a%20b.txt"},
        {"a Host that is no host name", "/p/", "", "evil.org/x", false,
         "https://" + doc->HostName() + port + "/p/"},
        {"no Host", "/p/", "", "", false, "https://" + doc->HostName() + port + "/p/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::Answer answer =
            Run(c.url, kStranger, false, false, c.host, c.query, c.credentials);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 301 Moved Permanently");
        EXPECT_EQ(answer.Header("Location"), c.location);
        EXPECT_FALSE(answer.Has("WWW-Authenticate"));
        EXPECT_EQ(answer.body.find("secret"), std::string::npos);
    }
    // What asks for no password stays plain for the stranger too.
    EXPECT_EQ(Run("/open.txt", kStranger).statusLine, "HTTP/1.0 200 OK");
}

TEST_F(TlsRedirect, OthersAreAskedForThePasswordAsBefore) {
    struct Case {
        const char* what;
        bool https;
        std::string peer;
        bool relayed;
        bool secure;
    };
    const Case cases[] = {
        {"HTTPS not served", false, kStranger, false, false},
        {"a visitor on loopback", true, "127.0.0.1:4000", false, false},
        {"through the relay", true, kStranger, true, false},
        {"already over TLS", true, kStranger, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Serve(c.https);
        const test::Answer asked = Run("/p/a b.txt", c.peer, c.relayed, c.secure);
        EXPECT_EQ(asked.statusLine, "HTTP/1.0 401 Unauthorized");
        EXPECT_TRUE(asked.Has("WWW-Authenticate"));
        const test::Answer admitted =
            Run("/p/a b.txt", c.peer, c.relayed, c.secure, "tvn.example.org", "", true);
        EXPECT_EQ(admitted.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(admitted.body, "secret");
    }
}

} // namespace
} // namespace tvn
