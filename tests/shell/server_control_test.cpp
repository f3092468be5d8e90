#include "config/settings_section.h"
#include "config/stored_path.h"
#include "http/tls_certificates.h"
#include "pages/thumbnail_disk_cache.h"
#include "platform/ini_file.h"
#include "platform/tls.h"
#include "presence/dyn_dns_fixture.h"
#include "presence/fake_nat.h"
#include "shell/qr_symbol.h"
#include "shell/server_control.h"
#include "shell_fixture.h"
#include "support/env_guard.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QImageWriter>
#include <cstdio>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace tvn {
namespace {

using test::Accepts;
using test::FreePort;

constexpr int kPacked = 50397743; // 3.1.2.47

// Records what the server control tells the user.
struct RecordingUi {
    std::vector<std::string> errors;
    std::vector<std::string> infos;
    std::vector<std::string> activities;
    std::vector<std::string> certificates;
    CUserInterface ui;
    RecordingUi() {
        ui = HeadlessInterface();
        ui.showError = [this](const std::string& text) { errors.push_back(text); };
        ui.showAccessInfo = [this](const std::string& line) { infos.push_back(line); };
        ui.showActivity = [this](std::string_view line) { activities.emplace_back(line); };
        ui.showCertificate = [this](const std::string& line) { certificates.push_back(line); };
    }
};

class ServerControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settingsFile = dir.path().toStdString() + "/TVN.cfg";
        root = dir.path().toStdString() + "/site";
        SettingsSection::OverrideFilePath(settingsFile);
        // The access log of these servers stays in the test's folder.
        Set("LogFileName", dir.path().toStdString() + "/tvn.log");
        Set("HttpsPort", "0"); // a test that wants HTTPS gives it a port of its own
        cacheEnv.Set("XDG_CACHE_HOME", dir.path().toStdString() + "/cache");
    }
    void TearDown() override {
        ThumbnailDiskCache().Close();
        SettingsSection::OverrideFilePath("");
    }

    void Set(const char* key, const std::string& value) const {
        ini::WriteString(settingsFile, kSettingsSectionName, key, value);
    }
    // The stored CreateDemo, or -1 when the key is missing.
    int CreateDemo() const {
        return ini::ReadInt(settingsFile, kSettingsSectionName, "CreateDemo", -1);
    }

    // A control whose demo installer only counts, on a computer whose address is
    // `localAddress` behind a router in memory.
    std::unique_ptr<CServerControl> MakeControl() {
        CNetworkPresence::Parts parts;
        parts.pluginFolder = dir.path().toStdString();
        parts.mapper = std::make_unique<CPortMapper>(std::make_unique<test::FakeNat>(router));
        parts.localAddress = [this] { return localAddress; };
        auto control = std::make_unique<CServerControl>(recorder.ui, nullptr, std::move(parts));
        control->Document().demoInstaller = [this](const std::string& at) {
            installedAt.push_back(at);
        };
        return control;
    }

    // A control started on `port` at 192.168.1.20, LAN only.
    std::unique_ptr<CServerControl> StartOnLan(int port) {
        Set("Port", std::to_string(port));
        Set("uPnPRouter", "0");
        localAddress = "192.168.1.20";
        auto control = MakeControl();
        control->LoadSettingsAndStart();
        return control;
    }
    // Waits for the access-information line number `count`.
    bool WaitForInfo(std::size_t count) {
        return test::SpinUntil([&] { return recorder.infos.size() >= count; }, 5000);
    }
    std::string Stored(const char* key) const {
        return ini::ReadString(settingsFile, kSettingsSectionName, key, "<missing>");
    }

    QTemporaryDir dir;
    test::EnvGuard cacheEnv; // the thumbnails of these servers stay in the test's folder
    test::FakeRouter router;
    std::string localAddress;
    std::string settingsFile;
    std::string root;
    RecordingUi recorder;
    std::vector<std::string> installedAt;
};

