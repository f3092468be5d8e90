// The whole program's network presence in a LAN behind a real UPnP router (miniupnpd in
// namespaces of the test's own, port_mapper_lab.sh): at start it maps its port on the router and
// says so, announces itself to the LAN with a page that links to it, and at `stop` it removes
// the mapping and withdraws the device; started before the network, it does all that once the
// network comes. Skips when the lab cannot be made.
#include "netns_lab.h"
#include "platform/upnp_nat.h"
#include "support/temp_dir.h"

#include <QElapsedTimer>
#include <QProcess>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tvn {
namespace {

using test::NetnsGuard;
using test::Shell;

// The description addresses of the root devices on `host` that answer a search from `from`
// (the router is a root device too).
std::vector<std::string> DevicesOn(const std::string& host, const std::string& from) {
    std::vector<std::string> found;
    for (const test::Headers& answer : test::Search("upnp:rootdevice", 1500, from))
        if (answer.count("LOCATION") && test::SplitUrl(answer.at("LOCATION")).host == host)
            found.push_back(answer.at("LOCATION"));
    return found;
}

// The description address of the device on `host` that searches from `from` find within
// `waitMs`, or nothing.
std::string DeviceLocation(const std::string& host, const std::string& from, int waitMs) {
    std::string location;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (location.empty() && std::chrono::steady_clock::now() < end) {
        for (const std::string& found : DevicesOn(host, from))
            location = found;
    }
    return location;
}

const std::string kClient = "10.77.0.2";
const std::string kRouter = "10.77.0.1";
const std::string kLabExternal = "93.184.216.34"; // only a text the lab router reports
constexpr int kPort = 18321;
constexpr int kWaitMs = 20000;
// How long a network that comes late may take to be used: the wait's limit, not a speed.
constexpr int kLateWaitMs = 60000;

std::string Script() { return std::string(TVN_SOURCE_TREE) + "/tests/presence/port_mapper_lab.sh"; }

std::string Program() {
#ifdef TVN_PROGRAM
    return TVN_PROGRAM;
#else
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
            "tarvolin")
        .string();
#endif
}

std::string MissingPiece() {
    if (::geteuid() != 0)
        return "the router lab needs root to make network namespaces";
    if (::access("/usr/sbin/miniupnpd", X_OK) != 0)
        return "miniupnpd is not installed (scripts/install-deps.sh installs miniupnpd-nftables)";
    if (!Shell("command -v nft >/dev/null 2>&1 && command -v ip >/dev/null 2>&1"))
        return "nft or ip is not installed";
    if (::access(Program().c_str(), X_OK) != 0)
        return Program() + " is not built";
    return {};
}

class ProgramLab : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string missing = MissingPiece(); !missing.empty())
            GTEST_SKIP() << missing;
        name = "tvnpg" + std::to_string(::getpid());
        lab = dir / "lab";
        ASSERT_TRUE(Shell(std::string(LateNetwork() ? "LATE=1 " : "") + Script() + " up " + name +
                          " " + lab + " ext_ip=" + kLabExternal + " secure_mode=yes >" +
                          dir / "lab.log" + " 2>&1"))
            << test::ReadAll(dir / "lab.log");
        std::filesystem::create_directories(dir / "site");
        std::filesystem::create_directories(dir / "run");
        std::filesystem::create_directories(dir / "app");
        std::ofstream(dir / "site/hello.txt") << "hello";
        std::ofstream(dir / "app/TVN.cfg")
            << "[SOFTWARE\\Tarvolin\\1.0]\nPort=" << kPort << "\nRoot=" << dir / "site"
            << "\nuPnPDiscovery=1\nuPnPRouter=1\nHideLog=1\nLogFileName=" << dir / "tvn.log"
            << "\n";
    }
    // Whether the client's link and the router come only after the program started.
    virtual bool LateNetwork() const { return false; }
    void TearDown() override {
        if (program && program->state() != QProcess::NotRunning) {
            program->kill();
            program->waitForFinished(5000);
        }
        if (!name.empty())
            Shell(Script() + " down " + name + " " + lab + " >/dev/null 2>&1");
    }

    // The program in the client namespace with `arguments`.
    std::unique_ptr<QProcess> Run(const QStringList& arguments) {
        auto process = std::make_unique<QProcess>();
        QStringList command{
            "netns", "exec",           QString::fromStdString(name + "-cl"), "env", "-u", "DISPLAY",
            "-u",    "WAYLAND_DISPLAY"};
        for (const auto& [key, value] : {std::pair{"U3_APP_DATA_PATH", dir / "app"},
                                         {"U3_DEVICE_EXEC_PATH", dir / "app"},
                                         {"U3_DEVICE_DOCUMENT_PATH", dir / "docs"},
                                         {"XDG_RUNTIME_DIR", dir / "run"},
                                         {"HOME", dir.Path()},
                                         {"TVN_FIREWALL_BUS", std::string("none")}})
            command << QString::fromStdString(std::string(key) + "=" + value);
        command << QString::fromStdString(Program()) << arguments;
        process->start("ip", command);
        return process;
    }
    // Waits for `text` in the program's standard output.
    bool WaitForOutput(const std::string& text, int waitMs = kWaitMs) {
        QElapsedTimer clock;
        clock.start();
        while (output.find(text) == std::string::npos && clock.elapsed() < waitMs) {
            program->waitForReadyRead(200);
            output += program->readAllStandardOutput().toStdString();
        }
        return output.find(text) != std::string::npos;
    }
    std::optional<NatMapping> Mapping(std::uint16_t port = kPort) {
        NetnsGuard inside(name + "-cl");
        auto observer = MakeUpnpNat(DefaultGateway, 1000);
        if (!inside.Entered() || !observer->Discover())
            return std::nullopt;
        return observer->GetMapping(port, "TCP");
    }

    test::TempDir dir;
    std::string name;
    std::string lab;
    std::unique_ptr<QProcess> program;
    std::string output;
};

