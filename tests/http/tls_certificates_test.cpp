// Which certificate the HTTPS listener shows: the ACME one, else the owner's, else a
// self-signed one made again only when the local names change.
#include "http/tls_certificates.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
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
                                                          temp / "mine-key.pem", "host.test");
        chooser->localNames = [this](std::vector<std::string>& dns, std::vector<std::string>& ip) {
            dns = names;
            ip = {"127.0.0.1"};
        };
        return chooser;
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
        EXPECT_TRUE(chooser->Refresh(true));
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
        ASSERT_TRUE(chooser->Refresh(true));
        first = chooser->Fingerprint();
    }
    const auto chooser = Chooser();
    ASSERT_TRUE(chooser->Refresh(true));
    EXPECT_EQ(chooser->Fingerprint(), first) << "made again for the same names";
    names.push_back("new.test");
    chooser->Refresh(false, CTlsCertificates::Clock::now() + CTlsCertificates::kCheckEvery);
    EXPECT_NE(chooser->Fingerprint(), first) << "kept for other names";
    EXPECT_EQ(CertificateNames(temp / "tls/self-signed.pem"),
              (std::vector<std::string>{"DNS:host.test", "DNS:localhost", "DNS:new.test",
                                        "IP:127.0.0.1"}));
}

// The owner's files appear while the program runs: used from the next look on, not before.
TEST_F(TlsCertificatesTest, FilesAreLookedAtAgainAfterAWhile) {
    const auto chooser = Chooser();
    const auto start = CTlsCertificates::Clock::now();
    ASSERT_TRUE(chooser->Refresh(false, start));
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