// The demo site goes in on the first start of each program version, and never while the
// server stays disabled.
TEST_F(ServerControlTest, InstallsTheDemoOncePerVersion) {
    struct Case {
        const char* what;
        std::optional<int> storedMark; // CreateDemo before the start
        bool enabled;
        int installs;
        int markAfter; // -1: still missing
    };
    const Case cases[] = {
        {"first start", std::nullopt, true, 1, kPacked},
        {"same version", kPacked, true, 0, kPacked},
        {"update from an older version", kPacked - 1, true, 1, kPacked},
        {"back from a newer version", kPacked + 1, true, 0, kPacked},
        {"disabled server", std::nullopt, false, 0, -1},
        {"disabled after an older version", kPacked - 1, false, 0, kPacked - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(settingsFile.c_str());
        Set("LogFileName", dir.path().toStdString() + "/tvn.log");
        if (c.storedMark)
            Set("CreateDemo", std::to_string(*c.storedMark));
        installedAt.clear();
        auto control = MakeControl();
        EXPECT_EQ(control->StartServer(c.enabled ? FreePort() : 0, root), 0);
        EXPECT_EQ(static_cast<int>(installedAt.size()), c.installs);
        EXPECT_EQ(CreateDemo(), c.markAfter);
        if (c.installs == 1) {
            EXPECT_EQ(installedAt.front(), root);
        }
    }
}

// A started server keeps its thumbnails in the user's cache folder, but never in the shared
// folder, where they would be published: not even the folder is made there.
TEST_F(ServerControlTest, ThumbnailsAreKeptInTheCacheFolderOutsideTheShare) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root)));
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(QImageWriter(&buffer, "jpeg").write(image));
    const std::string_view bytes(jpeg.constData(), static_cast<std::size_t>(jpeg.size()));
    struct Case {
        std::string cacheHome;
        std::string made; // the folder of the thumbnails; empty: none is kept
    };
    const std::string folder = dir.path().toStdString();
    const Case cases[] = {
        {folder + "/cache", folder + "/cache/tarvolin/thumbnails"},
        {root + "/cache", ""},
        {root, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cacheHome);
        cacheEnv.Set("XDG_CACHE_HOME", c.cacheHome);
        auto control = MakeControl();
        ASSERT_EQ(control->StartServer(FreePort(), root), 0);
        ThumbnailDiskCache().Store("/pictures/sea.jpg", 100, 10, 10, bytes);
        EXPECT_EQ(ThumbnailDiskCache().Load("/pictures/sea.jpg", 100).has_value(), !c.made.empty());
        struct stat st {};
        if (!c.made.empty()) {
            ASSERT_EQ(::stat(c.made.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
        EXPECT_EQ(
            QDir(QString::fromStdString(root)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
            QStringList());
    }
}

// The owner compares the self-signed certificate's fingerprint on the phone once: the
// program tells it when HTTPS starts, and takes it back when the server stops.
TEST_F(ServerControlTest, TellsTheHttpsCertificatesFingerprint) {
    const int httpsPort = FreePort();
    Set("HttpsPort", std::to_string(httpsPort));
    auto control = StartOnLan(FreePort());
    // The certificate is made on a worker; the line follows once HTTPS listens.
    ASSERT_TRUE(test::SpinUntil([&] { return control->Document().IsListeningTls(); }, 20000));
    const std::string fingerprint =
        CertificateFingerprint(dir.path().toStdString() + "/tls/self-signed.pem");
    ASSERT_EQ(fingerprint.size(), 95u);
    const std::string line =
        "HTTPS port " + std::to_string(httpsPort) + ", certificate SHA-256 " + fingerprint;
    EXPECT_EQ(recorder.certificates, std::vector<std::string>{line});
    EXPECT_EQ(control->CertificateLine(), line);
    EXPECT_TRUE(recorder.errors.empty());
    control->StartServer(0, root);
    EXPECT_EQ(recorder.certificates, (std::vector<std::string>{line, ""}));
    EXPECT_EQ(control->CertificateLine(), "");
}

// HTTPS is in the access line only for the direct way in and only with a certificate a
// browser takes for the host shown; the relay carries plain HTTP.
TEST(AccessLineTest, HttpsOnlyWhereATrustedCertificateCoversTheDirectWay) {
    const HttpsOffer none;
    const HttpsOffer lan{8443, {"DNS:localhost", "IP:192.168.1.20"}};
    const HttpsOffer named{8443, {"DNS:Home.Example.org"}};
    const HttpsOffer wildcard{8443, {"DNS:*.example.org"}};
    const HttpsOffer standard{443, {"IP:192.168.1.20"}};
    const struct {
        const char* what;
        AccessInfo info;
        HttpsOffer offer;
        const char* line;
    } cases[] = {
        {"no trusted certificate",
         {"192.168.1.20:8080", "(LAN only)", ""},
         none,
         "http://192.168.1.20:8080 (LAN only)"},
        {"the address is named",
         {"192.168.1.20:8080", "(LAN only)", ""},
         lan,
         "https://192.168.1.20:8443 (LAN only)"},
        {"port 443 is not written",
         {"192.168.1.20:8080", "(LAN only)", ""},
         standard,
         "https://192.168.1.20 (LAN only)"},
        {"a name in another case",
         {"home.example.ORG:8080", "(Worldwide)", ""},
         named,
         "https://home.example.ORG:8443 (Worldwide)"},
        {"plain port 80",
         {"home.example.org", "(Worldwide)", ""},
         named,
         "https://home.example.org:8443 (Worldwide)"},
        {"one label for the star",
         {"home.example.org:8080", "(Worldwide)", ""},
         wildcard,
         "https://home.example.org:8443 (Worldwide)"},
        {"the star is not the domain",
         {"example.org:8080", "(Worldwide)", ""},
         wildcard,
         "http://example.org:8080 (Worldwide)"},
        {"the star is one label only",
         {"a.home.example.org:8080", "(Worldwide)", ""},
         wildcard,
         "http://a.home.example.org:8080 (Worldwide)"},
        {"the name's certificate, the address shown",
         {"192.168.1.20:8080", "(LAN only)", ""},
         named,
         "http://192.168.1.20:8080 (LAN only)"},
        {"an address is no DNS name",
         {"192.168.1.20:8080", "(LAN only)", ""},
         HttpsOffer{8443, {"DNS:192.168.1.20"}},
         "http://192.168.1.20:8080 (LAN only)"},
        {"the router does not forward the HTTPS port",
         {"home.example.org:8080", "(Worldwide)", "", true},
         named,
         "http://home.example.org:8080 (Worldwide)"},
        {"through the relay",
         {"home.example.org", "(via Zereru Zadariv)", "home.example.org"},
         named,
         "http://home.example.org (via Zereru Zadariv)"},
        {"stopped", {"", "The Server is stopped", ""}, lan, "The Server is stopped"},
        {"no port for HTTPS",
         {"192.168.1.20:8080", "(LAN only)", ""},
         HttpsOffer{0, {"IP:192.168.1.20"}},
         "http://192.168.1.20:8080 (LAN only)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(access::Line(c.info, c.offer), c.line);
    }
}

// The line, and the address its QR code holds, for each place the HTTPS certificate comes
// from: the ACME client's and the owner's are trusted, the self-signed one is not.
TEST_F(ServerControlTest, AccessLineNamesHttpsForATrustedCertificate) {
    enum class From { kSelfSigned, kAcme, kOwner, kOwnerForAnotherName };
    const struct {
        const char* what;
        From from;
        bool https;
    } cases[] = {
        {"self-signed", From::kSelfSigned, false},
        {"ACME", From::kAcme, true},
        {"the owner's", From::kOwner, true},
        {"the owner's, for another name", From::kOwnerForAnotherName, false},
    };
    const std::string folder = dir.path().toStdString();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* file : {"/acme/cert.pem", "/acme/key.pem", "/mine.pem", "/mine-key.pem"})
            std::remove((folder + file).c_str());
        const std::vector<std::string> addresses{"192.168.1.20"};
        if (c.from == From::kAcme) {
            QDir(dir.path()).mkpath("acme");
            ASSERT_TRUE(MakeSelfSignedCertificate({}, addresses, folder + "/acme/cert.pem",
                                                  folder + "/acme/key.pem"));
        }
        if (c.from == From::kOwner || c.from == From::kOwnerForAnotherName) {
            ASSERT_TRUE(MakeSelfSignedCertificate(
                {"elsewhere.test"}, c.from == From::kOwner ? addresses : std::vector<std::string>{},
                folder + "/mine.pem", folder + "/mine-key.pem"));
        }
        Set("TlsCertificate", folder + "/mine.pem");
        Set("TlsKey", folder + "/mine-key.pem");
        const int httpsPort = FreePort();
        Set("HttpsPort", std::to_string(httpsPort));
        recorder.infos.clear();
        const int port = FreePort();
        Set("Port", std::to_string(port));
        Set("uPnPRouter", "0");
        localAddress = "192.168.1.20";
        auto control = MakeControl();
        // The self-signed one is for the address shown too: only trust keeps it out.
        control->Document().CertificateChooser().localNames = [](std::vector<std::string>& dns,
                                                                 std::vector<std::string>& ip) {
            dns = {"localhost"};
            ip = {"192.168.1.20"};
        };
        control->LoadSettingsAndStart();
        ASSERT_TRUE(test::SpinUntil([&] { return control->Document().IsListeningTls(); }, 20000));
        const std::string expected =
            c.https ? "https://192.168.1.20:" + std::to_string(httpsPort) + " (LAN only)"
                    : "http://192.168.1.20:" + std::to_string(port) + " (LAN only)";
        // A self-signed certificate made meanwhile refreshes the line once more.
        test::SpinUntil([&] { return control->AccessLine() == expected; }, 5000);
        EXPECT_EQ(control->AccessLine(), expected);
        EXPECT_EQ(AccessAddress(control->AccessLine()), expected.substr(0, expected.find(' ')));
    }
}

// Headless, the fingerprint line goes to standard output; an empty one prints nothing.
TEST(HeadlessInterfaceTest, PrintsTheCertificateLine) {
    std::ostringstream out;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    const CUserInterface ui = HeadlessInterface();
    ui.showCertificate("HTTPS port 8443, certificate SHA-256 AB:CD");
    ui.showCertificate("");
    std::cout.rdbuf(saved);
    EXPECT_EQ(out.str(), "HTTPS port 8443, certificate SHA-256 AB:CD\n");
}

TEST_F(ServerControlTest, SamePortAndRootChangeNothing) {
    auto control = MakeControl();
    const int port = FreePort();
    ASSERT_EQ(control->StartServer(port, root), 0);
    // Forget the mark: a real restart would install the demo again, a no-op would not.
    Set("CreateDemo", "0");
    EXPECT_EQ(control->StartServer(port, root), 0);
    EXPECT_EQ(installedAt.size(), 1u);
    EXPECT_EQ(control->StartServer(port, root + "/other"), 0);
    EXPECT_EQ(installedAt.size(), 2u);
    EXPECT_TRUE(Accepts(port));
}

// A failed start still marks the version, and forgets the port that ran before: remembering
// it would answer a later start on that port "already running" while nothing listens.
TEST_F(ServerControlTest, StartAgainAfterAFailedSwitchListens) {
    auto control = MakeControl();
    const int port = FreePort();
    ASSERT_EQ(control->StartServer(port, root), 0);
    test::LoopbackPort busy(true);
    Set("CreateDemo", "0");
    ASSERT_EQ(control->StartServer(busy.Port(), root), 1);
    ASSERT_EQ(recorder.errors.size(), 1u);
    EXPECT_EQ(
        recorder.errors[0].rfind("Port " + std::to_string(busy.Port()) + " is already in use!", 0),
        0u)
        << recorder.errors[0];
    EXPECT_EQ(CreateDemo(), kPacked) << "marked whatever the outcome";
    EXPECT_EQ(control->StartServer(port, root), 0);
    EXPECT_TRUE(control->Document().IsListening());
    EXPECT_TRUE(Accepts(port));
}

TEST_F(ServerControlTest, ShutdownStopsTheServer) {
    auto control = MakeControl();
    const int port = FreePort();
    ASSERT_EQ(control->StartServer(port, root), 0);
    control->Shutdown();
    control->Shutdown();
    EXPECT_FALSE(Accepts(port));
    EXPECT_FALSE(control->Document().IsListening());
}

// The start sequence takes port, switch and root from the settings, and the first refresh
// tells where the server is reached.
TEST_F(ServerControlTest, LoadSettingsAndStart) {
    struct Case {
        const char* what;
        const char* enable;
        const char* worldwide;
        std::string address;
        bool listening;
        std::string info; // "#" stands for the port
    };
    const int port = FreePort();
    const std::string portText = std::to_string(port);
    const Case cases[] = {
        {"enabled, LAN only", "1", "0", "192.168.1.20", true, "http://192.168.1.20:# (LAN only)"},
        {"enabled, mapped", "1", "1", "192.168.1.20", true, "http://93.184.216.34:# (Worldwide)"},
        {"no network", "1", "1", "", true, "http://localhost:# Only. No NET connections found"},
        {"disabled", "0", "1", "192.168.1.20", false, "The Server is stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(settingsFile.c_str());
        Set("LogFileName", dir.path().toStdString() + "/tvn.log");
        Set("Port", portText);
        Set("Enable", c.enable);
        Set("uPnPRouter", c.worldwide);
        Set("Root", ToStoredPath(root));
        localAddress = c.address;
        recorder.infos.clear();
        auto control = MakeControl();
        control->LoadSettingsAndStart();
        EXPECT_EQ(control->Document().IsListening(), c.listening);
        EXPECT_EQ(control->Document().Root() == root, c.listening);
        ASSERT_TRUE(WaitForInfo(1));
        std::string expected = c.info;
        if (const auto at = expected.find('#'); at != std::string::npos)
            expected.replace(at, 1, portText);
        EXPECT_EQ(recorder.infos[0], expected);
        EXPECT_EQ(control->AccessLine(), expected);
    }
}

// Save stores every key, applies the server state and refreshes the line; a port in use
// keeps Port and Enable as the file had them, while the other settings are stored.
TEST_F(ServerControlTest, SaveStoresEverySettingAndKeepsThePortWhenItIsInUse) {
    const int port = FreePort();
    auto control = StartOnLan(port);
    ASSERT_TRUE(WaitForInfo(1));

    MainSettings chosen = control->Settings();
    chosen.port = FreePort();
    chosen.discovery = false;
    chosen.hideLog = true;
    chosen.root = root + "/other";
    chosen.name = "home";
    chosen.domain = "dyndns.info";
    chosen.user = "alice";
    chosen.pass = "s3cret";
    ASSERT_EQ(control->Save(chosen), 0);
    EXPECT_TRUE(Accepts(chosen.port));
    EXPECT_FALSE(Accepts(port));
    const std::pair<const char*, std::string> stored[] = {
        {"Port", std::to_string(chosen.port)},
        {"Enable", "1"},
        {"uPnPDiscovery", "0"},
        {"uPnPRouter", "0"},
        {"HideLog", "1"},
        {"Name", "home"},
        {"Domain", "dyndns.info"},
        {"User", "alice"},
        {"Pass", "s3cret"},
        {"Root", ToStoredPath(chosen.root)},
    };
    for (const auto& [key, value] : stored)
        EXPECT_EQ(Stored(key), value) << key;
    // No dynamic DNS service answers in this test: the name is not shown.
    ASSERT_TRUE(WaitForInfo(2));
    EXPECT_EQ(recorder.infos.back().rfind("http://192.168.1.20:" + std::to_string(chosen.port), 0),
              0u)
        << recorder.infos.back();

    test::LoopbackPort busy(true);
    MainSettings clash = control->Settings();
    clash.port = busy.Port();
    clash.user = "bob";
    EXPECT_EQ(control->Save(clash), 1);
    EXPECT_EQ(Stored("Port"), std::to_string(chosen.port));
    EXPECT_EQ(Stored("User"), "bob");
    EXPECT_EQ(control->Settings().port, chosen.port);
    EXPECT_FALSE(recorder.errors.empty());
}

TEST_F(ServerControlTest, ToggleEnableStopsAndStartsAndIsStored) {
    const int port = FreePort();
    auto control = StartOnLan(port);
    ASSERT_TRUE(WaitForInfo(1));
    EXPECT_FALSE(control->ToggleEnable());
    EXPECT_FALSE(Accepts(port));
    EXPECT_EQ(Stored("Enable"), "0");
    ASSERT_TRUE(test::SpinUntil([&] { return control->AccessLine() == "The Server is stopped"; }));
    EXPECT_TRUE(control->ToggleEnable());
    EXPECT_TRUE(Accepts(port));
    EXPECT_EQ(Stored("Enable"), "1");
    // Unticking Enable without saving changes the line only.
    MainSettings unticked = control->Settings();
    unticked.enable = false;
    control->PreviewEnable(unticked);
    ASSERT_TRUE(test::SpinUntil([&] { return control->AccessLine() == "The Server is stopped"; }));
    EXPECT_TRUE(Accepts(port));
}

// With DNS_UpdateURL at another service, a Domain outside the default service's list was
// replaced at start by the list's first entry, so the name registered was not the user's.
TEST_F(ServerControlTest, AnotherServicesDomainIsRegistered) {
    test::EnvGuard env;
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        env.Unset(name);
    test::UpdateServer service;
    Set("DNS_UpdateURL", service.Url());
    Set("Name", "home");
    Set("Domain", "own.example");
    Set("User", "alice");
    Set("Pass", "secret");
    const int port = FreePort();
    auto control = StartOnLan(port);
    EXPECT_EQ(control->Settings().domain, "own.example");
    ASSERT_TRUE(test::SpinUntil(
        [&] {
            return !recorder.infos.empty() && recorder.infos.back().starts_with("http://home.");
        },
        5000));
    EXPECT_EQ(recorder.infos.back(),
              "http://home.own.example:" + std::to_string(port) + " (LAN only)");
    ASSERT_EQ(service.Count(), 1u);
    EXPECT_TRUE(service.Heads()[0].starts_with(
        "GET /nic/update?hostname=home.own.example&myip=192.168.1.20 "))
        << service.Heads()[0];
}

// After a comment the unchanged line gives way to the post's link; the next change of the
// access information replaces it and forgets the post.
TEST_F(ServerControlTest, LastBlogPostUntilTheLineChanges) {
    const int port = FreePort();
    const std::string portText = std::to_string(port);
    auto control = StartOnLan(port);
    ASSERT_TRUE(WaitForInfo(1));
    control->Pages().SetLastPost("/Blog/first.html");
    control->PreviewEnable(control->Settings()); // a refresh with nothing changed
    ASSERT_TRUE(WaitForInfo(2));
    EXPECT_EQ(recorder.infos[1],
              "http://localhost:" + portText + "/Blog/first.html Last blog post");
    localAddress = "192.168.1.21";
    control->PreviewEnable(control->Settings());
    ASSERT_TRUE(WaitForInfo(3));
    EXPECT_EQ(recorder.infos[2], "http://192.168.1.21:" + portText + " (LAN only)");
    EXPECT_EQ(control->Pages().LastPostLink(control->Document().Port()), "");
}

// Any HideLog value but 1 switched the pop-up off, where only 1 is meant to.
TEST_F(ServerControlTest, OnlyHideLogOneHidesTheActivityPopUp) {
    struct Case {
        const char* value;
        bool shown;
    };
    const Case cases[] = {{"0", true}, {"1", false}, {"2", true}, {"257", true}, {"-1", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Set("HideLog", c.value);
        Set("Enable", "0");
        recorder.activities.clear();
        auto control = MakeControl();
        control->LoadSettingsAndStart();
        control->Document().showActivity("\nGET / 127.0.0.1:1");
        EXPECT_EQ(recorder.activities.size(), c.shown ? 1u : 0u);
    }
}

// Port 70000 listened on 4464 while the messages said 70000.
TEST_F(ServerControlTest, PortBeyondTheTcpRangeIsAStartFailure) {
    auto control = MakeControl();
    EXPECT_EQ(control->StartServer(70000, root), 1);
    EXPECT_EQ(recorder.errors, (std::vector<std::string>{"Can't start server!"}));
    EXPECT_FALSE(control->Document().IsListening());
    EXPECT_FALSE(Accepts(70000 - 65536));
}

} // namespace
} // namespace tvn