TEST_F(ProgramLab, MapsAnnouncesAndCleansUpAtStop) {
    program = Run({});
    ASSERT_TRUE(program->waitForStarted());
    ASSERT_TRUE(
        WaitForOutput("http://" + kLabExternal + ":" + std::to_string(kPort) + " (Worldwide)"))
        << output << program->readAllStandardError().toStdString();
    const std::optional<NatMapping> mapping = Mapping();
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->internalClient, kClient);
    EXPECT_EQ(mapping->internalPort, kPort);
    EXPECT_EQ(mapping->description, "TVN");
    // The HTTPS listener's port (8443 unless set) is forwarded beside it.
    const std::optional<NatMapping> https = Mapping(8443);
    ASSERT_TRUE(https);
    EXPECT_EQ(https->internalClient, kClient);
    EXPECT_EQ(https->description, "TVN HTTPS");

    {
        // A control point on the router's side of the LAN finds the device, its page links to
        // the server, and the server answers there.
        NetnsGuard router(name + "-rt");
        ASSERT_TRUE(router.Entered());
        const std::string location = DeviceLocation(kClient, kRouter, 10000);
        ASSERT_FALSE(location.empty()) << "the device was not found; the program wrote: " << output
                                       << program->readAllStandardError().toStdString();
        const test::Url url = test::SplitUrl(location);
        EXPECT_EQ(url.host, kClient);
        const test::Reply page = test::Get(url.host, url.port, "/TVN.html");
        EXPECT_EQ(page.status, 200);
        const std::string link = "http://" + kClient + ":" + std::to_string(kPort);
        EXPECT_NE(page.body.find("<A HREF=\"" + link + "\">" + link + "</A>"), std::string::npos)
            << page.body;
        const test::Reply file = test::Get(kClient, kPort, "/hello.txt");
        EXPECT_EQ(file.status, 200);
        EXPECT_NE(file.body.find("\nhello\n"), std::string::npos) << file.body;
    }

    const std::unique_ptr<QProcess> stop = Run({"stop"});
    ASSERT_TRUE(stop->waitForFinished(kWaitMs));
    ASSERT_TRUE(program->waitForFinished(kWaitMs)) << "the program did not end";
    EXPECT_EQ(program->exitCode(), 0);
    EXPECT_FALSE(Mapping()) << "the mapping outlived the program";
    EXPECT_FALSE(Mapping(8443)) << "the HTTPS port's mapping outlived the program";
    NetnsGuard router(name + "-rt");
    EXPECT_TRUE(DevicesOn(kClient, kRouter).empty()) << "the device outlived the program";
}

class ProgramLateNetworkLab : public ProgramLab {
  protected:
    bool LateNetwork() const override { return true; }
};

// Regression: started before the network (a login session that starts it), the program never
// looked for the router again after its first search found none, and never announced itself:
// libupnp, started while the new link's IPv6 address was still tentative, failed for good.
TEST_F(ProgramLateNetworkLab, MapsAndAnnouncesOnceTheNetworkComes) {
    program = Run({});
    ASSERT_TRUE(program->waitForStarted());
    ASSERT_TRUE(WaitForOutput("Only. No NET connections found")) << output;
    ASSERT_TRUE(Shell(Script() + " link " + name + " " + lab));
    // The program sees the link before there is a router on it.
    const std::string direct = "http://" + kClient + ":" + std::to_string(kPort);
    ASSERT_TRUE(WaitForOutput(direct, kLateWaitMs)) << output;
    ASSERT_TRUE(Shell(Script() + " router " + name + " " + lab + " >/dev/null"));

    ASSERT_TRUE(WaitForOutput(
        "http://" + kLabExternal + ":" + std::to_string(kPort) + " (Worldwide)", kLateWaitMs))
        << output << program->readAllStandardError().toStdString();
    const std::optional<NatMapping> mapping = Mapping();
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->internalClient, kClient);
    EXPECT_EQ(mapping->internalPort, kPort);
    {
        NetnsGuard router(name + "-rt");
        ASSERT_TRUE(router.Entered());
        const std::string location = DeviceLocation(kClient, kRouter, kLateWaitMs);
        ASSERT_FALSE(location.empty()) << "the device was not found; the program wrote: " << output
                                       << program->readAllStandardError().toStdString();
        const test::Url url = test::SplitUrl(location);
        const test::Reply page = test::Get(url.host, url.port, "/TVN.html");
        EXPECT_EQ(page.status, 200);
        EXPECT_NE(page.body.find("<A HREF=\"" + direct + "\">" + direct + "</A>"),
                  std::string::npos)
            << page.body;
    }

    const std::unique_ptr<QProcess> stop = Run({"stop"});
    ASSERT_TRUE(stop->waitForFinished(kWaitMs));
    ASSERT_TRUE(program->waitForFinished(kWaitMs)) << "the program did not end";
    EXPECT_FALSE(Mapping()) << "the mapping outlived the program";
    NetnsGuard router(name + "-rt");
    EXPECT_TRUE(DevicesOn(kClient, kRouter).empty()) << "the device outlived the program";
}

} // namespace
} // namespace tvn
