// Which certificate the HTTPS listener shows: the ACME one, else the owner's, else a
// self-signed one made again only when the local names change.
#include "http/tls_certificates.h"
#include "support/spin.h"
#include "support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tvn::test {
namespace {

using Source = CTlsCertificates::Source;

class TlsCertificatesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        std::filesystem::create_directories(temp / "acme");
    }
    // A pair of files for `name`; `matching` false gives it the key of another certificate.
    void MakePair(const std::string& certificate, const std::string& key, bool matching) {
        ASSERT_TRUE(MakeSelfSignedCertificate({"localhost"}, {}, certificate, key));
        if (!matching) {
            ASSERT_TRUE(MakeSelfSignedCertificate({"other"}, {}, temp / "scrap.pem", key));
        }
    }
    std::unique_ptr<CTlsCertificates> Chooser() {
        auto chooser = std::make_unique<CTlsCertificates>(temp.Path(), temp / "mine.pem",
                                                          temp / "mine-key.pem");
        chooser->localNames = [this](std::vector<std::string>& dns, std::vector<std::string>& ip) {
            dns = names;
            ip = {"127.0.0.1"};
        };
        return chooser;
    }
    // Refresh, then until the worker's look at the self-signed certificate is over; whether
    // a certificate is in use.
    static bool Settled(CTlsCertificates& chooser, bool force = true,
                        CTlsCertificates::Clock::time_point now = CTlsCertificates::Clock::now()) {
        chooser.Refresh(force, now);
        return SpinUntil([&] { return !chooser.Pending(); }, 20000) &&
               chooser.Context().HasCertificate();
    }
    TempDir temp;
    std::vector<std::string> names{"host.test", "localhost"};
};

TEST_F(TlsCertificatesTest, AcmeFirstThenTheOwnersThenSelfSigned) {
    enum Pair { kNone, kMatching, kWrongKey };
    const struct {
        Pair acme;
        Pair mine;
        Source expected;
        const char* file; // below the settings folder
    } cases[] = {
        {kNone, kNone, Source::kSelfSigned, "tls/self-signed.pem"},
        {kNone, kMatching, Source::kUser, "mine.pem"},
        {kMatching, kMatching, Source::kAcme, "acme/cert.pem"},
        {kMatching, kNone, Source::kAcme, "acme/cert.pem"},
        {kWrongKey, kMatching, Source::kUser, "mine.pem"},
        {kWrongKey, kWrongKey, Source::kSelfSigned, "tls/self-signed.pem"},
        {kNone, kWrongKey, Source::kSelfSigned, "tls/self-signed.pem"},
    };
    for (const auto& c : cases) {
        for (const char* file : {"acme/cert.pem", "acme/key.pem", "mine.pem", "mine-key.pem"})
            std::filesystem::remove(temp / file);
        if (c.acme != kNone)
            MakePair(temp / "acme/cert.pem", temp / "acme/key.pem", c.acme == kMatching);
        if (c.mine != kNone)
            MakePair(temp / "mine.pem", temp / "mine-key.pem", c.mine == kMatching);
        const auto chooser = Chooser();
        EXPECT_TRUE(Settled(*chooser));
        EXPECT_EQ(chooser->InUse(), c.expected) << c.file;
        EXPECT_EQ(chooser->CertificateFile(), temp / c.file);
        EXPECT_EQ(chooser->Fingerprint(), CertificateFingerprint(temp / c.file));
        EXPECT_EQ(chooser->Trusted(), c.expected != Source::kSelfSigned) << c.file;
    }
}

// The self-signed certificate is made once; a start with the same names keeps it (the
// owner compared its fingerprint once), new names make it again.
TEST_F(TlsCertificatesTest, SelfSignedIsMadeAgainOnlyForNewNames) {
    std::string first;
    {
        const auto chooser = Chooser();
        ASSERT_TRUE(Settled(*chooser));
        first = chooser->Fingerprint();
    }
    const auto chooser = Chooser();
    ASSERT_TRUE(Settled(*chooser));
    EXPECT_EQ(chooser->Fingerprint(), first) << "made again for the same names";
    names.push_back("new.test");
    Settled(*chooser, false, CTlsCertificates::Clock::now() + CTlsCertificates::kCheckEvery);
    EXPECT_NE(chooser->Fingerprint(), first) << "kept for other names";
    EXPECT_EQ(CertificateNames(temp / "tls/self-signed.pem"),
              (std::vector<std::string>{"DNS:host.test", "DNS:localhost", "DNS:new.test",
                                        "IP:127.0.0.1"}));
}

