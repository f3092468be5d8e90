// The HTTPS listener on loopback, driven by real clients (curl, openssl s_client): the same
// answers as plain HTTP, the versions it speaks, resumed sessions, a client that never ends
// its handshake, and a certificate changed on disk.
#include "http/tls_certificates.h"
#include "support/command_output.h"
#include "support/server_fixture.h"

#include <atomic>
#include <dirent.h>
#include <future>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <regex>
#include <string>
#include <thread>
#include <utility>

namespace tvn::test {
namespace {

// The answer with its Date line made the same for every answer.
std::string WithoutDate(const std::string& raw) {
    return std::regex_replace(raw, std::regex("\r\nDate: [^\r]*\r\n"), "\r\nDate: -\r\n");
}

// TCP_NODELAY of the server's end of each connection accepted on `port` in this process, in
// the order of their descriptors.
std::vector<int> NoDelayOfAcceptedOn(int port) {
    std::vector<int> found;
    DIR* fds = ::opendir("/proc/self/fd");
    while (dirent* entry = fds ? ::readdir(fds) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in local{}, peer{};
        socklen_t length = sizeof local, peerLength = sizeof peer;
        int noDelay = -1;
        socklen_t optionLength = sizeof noDelay;
        if (fd <= 2 || fd == ::dirfd(fds) ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
            ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &optionLength) != 0)
            continue;
        found.push_back(noDelay);
    }
    if (fds)
        ::closedir(fds);
    return found;
}

class ServerTls : public ServerFixture {
  protected:
    std::string MoreSettings() override {
        httpsPort = FreeLoopbackPort();
        return "HttpsPort=" + std::to_string(httpsPort) + "\n" + UserCertificateSettings();
    }
    virtual std::string UserCertificateSettings() { return {}; }
    void SetUp() override {
        ServerFixture::SetUp();
        ASSERT_TRUE(WaitForTls()) << (errors.empty() ? "" : errors.front());
        selfSigned = temp / "tls/self-signed.pem";
        Put("a.txt", "plain text file\n");
        Put("sub/b.dat", std::string(100000, 'b'));
    }
    // curl with `flags` for `url` on the HTTPS port, trusting `ca` (the self-signed one when
    // empty); its exit code and what it printed.
    std::string CurlCommand(const std::string& url, const std::string& flags = "",
                            const std::string& ca = "") const {
        const std::string tlsPort = std::to_string(httpsPort);
        return "curl -s -i --max-time 10 --resolve localhost:" + tlsPort + ":127.0.0.1 --cacert " +
               ShellQuoted(ca.empty() ? selfSigned : ca) + " " + flags +
               " https://localhost:" + tlsPort + url + " 2>&1";
    }
    CommandOutput Curl(const std::string& url, const std::string& flags = "",
                       const std::string& ca = "") {
        CommandOutput out;
        EXPECT_TRUE(RunWhileServing([&] { out = RunCommand(CurlCommand(url, flags, ca)); }));
        return out;
    }
    CommandOutput PlainCurl(const std::string& url, const std::string& flags = "") {
        CommandOutput out;
        EXPECT_TRUE(RunWhileServing([&] {
            out = RunCommand("curl -s -i --max-time 10 " + flags +
                             " http://127.0.0.1:" + std::to_string(port) + url + " 2>&1");
        }));
        return out;
    }
    std::string SClient(const std::string& flags) {
        std::string out;
        EXPECT_TRUE(RunWhileServing([&] {
            out = RunCommand("printf 'GET /a.txt HTTP/1.0\\r\\n\\r\\n' | timeout 10 openssl "
                             "s_client -connect 127.0.0.1:" +
                             std::to_string(httpsPort) + " -ign_eof -CAfile " +
                             ShellQuoted(selfSigned) + " " + flags + " 2>&1")
                      .output;
        }));
        return out;
    }
    int httpsPort = 0;
    std::string selfSigned;
};

// Every request runs the same stages over TLS: the same bytes as over plain HTTP.
TEST_F(ServerTls, AnswersAsPlainHttpDoes) {
    const struct {
        const char* url;
        const char* flags;
    } cases[] = {
        {"/a.txt", ""},
        {"/sub/b.dat", ""},
        {"/sub/b.dat", "-r 10-20"},
        {"/sub/", ""},
        {"/sub", ""},
        {"/missing.txt", ""},
        {"/.hidden", ""},
        {"/a.txt", "-I"},
        {"/a.txt", "--http1.0"},
        {"/a.txt", "-X POST -d x=1"},
    };
    for (const auto& c : cases) {
        const CommandOutput secure = Curl(c.url, c.flags);
        const CommandOutput plain = PlainCurl(c.url, c.flags);
        EXPECT_EQ(secure.exitCode, 0) << c.url << " " << c.flags << "\n" << secure.output;
        EXPECT_FALSE(plain.output.empty());
        EXPECT_EQ(WithoutDate(secure.output), WithoutDate(plain.output)) << c.url << " " << c.flags;
    }
}

TEST_F(ServerTls, SpeaksTls12And13NotOlder) {
    const struct {
        const char* flags;
        bool served;
    } cases[] = {
        {"--tlsv1.2 --tls-max 1.2", true},
        {"--tlsv1.3", true},
        {"--tlsv1.1 --tls-max 1.1 --ciphers DEFAULT@SECLEVEL=0", false},
        {"--tlsv1.0 --tls-max 1.0 --ciphers DEFAULT@SECLEVEL=0", false},
    };
    for (const auto& c : cases) {
        const CommandOutput out = Curl("/a.txt", c.flags);
        EXPECT_EQ(out.exitCode == 0, c.served) << c.flags << "\n" << out.output;
        EXPECT_EQ(out.output.find("plain text file") != std::string::npos, c.served) << c.flags;
    }
}

TEST_F(ServerTls, ReturningBrowserResumesItsSession) {
    for (const char* version : {"-tls1_3", "-tls1_2"}) {
        const std::string session = temp / (std::string("session") + version);
        const std::string first = SClient(std::string(version) + " -sess_out " + session);
        ASSERT_NE(first.find("plain text file"), std::string::npos) << first;
        EXPECT_NE(first.find("New,"), std::string::npos) << first;
        const std::string again = SClient(std::string(version) + " -sess_in " + session);
        EXPECT_NE(again.find("Reused,"), std::string::npos) << version << "\n" << again;
        EXPECT_NE(again.find("plain text file"), std::string::npos) << again;
    }
}

// A client that begins its handshake and never ends it (half a ClientHello) holds no one
// up, and the head deadline drops it as it drops a slow head.
TEST_F(ServerTls, StalledHandshakeIsDroppedByTheHeadDeadline) {
    LoopbackClient stalled;
    CommandOutput visitor;
    ASSERT_TRUE(RunWhileServing([&] {
        ASSERT_TRUE(stalled.Connect(httpsPort));
        // A record header announcing 512 bytes of handshake, and the first few of them.
        stalled.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
        for (int i = 0; i < 250 && doc->Connections().LiveCount() < 1; ++i)
            std::this_thread::sleep_for(20ms);
        visitor = RunCommand(CurlCommand("/a.txt")); // while the stalled one waits
    }));
    EXPECT_NE(visitor.output.find("plain text file"), std::string::npos) << visitor.output;
    for (int i = 0; i < 100 && doc->Connections().LiveCount() > 1; ++i)
        SpinEventLoop(20ms); // the visitor's connection goes
    doc->Connections().SweepIdle(std::chrono::steady_clock::now() + 1s); // not late yet
    EXPECT_EQ(doc->Connections().LiveCount(), 1u);
    bool stillOpen = false;
    ASSERT_TRUE(RunWhileServing([&] { stillOpen = stalled.StaysQuiet(100ms); }));
    EXPECT_TRUE(stillOpen);
    doc->Connections().SweepIdle(std::chrono::steady_clock::now() +
                                 CRequestConnection::kHeadDeadline + 1s);
    std::string rest = "x";
    ASSERT_TRUE(RunWhileServing([&] { rest = stalled.ReadAll(5000ms); }));
    EXPECT_EQ(rest, "") << "the stalled handshake got an answer";
    EXPECT_FALSE(stalled.StaysQuiet(0ms)) << "the stalled handshake was not dropped";
}

// Each TLS write is a whole record, so nothing waits for the acknowledgement of the one
// before: the first answer must not wait behind the session tickets for the client's
// delayed acknowledgement.
TEST_F(ServerTls, TlsConnectionSendsRecordsWithoutWaitingForAcks) {
    LoopbackClient client;
    std::vector<int> noDelay;
    ASSERT_TRUE(RunWhileServing([&] {
        ASSERT_TRUE(client.Connect(httpsPort));
        client.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
        for (int i = 0; i < 250 && doc->Connections().LiveCount() < 1; ++i)
            std::this_thread::sleep_for(20ms);
    }));
    noDelay = NoDelayOfAcceptedOn(httpsPort);
    ASSERT_EQ(noDelay.size(), 1u);
    EXPECT_EQ(noDelay.front(), 1);
}

// A port that is taken: reported as the plain port's would be, and plain HTTP goes on.
TEST_F(ServerTls, TakenHttpsPortLeavesPlainServing) {
    doc->StopServing();
    errors.clear();
    const int taken = httpsPort;
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(taken));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    EXPECT_TRUE(doc->StartServing(port, root, false));
    ::close(blocker);
    EXPECT_TRUE(doc->IsListening());
    EXPECT_FALSE(doc->IsListeningTls());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors.front().find(std::to_string(taken)), std::string::npos) << errors.front();
    EXPECT_EQ(Get("/a.txt").body, "plain text file\n");
}

