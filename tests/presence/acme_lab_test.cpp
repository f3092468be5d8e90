// The certificate worker against a real ACME server: pebble on loopback (the suite runs in a
// network namespace of its own), its mock DNS (pebble-challtestsrv) pointing every name at
// loopback, and its validation fetching the http-01 answers from the server document's real
// plain listener. Skips when pebble is not installed.
#include "platform/acme_crypto.h"
#include "presence/acme_client.h"
#include "support/server_fixture.h"
#include "support/spin.h"

#include <QProcess>
#include <QStringList>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace tvn {
namespace {

using test::ReadFile;
using test::WriteFile;

const std::string kName = "lab-home.dyn.test";

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

int ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

class AcmeLab : public test::ServerFixture {
  protected:
    void SetUp() override {
        if (::access("/usr/bin/pebble", X_OK) != 0 ||
            ::access("/usr/bin/pebble-challtestsrv", X_OK) != 0)
            GTEST_SKIP() << "pebble is not installed (scripts/install-deps.sh installs it)";
        ServerFixture::SetUp();
        // pebble's own https: a certificate of the test's for 127.0.0.1, which AcmeTrust adds.
        ASSERT_TRUE(Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                          "-days 30 -subj /CN=pebble -addext subjectAltName=IP:127.0.0.1 "
                          "-keyout " +
                          temp / "pebble-key.pem" + " -out " + temp / "pebble-cert.pem" +
                          " >/dev/null 2>&1"));
        acmePort = test::FreeLoopbackPort();
        managementPort = test::FreeLoopbackPort();
        dnsPort = test::FreeLoopbackPort();
        WriteFile(temp / "pebble.json",
                  R"({"pebble":{"listenAddress":"127.0.0.1:)" + std::to_string(acmePort) +
                      R"(","managementListenAddress":"127.0.0.1:)" +
                      std::to_string(managementPort) + R"(","certificate":")" +
                      temp / "pebble-cert.pem" + R"(","privateKey":")" + temp / "pebble-key.pem" +
                      R"(","httpPort":)" + std::to_string(port) + R"(,"tlsPort":)" +
                      std::to_string(test::FreeLoopbackPort()) +
                      R"(,"ocspResponderURL":"","externalAccountBindingRequired":false}})");
        dns.setProgram("/usr/bin/pebble-challtestsrv");
        dns.setArguments(
            {"-dns01", QString::fromStdString("127.0.0.1:" + std::to_string(dnsPort)), "-http01",
             "", "-https01", "", "-tlsalpn01", "", "-management",
             QString::fromStdString("127.0.0.1:" + std::to_string(test::FreeLoopbackPort())),
             "-defaultIPv4", "127.0.0.1", "-defaultIPv6", ""});
        dns.setStandardOutputFile(QString::fromStdString(temp / "dns.log"));
        dns.setStandardErrorFile(QString::fromStdString(temp / "dns.log"), QIODevice::Append);
        dns.start();
        ASSERT_TRUE(dns.waitForStarted());
        StartPebble();

        setup.directoryUrl = "https://127.0.0.1:" + std::to_string(acmePort) + "/dir";
        setup.trustFile = temp / "pebble-cert.pem";
        setup.dnsName = kName;
        setup.folder = temp.Path();
        setup.pollMs = 100;
        setup.pollTries = 100;
        worker = std::make_unique<CAcmeWorker>(
            doc->AcmeChallenges(), [this] { return clock.load(); },
            [this](const std::string& line) {
                const std::lock_guard guard(linesLock);
                lines.push_back(line);
            });
        worker->Configure(setup);
    }

    void TearDown() override {
        worker.reset();
        StopPebble();
        if (dns.state() != QProcess::NotRunning) {
            dns.kill();
            dns.waitForFinished();
        }
        if (doc)
            ServerFixture::TearDown();
    }

    void StartPebble() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PEBBLE_VA_NOSLEEP", "1");
        environment.insert("PEBBLE_WFE_NONCEREJECT", "0");
        environment.insert("PEBBLE_AUTHZREUSE", "0");
        pebble.setProcessEnvironment(environment);
        pebble.setProgram("/usr/bin/pebble");
        pebble.setArguments({"-config", QString::fromStdString(temp / "pebble.json"), "-dnsserver",
                             QString::fromStdString("127.0.0.1:" + std::to_string(dnsPort))});
        pebble.setStandardOutputFile(QString::fromStdString(temp / "pebble.log"),
                                     QIODevice::Append);
        pebble.setStandardErrorFile(QString::fromStdString(temp / "pebble.log"), QIODevice::Append);
        pebble.start();
        ASSERT_TRUE(pebble.waitForStarted());
        ASSERT_TRUE(test::WaitFor(
            [&] {
                return Shell("curl -s -o /dev/null --cacert " + temp / "pebble-cert.pem" +
                             " https://127.0.0.1:" + std::to_string(acmePort) + "/dir");
            },
            20000))
            << ReadFile(temp / "pebble.log");
    }

    void StopPebble() {
        if (pebble.state() == QProcess::NotRunning)
            return;
        pebble.kill();
        pebble.waitForFinished();
    }

    // One round of the worker on a thread of its own, while the event loop serves the
    // validation's requests; false when it did not end within the limit.
    bool Round() {
        std::atomic<bool> done = false;
        std::thread round([&] {
            worker->RunOnce();
            done = true;
        });
        const bool ended = test::SpinUntil([&] { return done.load(); }, 120000);
        round.join();
        return ended;
    }

    std::vector<std::string> Lines() {
        const std::lock_guard guard(linesLock);
        return lines;
    }

    std::string Certificate() const { return ReadFile(AcmeCertificatePath(temp.Path())); }
    std::string Key() const { return ReadFile(AcmeKeyPath(temp.Path())); }

    // Whether the leaf of the chain verifies against pebble's root, fetched from its
    // management port.
    bool VerifiesAgainstPebbleRoot() const {
        const std::string pebbleRoot = temp / "pebble-root.pem";
        return Shell("curl -sf --cacert " + temp / "pebble-cert.pem" + " -o " + pebbleRoot +
                     " https://127.0.0.1:" + std::to_string(managementPort) + "/roots/0") &&
               Shell("openssl verify -CAfile " + pebbleRoot + " -untrusted " +
                     AcmeCertificatePath(temp.Path()) + " " + AcmeCertificatePath(temp.Path()) +
                     " >/dev/null");
    }

    QProcess pebble;
    QProcess dns;
    int acmePort = 0;
    int managementPort = 0;
    int dnsPort = 0;
    AcmeSetup setup;
    std::atomic<std::time_t> clock = std::time(nullptr);
    std::unique_ptr<CAcmeWorker> worker;
    std::mutex linesLock;
    std::vector<std::string> lines;
};

