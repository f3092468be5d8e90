// The TLS context and session against a real client (openssl s_client) on loopback, and the
// self-signed certificate as openssl reads it.
#include "platform/tls.h"
#include "platform/unique_fd.h"
#include "support/command_output.h"
#include "support/temp_dir.h"

#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvn::test {
namespace {

// A one-connection-at-a-time server on a loopback port: every connection gets a session
// over its non-blocking socket, and "hello over tls" once it sent a line.
class TlsEchoServer {
  public:
    explicit TlsEchoServer(CTlsContext& tlsContext) : context(tlsContext) {
        listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener.Get(), 8) != 0 ||
            ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        thread = std::thread([this] { Serve(); });
    }
    ~TlsEchoServer() {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    int port = 0;
    std::atomic<int> resumed{0};
    std::atomic<int> served{0};
    std::string alpn; // of the last connection

  private:
    static bool Wait(int fd, CTlsSession::Step wanted) {
        pollfd p{fd, static_cast<short>(wanted == CTlsSession::Step::kWantWrite ? POLLOUT : POLLIN),
                 0};
        return ::poll(&p, 1, 3000) > 0;
    }
    void Serve() {
        while (!stop) {
            pollfd p{listener.Get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            UniqueFd fd(::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd.Valid())
                continue;
            CTlsSession session(context, fd.Get());
            CTlsSession::Step step;
            while ((step = session.Handshake()) == CTlsSession::Step::kWantRead ||
                   step == CTlsSession::Step::kWantWrite)
                if (!Wait(fd.Get(), step))
                    break;
            if (step != CTlsSession::Step::kDone)
                continue;
            alpn = session.Alpn();
            resumed += session.Resumed() ? 1 : 0;
            char buffer[1024];
            long n;
            while ((n = session.Read(buffer, sizeof buffer)) == CTlsSession::kWouldBlock)
                if (!Wait(fd.Get(), session.Wanted()))
                    break;
            if (n <= 0)
                continue;
            const std::string reply = "hello over tls\n";
            while (session.Write(reply.data(), reply.size()) == CTlsSession::kWouldBlock)
                if (!Wait(fd.Get(), session.Wanted()))
                    break;
            ++served;
            session.Shutdown();
        }
    }
    CTlsContext& context;
    UniqueFd listener;
    std::thread thread;
    std::atomic<bool> stop{false};
};

class Tls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        certificate = temp / "cert.pem";
        key = temp / "key.pem";
        ASSERT_TRUE(MakeSelfSignedCertificate({"localhost", "tarvolin.test"}, {"127.0.0.1", "::1"},
                                              certificate, key));
        ASSERT_TRUE(context.Valid());
        ASSERT_TRUE(context.UseCertificate(certificate, key));
    }
    // s_client with `flags` sends one line; its whole output.
    std::string Client(int port, const std::string& flags) {
        return RunCommand("echo hi | timeout 10 openssl s_client -connect 127.0.0.1:" +
                          std::to_string(port) + " -ign_eof -CAfile " + ShellQuoted(certificate) +
                          " " + flags + " 2>&1")
            .output;
    }
    TempDir temp;
    std::string certificate;
    std::string key;
    CTlsContext context;
};

// The versions a browser of the last years speaks are taken; TLS 1.1 and older are refused
// (also by the client's own default security level, which is lowered here for the probe).
TEST_F(Tls, SpeaksTls12And13Only) {
    TlsEchoServer server(context);
    ASSERT_NE(server.port, 0);
    const struct {
        const char* flags;
        const char* protocol; // nullptr: refused
    } cases[] = {
        {"-tls1_3", "TLSv1.3"},
        {"-tls1_2", "TLSv1.2"},
        {"-tls1_1 -cipher DEFAULT@SECLEVEL=0", nullptr},
        {"-tls1 -cipher DEFAULT@SECLEVEL=0", nullptr},
    };
    for (const auto& c : cases) {
        const std::string out = Client(server.port, c.flags);
        if (c.protocol) {
            EXPECT_NE(out.find(std::string("Protocol  : ") + c.protocol), std::string::npos)
                << c.flags << "\n"
                << out;
            EXPECT_NE(out.find("hello over tls"), std::string::npos) << c.flags;
        } else {
            EXPECT_EQ(out.find("hello over tls"), std::string::npos) << c.flags << "\n" << out;
        }
    }
}