// Looking up the local names and making the key and certificate never happen on the event
// loop: not the first time, not when the names stay, not when they change. Until the first
// one is there none is in use, and the owner of the chooser hears once when it is.
TEST_F(TlsCertificatesTest, SelfSignedIsLookedAtAndMadeOffTheEventLoop) {
    const auto loopThread = std::this_thread::get_id();
    std::atomic<int> onLoop{0};
    std::atomic<int> made{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto chooser = Chooser();
    const auto listNames = chooser->localNames;
    chooser->localNames = [&, listNames](std::vector<std::string>& dns,
                                         std::vector<std::string>& ip) {
        onLoop += std::this_thread::get_id() == loopThread;
        listNames(dns, ip);
    };
    chooser->makeSelfSigned = [&](const std::vector<std::string>& dns,
                                  const std::vector<std::string>& ip, const std::string& cert,
                                  const std::string& key) {
        // On the loop nobody could let it go on: it does not wait there.
        if (std::this_thread::get_id() == loopThread)
            ++onLoop;
        else
            released.wait();
        ++made;
        return MakeSelfSignedCertificate(dns, ip, cert, key);
    };
    int ready = 0;
    chooser->onReady = [&] { ++ready; };

    chooser->Refresh(true);
    EXPECT_TRUE(chooser->Pending());
    EXPECT_FALSE(chooser->Context().HasCertificate()) << "in use before it was made";
    EXPECT_EQ(chooser->InUse(), Source::kNone);
    release.set_value();
    ASSERT_TRUE(SpinUntil([&] { return !chooser->Pending(); }, 20000));
    EXPECT_EQ(chooser->InUse(), Source::kSelfSigned);
    EXPECT_EQ(ready, 1);

    const auto start = CTlsCertificates::Clock::now();
    const struct {
        const char* what;
        std::vector<std::string> names;
        int made; // so far
        int ready;
    } steps[] = {
        {"same names", {"host.test", "localhost"}, 1, 1},
        {"a new name", {"host.test", "localhost", "new.test"}, 2, 2},
        {"the new name again", {"host.test", "localhost", "new.test"}, 2, 2},
    };
    int step = 0;
    for (const auto& c : steps) {
        SCOPED_TRACE(c.what);
        names = c.names;
        ASSERT_TRUE(Settled(*chooser, false, start + ++step * CTlsCertificates::kCheckEvery));
        EXPECT_EQ(made.load(), c.made);
        EXPECT_EQ(ready, c.ready);
        EXPECT_EQ(chooser->Fingerprint(), CertificateFingerprint(temp / "tls/self-signed.pem"));
    }
    EXPECT_EQ(onLoop.load(), 0) << "looked at or made on the event loop";
}

// The owner's files appear while the program runs: used from the next look on, not before.
TEST_F(TlsCertificatesTest, FilesAreLookedAtAgainAfterAWhile) {
    const auto chooser = Chooser();
    const auto start = CTlsCertificates::Clock::now();
    ASSERT_TRUE(Settled(*chooser, false, start));
    ASSERT_EQ(chooser->InUse(), Source::kSelfSigned);
    MakePair(temp / "mine.pem", temp / "mine-key.pem", true);
    chooser->Refresh(false, start + CTlsCertificates::kCheckEvery / 2);
    EXPECT_EQ(chooser->InUse(), Source::kSelfSigned);
    chooser->Refresh(false, start + CTlsCertificates::kCheckEvery);
    EXPECT_EQ(chooser->InUse(), Source::kUser);
    MakePair(temp / "acme/cert.pem", temp / "acme/key.pem", true);
    chooser->Refresh(false, start + 2 * CTlsCertificates::kCheckEvery);
    EXPECT_EQ(chooser->InUse(), Source::kAcme);
}

} // namespace
} // namespace tvn::test