TEST_F(AcmeLab, GetsACertificateForTheNameThroughThePlainListener) {
    ASSERT_TRUE(Round());
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_TRUE(Lines()[0].starts_with("ACME: certificate for " + kName + " until "))
        << Lines()[0] << "\n"
        << ReadFile(temp / "pebble.log");
    const std::string chain = Certificate();
    ASSERT_NE(chain.find("-----BEGIN CERTIFICATE-----"), std::string::npos);
    EXPECT_NE(Key().find("PRIVATE KEY"), std::string::npos);
    const auto info = ReadCertificate(chain);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->dnsNames, kName + "\n");
    EXPECT_TRUE(CertificateMatchesKey(chain, Key()));
    EXPECT_TRUE(VerifiesAgainstPebbleRoot());
    for (const std::string& path : {AcmeCertificatePath(temp.Path()), AcmeKeyPath(temp.Path()),
                                    AcmeAccountKeyPath(temp.Path())})
        EXPECT_EQ(ModeOf(path), 0600) << path;
    EXPECT_EQ(ModeOf(temp / "acme"), 0700);
    // Nothing is left published once the order is done.
    EXPECT_EQ(Get("/.well-known/acme-challenge/x").statusLine, "HTTP/1.0 404 Not Found");
}

TEST_F(AcmeLab, RenewsOnlyOnceTwoThirdsOfTheLifetimePassed) {
    ASSERT_TRUE(Round());
    const std::string first = Certificate();
    const std::string firstKey = Key();
    const auto info = ReadCertificate(first);
    ASSERT_TRUE(info) << Lines().back();
    const std::time_t lifetime = info->notAfter - info->notBefore;

    clock = info->notBefore + lifetime * 6 / 10; // not yet
    ASSERT_TRUE(Round());
    EXPECT_EQ(Certificate(), first);
    EXPECT_EQ(Lines().size(), 1u);

    clock = info->notBefore + lifetime * 7 / 10; // past two thirds
    ASSERT_TRUE(Round());
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_TRUE(Lines()[1].starts_with("ACME: certificate for")) << Lines()[1];
    EXPECT_NE(Certificate(), first);
    EXPECT_NE(Key(), firstKey);
    EXPECT_TRUE(CertificateMatchesKey(Certificate(), Key()));
    EXPECT_TRUE(VerifiesAgainstPebbleRoot());
}