// HttpsPort beyond the TCP range is reported as the plain port's would be; plain HTTP runs.
TEST_F(ServerTls, HttpsPortBeyondTheTcpRangeLeavesPlainServing) {
    for (const int beyond : {65536, 70000, -2}) {
        SettingsSection().Store(setting::kHttpsPort, beyond);
        CHttpSvrDoc other(0, root);
        std::vector<std::string> reported;
        other.reportError = [&](const std::string& message) { reported.push_back(message); };
        int otherPort = 0;
        for (int attempt = 0; attempt < 5 && !other.IsListening(); ++attempt)
            other.StartServing(otherPort = FreeLoopbackPort(), root, false);
        EXPECT_TRUE(other.IsListening()) << beyond;
        EXPECT_FALSE(other.IsListeningTls()) << beyond;
        EXPECT_EQ(reported.size(), 1u) << beyond;
        other.StopServing();
    }
}

// The owner's own certificate, and the same file written anew: the next connection shows
// the new one.
class ServerTlsOwnCertificate : public ServerTls {
  protected:
    std::string UserCertificateSettings() override {
        userCertificate = temp / "mine.pem";
        userKey = temp / "mine-key.pem";
        MakeSelfSignedCertificate({"localhost"}, {}, userCertificate, userKey);
        return "TlsCertificate=" + userCertificate + "\nTlsKey=" + userKey + "\n";
    }
    std::string userCertificate;
    std::string userKey;
};