// The old ciphers a scanner offers alone find no common one.
TEST_F(Tls, RefusesWeakCiphers) {
    TlsEchoServer server(context);
    for (const char* cipher : {"AES128-SHA", "ECDHE-ECDSA-AES128-SHA", "AES256-GCM-SHA384"}) {
        const std::string out = Client(server.port, std::string("-tls1_2 -cipher ") + cipher);
        EXPECT_EQ(out.find("hello over tls"), std::string::npos) << cipher << "\n" << out;
    }
}

TEST_F(Tls, AgreesOnHttp11ByAlpn) {
    TlsEchoServer server(context);
    const std::string out = Client(server.port, "-alpn h2,http/1.1");
    EXPECT_NE(out.find("ALPN protocol: http/1.1"), std::string::npos) << out;
    EXPECT_EQ(server.alpn, "http/1.1");
}

// A returning client resumes its session with the ticket it was given, for both versions.
TEST_F(Tls, ReturningClientResumes) {
    TlsEchoServer server(context);
    for (const char* version : {"-tls1_3", "-tls1_2"}) {
        const std::string session = temp / (std::string("session") + version);
        const std::string first =
            Client(server.port, std::string(version) + " -sess_out " + session);
        ASSERT_NE(first.find("hello over tls"), std::string::npos) << first;
        const std::string again =
            Client(server.port, std::string(version) + " -sess_in " + session);
        EXPECT_NE(again.find("Reused,"), std::string::npos) << version << "\n" << again;
    }
    EXPECT_EQ(server.resumed, 2);
}

TEST_F(Tls, SelfSignedCertificateNamesItsHostsAndIsOwnerOnly) {
    EXPECT_EQ(
        CertificateNames(certificate),
        (std::vector<std::string>{"DNS:localhost", "DNS:tarvolin.test", "IP:127.0.0.1", "IP:::1"}));
    const CommandOutput text =
        RunCommand("openssl x509 -noout -text -in " + ShellQuoted(certificate) + " 2>&1");
    ASSERT_EQ(text.exitCode, 0) << text.output;
    for (const char* part :
         {"DNS:localhost, DNS:tarvolin.test, IP Address:127.0.0.1, IP "
          "Address:0:0:0:0:0:0:0:1",
          "ASN1 OID: prime256v1", "CN = localhost", "TLS Web Server Authentication"})
        EXPECT_NE(text.output.find(part), std::string::npos) << part << "\n" << text.output;
    for (const std::string& file : {certificate, key}) {
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
    EXPECT_TRUE(CertificateMatchesKey(certificate, key));
}

TEST_F(Tls, FingerprintIsOpensslsSha256) {
    const CommandOutput out =
        RunCommand("openssl x509 -noout -fingerprint -sha256 -in " + ShellQuoted(certificate));
    ASSERT_EQ(out.exitCode, 0);
    const std::string fingerprint = CertificateFingerprint(certificate);
    EXPECT_EQ(fingerprint.size(), 32u * 3 - 1);
    EXPECT_EQ(out.output, "sha256 Fingerprint=" + fingerprint + "\n");
    EXPECT_EQ(CertificateFingerprint(temp / "missing.pem"), "");
}

// A key of another certificate, a missing or broken file: refused, and the certificate in
// use stays.
TEST_F(Tls, CertificateWithoutItsKeyIsRefused) {
    const std::string other = temp / "other.pem";
    const std::string otherKey = temp / "other-key.pem";
    ASSERT_TRUE(MakeSelfSignedCertificate({"other"}, {}, other, otherKey));
    const std::string broken = temp / "broken.pem";
    {
        const UniqueFd fd(::open(broken.c_str(), O_WRONLY | O_CREAT, 0600));
        ASSERT_EQ(::write(fd.Get(), "-----BEGIN CERTIFICATE-----\nAAAA\n", 33), 33);
    }
    const struct {
        std::string cert, key;
    } refused[] = {{certificate, otherKey},          {other, key},  {temp / "none.pem", key},
                   {certificate, temp / "none.pem"}, {broken, key}, {certificate, broken}};
    for (const auto& pair : refused) {
        EXPECT_FALSE(context.UseCertificate(pair.cert, pair.key)) << pair.cert << " " << pair.key;
        EXPECT_FALSE(CertificateMatchesKey(pair.cert, pair.key)) << pair.cert << " " << pair.key;
    }
    TlsEchoServer server(context);
    const std::string out = Client(server.port, "-verify_return_error");
    EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
}

} // namespace
} // namespace tvn::test