TEST_F(AcmeLab, KeepsTheFilesAndBacksOffWhileTheServiceIsDown) {
    ASSERT_TRUE(Round());
    const std::string chain = Certificate();
    const std::string key = Key();
    const auto info = ReadCertificate(chain);
    ASSERT_TRUE(info);
    StopPebble();

    clock = info->notAfter - 10; // renewal is due
    ASSERT_TRUE(Round());
    EXPECT_EQ(worker->Failures(), 1);
    EXPECT_EQ(worker->CurrentBackoff(), 60);
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_TRUE(Lines()[1].starts_with("ACME: no certificate for " + kName + ": "));
    EXPECT_NE(Lines()[1].find("next try in 60 s"), std::string::npos) << Lines()[1];

    ASSERT_TRUE(Round()); // within the backoff: nothing is tried
    EXPECT_EQ(worker->Failures(), 1);
    EXPECT_EQ(Lines().size(), 2u);

    clock = clock + 61;
    ASSERT_TRUE(Round());
    EXPECT_EQ(worker->Failures(), 2);
    EXPECT_EQ(worker->CurrentBackoff(), 120);
    EXPECT_EQ(Certificate(), chain);
    EXPECT_EQ(Key(), key);

    // Back up, the next round after the wait renews.
    StartPebble();
    clock = clock + 121;
    ASSERT_TRUE(Round());
    EXPECT_EQ(worker->Failures(), 0);
    EXPECT_NE(Certificate(), chain);
}

TEST_F(AcmeLab, TheKeyFilesAreNeverServed) {
    ASSERT_TRUE(Round());
    const std::string key = Key();
    ASSERT_FALSE(key.empty());
    const std::string folder = temp.Path();
    for (const std::string& url : std::vector<std::string>{
             "/acme/key.pem", "/acme/cert.pem", "/acme/account.pem", "/../acme/key.pem",
             "/%2e%2e/acme/key.pem", "/..%2facme%2fkey.pem", "/Share/../acme/key.pem",
             "\\..\\acme\\key.pem", "/.well-known/acme-challenge/../../acme/key.pem",
             "/.well-known/acme-challenge/..%2f..%2facme%2fkey.pem",
             "/.well-known/acme-challenge/%2e%2e/%2e%2e/acme/key.pem",
             "/.well-known/acme-challenge/key.pem", "/.well-known/acme-challenge/",
             "/.well-known/acme-challenge/acme", std::string("/") + folder + "/acme/key.pem",
             folder + "/acme/key.pem", "//" + folder.substr(1) + "/acme/key.pem"}) {
        const auto answer = Get(url);
        EXPECT_EQ(answer.body.find("PRIVATE KEY"), std::string::npos) << url;
        EXPECT_EQ(answer.body.find("BEGIN CERTIFICATE"), std::string::npos) << url;
        EXPECT_NE(answer.statusLine, "HTTP/1.0 200 OK") << url;
    }
}

} // namespace
} // namespace tvn