TEST_F(ServerTlsOwnCertificate, ServesTheOwnersCertificateAndItsReplacement) {
    const std::string first = temp / "first.pem";
    std::filesystem::copy_file(userCertificate, first);
    ASSERT_EQ(doc->Certificates()->InUse(), CTlsCertificates::Source::kUser);
    EXPECT_TRUE(doc->Certificates()->Trusted());
    EXPECT_EQ(Curl("/a.txt", "", first).exitCode, 0);
    EXPECT_NE(Curl("/a.txt").exitCode, 0) << "the self-signed one was shown";

    ASSERT_TRUE(MakeSelfSignedCertificate({"localhost"}, {}, userCertificate, userKey));
    // The files are looked at again a moment later, at the next connection.
    doc->Certificates()->Refresh(false,
                                 std::chrono::steady_clock::now() + CTlsCertificates::kCheckEvery);
    EXPECT_EQ(Curl("/a.txt", "", userCertificate).exitCode, 0);
    EXPECT_NE(Curl("/a.txt", "", first).exitCode, 0) << "the replaced certificate was shown";
    EXPECT_EQ(doc->Certificates()->Fingerprint(), CertificateFingerprint(userCertificate));
}

// The first self-signed certificate is made on a worker: plain HTTP answers at once, and
// the HTTPS port does not listen until the certificate is there, then serves it.
class ServerTlsWhileMade : public ServerFixture {
  protected:
    std::string MoreSettings() override {
        httpsPort = FreeLoopbackPort();
        return "HttpsPort=" + std::to_string(httpsPort) + "\n";
    }
    void BeforeServing() override {
        doc->CertificateChooser().makeSelfSigned =
            [this, loop = std::this_thread::get_id(),
             go = released](const std::vector<std::string>& dns, const std::vector<std::string>& ip,
                            const std::string& certificate, const std::string& key) {
                // Nobody could let it go on from the event loop: it does not wait there.
                if (std::this_thread::get_id() == loop)
                    madeOnLoop = true;
                else
                    go.wait();
                return MakeSelfSignedCertificate(dns, ip, certificate, key);
            };
    }
    void TearDown() override {
        Release();
        SpinUntil([this] { return !doc->CertificateChooser().Pending(); }, 20000);
        ServerFixture::TearDown();
    }
    void Release() {
        if (!std::exchange(releasedYet, true))
            release.set_value();
    }
    int httpsPort = 0;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool releasedYet = false;
    std::atomic<bool> madeOnLoop{false};
};

TEST_F(ServerTlsWhileMade, PlainAnswersWhileTheCertificateIsMade) {
    Put("a.txt", "plain text file\n");
    EXPECT_FALSE(madeOnLoop) << "made on the event loop";
    EXPECT_EQ(Get("/a.txt").body, "plain text file\n");
    EXPECT_FALSE(doc->IsListeningTls());
    EXPECT_EQ(doc->SecurePort(), 0) << "strangers would be sent to a port nobody answers";
    const int early = ConnectLoopback(httpsPort);
    EXPECT_EQ(early, -1) << "the HTTPS port listened without a certificate";
    if (early >= 0)
        ::close(early);

    Release();
    ASSERT_TRUE(WaitForTls()) << (errors.empty() ? "" : errors.front());
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(doc->SecurePort(), httpsPort);
    CommandOutput out;
    const std::string tlsPort = std::to_string(httpsPort);
    ASSERT_TRUE(RunWhileServing([&] {
        out = RunCommand("curl -s --max-time 10 --resolve localhost:" + tlsPort +
                         ":127.0.0.1 --cacert " + ShellQuoted(temp / "tls/self-signed.pem") +
                         " https://localhost:" + tlsPort + "/a.txt 2>&1");
    }));
    EXPECT_EQ(out.exitCode, 0) << out.output;
    EXPECT_EQ(out.output, "plain text file\n");
}

// A head longer than one TLS record, sent in one piece: the session may hold the rest of it
// when the socket has nothing more to tell, and the answer must come all the same.
TEST_F(ServerTls, HeadLongerThanOneRecordIsAnswered) {
    // openssl s_client sends what it reads from its input 16 KiB at a time, each a record.
    for (const std::size_t extra : {1u, 40u, 100u, 200u, 280u, 1000u, 20000u}) {
        SCOPED_TRACE(extra);
        std::string head =
            "GET /a.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nX-Long: ";
        head += std::string(16384 + extra - head.size() - 4, 'x') + "\r\n\r\n";
        ASSERT_TRUE(WriteFile(temp / "head.txt", head));
        std::string out;
        EXPECT_TRUE(RunWhileServing([&] {
            out = RunCommand("timeout 10 openssl s_client -quiet -connect 127.0.0.1:" +
                             std::to_string(httpsPort) + " -CAfile " + ShellQuoted(selfSigned) +
                             " < " + ShellQuoted(temp / "head.txt") + " 2>&1")
                      .output;
        }));
        EXPECT_NE(out.find("\r\n\r\nplain text file\n"), std::string::npos) << out.substr(0, 300);
    }
}

// A browser's connection carries one request after the other over TLS as over plain HTTP.
TEST_F(ServerTls, KeptConnectionCarriesTenRequests) {
    std::string more = "-v -H 'Connection: keep-alive'";
    for (int i = 0; i < 9; ++i)
        more += " https://localhost:" + std::to_string(httpsPort) + "/a.txt";
    const CommandOutput out = Curl("/a.txt", more);
    ASSERT_EQ(out.exitCode, 0) << out.output;
    auto count = [&](const std::string& what) {
        int n = 0;
        for (std::size_t at = 0; (at = out.output.find(what, at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    EXPECT_EQ(count("Re-using existing connection"), 9) << out.output;
    EXPECT_EQ(count("plain text file"), 10);
    EXPECT_EQ(count("SSL connection using"), 1); // one handshake for all ten
}

} // namespace
} // namespace tvn::test
