// The LAN device announcement: its texts and descriptions without any network, and the device
// itself in a two-host LAN of network namespaces that the lab tests make themselves
// (announcer_lab.sh). The announcer runs in one namespace as a program of its own, so all of
// libupnp lives and sends there; the test thread enters the other one to search and fetch like
// a control point. The lab tests skip when they cannot make the lab (not root, no `ip netns`).
#include "config/settings_section.h"
#include "netns_lab.h"
#include "platform/resources.h"
#include "platform/ssdp_responder.h"
#include "presence/device_announcer.h"
#include "support/temp_dir.h"

#include <QProcess>
#include <QXmlStreamReader>
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tvn {
namespace {

using Clock = std::chrono::steady_clock;
using test::Get;
using test::Headers;
using test::NetnsGuard;
using test::Reply;
using test::Search;
using test::Shell;
using test::SplitUrl;
using test::Url;

// ---- Texts ----------------------------------------------------------------------------------

TEST(LanLinks, PortSuffixAndLocalhost) {
    struct Case {
        int port;
        std::string address;
        std::string links;
    };
    const Case cases[] = {
        {80, "192.168.1.20", "<A HREF=\"http://192.168.1.20\">http://192.168.1.20</A><br>"},
        {8080, "192.168.1.20",
         "<A HREF=\"http://192.168.1.20:8080\">http://192.168.1.20:8080</A><br>"},
        {80, "", "<A HREF=\"http://localhost\">http://localhost</A> or<br>"},
        {8080, "", "<A HREF=\"http://localhost:8080\">http://localhost:8080</A> or<br>"},
        {180, "10.0.0.1", "<A HREF=\"http://10.0.0.1:180\">http://10.0.0.1:180</A><br>"},
        // The address is text put into the link, never a format of its own.
        {81, "%s%n", "<A HREF=\"http://%s%n:81\">http://%s%n:81</A><br>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address + " port " + std::to_string(c.port));
        EXPECT_EQ(BuildLanLinks(c.port, c.address), c.links);
    }
}

TEST(PresentationPage, FirstPlaceholderOnly) {
    struct Case {
        std::string pageTemplate;
        std::string body;
        std::string page;
    };
    const Case cases[] = {
        {"<p>%1</p>", "B", "<p>B</p>"},
        {"a%1b%1c", "B", "aBb%1c"},                // a second %1 stays as it is
        {"no placeholder", "B", "no placeholder"}, // used as it is
        {"%1", "", ""},
        {"%%1%", "B", "%B%"},
        {"x%1y", "%1", "x%1y"}, // the body is not searched again
        {"", "B", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pageTemplate);
        EXPECT_EQ(FillPageTemplate(c.pageTemplate, c.body), c.page);
    }
}

TEST(PresentationPage, BuiltInTemplateCarriesTheLinks) {
    const auto pageTemplate = FindResource("CONTENT", ".pnp");
    ASSERT_TRUE(pageTemplate);
    const std::string text(*pageTemplate);
    EXPECT_NE(text.find("<title>Tarvolin</title>"), std::string::npos);
    const std::size_t at = text.find("%1");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.find("%1", at + 2), std::string::npos) << "one placeholder only";

    const std::string body = "Tarvolin is now available in the LAN as :<br><br>"
                             "<A HREF=\"http://10.1.2.3:8080\">http://10.1.2.3:8080</A><br>"
                             "<br><br>Please, obtain a permanent/symbolic LAN or worldwide link "
                             "(if available) from the server owner directly";
    const std::string page = BuildPresentationPage(8080, "10.1.2.3");
    EXPECT_EQ(page, text.substr(0, at) + body + text.substr(at + 2));

    const std::string local = BuildPresentationPage(80, "");
    EXPECT_NE(local.find(":<br><br><A HREF=\"http://localhost\">http://localhost</A> or<br><br><br>"
                         "Please"),
              std::string::npos);
    EXPECT_EQ(local.find("%1"), std::string::npos);
}

// ---- Descriptions ---------------------------------------------------------------------------

using Elements = std::vector<std::pair<std::string, std::string>>;

// The child elements of the first `parent` element in `xml`, with their text (empty for an
// element that holds elements), in document order; `ns` receives the root's namespace.
Elements ChildrenOf(const std::string& xml, const std::string& parent, std::string* ns = nullptr) {
    QXmlStreamReader reader(QByteArray::fromStdString(xml));
    Elements children;
    int depth = 0;
    int parentDepth = -1;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (depth == 1 && ns)
                *ns = reader.namespaceUri().toString().toStdString();
            if (parentDepth < 0 && reader.name().toString().toStdString() == parent) {
                parentDepth = depth;
            } else if (parentDepth > 0 && depth == parentDepth + 1) {
                children.emplace_back(reader.name().toString().toStdString(), "");
            }
        } else if (token == QXmlStreamReader::Characters && parentDepth > 0 &&
                   depth == parentDepth + 1 && !children.empty()) {
            children.back().second += reader.text().toString().toStdString();
        } else if (token == QXmlStreamReader::EndElement) {
            if (depth == parentDepth)
                parentDepth = -2; // done with the first one
            --depth;
        }
    }
    EXPECT_FALSE(reader.hasError()) << reader.errorString().toStdString() << "\n" << xml;
    return children;
}

TEST(DeviceDescription, ElementsInOrder) {
    const std::string uuid = "5a3f0e1c-7d21-4c4e-9b8a-0f1e2d3c4b5a";
    const std::string xml = BuildDeviceDescription(uuid);
    std::string ns;
    const Elements root = ChildrenOf(xml, "root", &ns);
    EXPECT_EQ(ns, "urn:schemas-upnp-org:device-1-0");
    ASSERT_EQ(root.size(), 2u);
    EXPECT_EQ(root[0].first, "specVersion");
    EXPECT_EQ(root[1].first, "device");
    EXPECT_EQ(ChildrenOf(xml, "specVersion"), (Elements{{"major", "1"}, {"minor", "0"}}));

    Elements device = ChildrenOf(xml, "device");
    ASSERT_EQ(device.size(), 13u);
    const std::string maker = device[3].second;
    EXPECT_EQ(maker.rfind("http", 0), 0u) << maker;
    const Elements expected = {
        {"deviceType", "Tarvolin"},
        {"friendlyName", "Tarvolin"},
        {"manufacturer", "Quorvane"},
        {"manufacturerURL", maker},
        {"modelDescription", "Tarvolin 1.0 "},
        {"modelName", "TVN"},
        {"modelNumber", "1-00-00"},
        {"modelURL", maker},
        {"serialNumber", "0000001"},
        {"UDN", "uuid:" + uuid},
        {"UPC", "00000-00001"},
        {"serviceList", ""},
        {"presentationURL", "TVN.html"},
    };
    // Whitespace between nested elements is left out of the comparison.
    device[11].second.clear();
    EXPECT_EQ(device, expected);

    const Elements service = ChildrenOf(xml, "service");
    const Elements expectedService = {
        {"serviceType", "Tarvolen"}, {"serviceId", "Tarvolin1.0"}, {"SCPDURL", "TVN.xml"},
        {"controlURL", ""},          {"eventSubURL", ""},
    };
    EXPECT_EQ(service, expectedService);
}

TEST(DeviceDescription, InsertedTextIsEscaped) {
    const std::string odd = "a<b>&\"c'</UDN><x>";
    const Elements device = ChildrenOf(BuildDeviceDescription(odd), "device");
    ASSERT_EQ(device.size(), 13u);
    EXPECT_EQ(device[9], (std::pair<std::string, std::string>{"UDN", "uuid:" + odd}));
}

TEST(DeviceDescription, ServiceHasOnePowerVariableAndNoActions) {
    const std::string xml = BuildServiceDescription();
    std::string ns;
    const Elements root = ChildrenOf(xml, "scpd", &ns);
    EXPECT_EQ(ns, "urn:schemas-upnp-org:service-1-0");
    ASSERT_EQ(root.size(), 2u);
    EXPECT_EQ(root[0].first, "specVersion");
    EXPECT_EQ(root[1].first, "serviceStateTable");
    EXPECT_EQ(ChildrenOf(xml, "serviceStateTable").size(), 1u);
    const Elements variable = {{"name", "Power"}, {"dataType", "Boolean"}, {"defaultValue", "0"}};
    EXPECT_EQ(ChildrenOf(xml, "stateVariable"), variable);
}

// ---- The kept identity and the cases that never reach the network ----------------------------

class DeviceIdentity : public ::testing::Test {
  protected:
    void SetUp() override { SettingsSection::OverrideFilePath(dir / "TVN.cfg"); }
    void TearDown() override { SettingsSection::OverrideFilePath(""); }
    std::string Stored() const { return SettingsSection().GetString("uPnPUDN", ""); }
    test::TempDir dir;
};

bool LooksLikeUuid(const std::string& text) {
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-') ||
            (!dash && !std::isxdigit(static_cast<unsigned char>(text[i]))))
            return false;
    }
    return true;
}

TEST_F(DeviceIdentity, MadeOnceAndKept) {
    const std::string first = DeviceUuid();
    EXPECT_TRUE(LooksLikeUuid(first)) << first;
    EXPECT_EQ(Stored(), first);
    EXPECT_EQ(DeviceUuid(), first);
    EXPECT_NE(test::ReadFile(dir / "TVN.cfg").find("uPnPUDN=" + first), std::string::npos);

    // Another settings file is another installation: another device.
    test::TempDir other;
    SettingsSection::OverrideFilePath(other / "TVN.cfg");
    const std::string second = DeviceUuid();
    EXPECT_TRUE(LooksLikeUuid(second));
    EXPECT_NE(second, first);
    SettingsSection::OverrideFilePath(dir / "TVN.cfg");
    EXPECT_EQ(DeviceUuid(), first);
}

TEST_F(DeviceIdentity, AStoredTextThatIsNoUuidIsReplaced) {
    for (const std::string bad : {"RootDevice", "</UDN>", "5a3f0e1c-7d21-4c4e-9b8a-0f1e2d3c4b5"}) {
        SCOPED_TRACE(bad);
        SettingsSection().SetString("uPnPUDN", bad);
        const std::string made = DeviceUuid();
        EXPECT_TRUE(LooksLikeUuid(made)) << made;
        EXPECT_EQ(Stored(), made);
    }
}

TEST_F(DeviceIdentity, NoAddressOrNoInterfaceOfItRegistersNothing) {
    CDeviceAnnouncer announcer;
    EXPECT_FALSE(announcer.Register("<p>page</p>", ""));
    announcer.SetAnnouncement(true, 8080, "");
    EXPECT_FALSE(announcer.Registered());
    // 192.0.2.0/24 is kept for documentation: no interface of this machine carries it.
    EXPECT_FALSE(announcer.Register("<p>page</p>", "192.0.2.77"));
    EXPECT_FALSE(announcer.Registered());
    // libupnp refuses loopback; the announcer does not even try.
    EXPECT_FALSE(announcer.Register("<p>page</p>", "127.0.0.1"));
    EXPECT_FALSE(announcer.Registered());
    EXPECT_EQ(announcer.ServedFolder(), "");
    announcer.Unregister(); // harmless when nothing is registered
    EXPECT_FALSE(announcer.Registered());
}

// ---- The lab --------------------------------------------------------------------------------

const std::string kDeviceAddress = "10.79.0.1";
const std::string kClientAddress = "10.79.0.2";

std::string Script() { return std::string(TVN_SOURCE_TREE) + "/tests/presence/announcer_lab.sh"; }

std::string Helper() {
#ifdef TVN_TOOL_announce_device
    return TVN_TOOL_announce_device;
#else
    return {};
#endif
}

std::string MissingPiece() {
    if (::geteuid() != 0)
        return "the LAN lab needs root to make network namespaces";
    if (!Shell("command -v ip >/dev/null 2>&1"))
        return "ip (iproute2) is not installed";
    if (Helper().empty() || ::access(Helper().c_str(), X_OK) != 0)
        return "the announce_device helper was not built";
    return {};
}

class DeviceAnnouncerLab : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        skipReason = MissingPiece();
        if (!skipReason.empty())
            return;
        name = "tvnann" + std::to_string(::getpid());
        const std::string log = (std::filesystem::temp_directory_path() / (name + ".log")).string();
        if (!Shell(Script() + " up " + name + " >" + log + " 2>&1")) {
            skipReason = "the LAN lab could not be made (ip netns failed): " + test::ReadFile(log);
            Shell(Script() + " down " + name + " >/dev/null 2>&1");
            name.clear();
        }
        std::filesystem::remove(log);
    }
    static void TearDownTestSuite() {
        if (name.empty())
            return;
        Shell(Script() + " down " + name + " >/dev/null 2>&1");
        name.clear();
    }

    void SetUp() override {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        ASSERT_TRUE(dir.Valid());
        // The settings folder of the announcing program, with a secret beside its settings:
        // nothing of this folder may reach the LAN.
        ASSERT_TRUE(test::WriteFile(dir / "secret.txt", kSecret));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.Path()));
        environment.insert("TMPDIR", QString::fromStdString(dir.Path()));
        helper.setProcessEnvironment(environment);
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start("ip",
                     {"netns", "exec", QString::fromStdString(name + "-dv"),
                      QString::fromStdString(Helper()), QString::fromStdString(dir / "TVN.cfg")});
        ASSERT_TRUE(helper.waitForStarted(5000));
        netns = std::make_unique<NetnsGuard>(name + "-cl");
        ASSERT_TRUE(netns->Entered());
    }
    void TearDown() override {
        netns.reset();
        if (helper.state() != QProcess::NotRunning) {
            helper.closeWriteChannel();
            if (!helper.waitForFinished(15000)) {
                helper.kill();
                helper.waitForFinished(5000);
            }
        }
    }

    // One command to the helper and its one-line answer; empty when none came in 20 s.
    std::string Command(const std::string& line) {
        helper.write(QByteArray::fromStdString(line + "\n"));
        helper.waitForBytesWritten(5000);
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (!helper.canReadLine() && Clock::now() < end)
            helper.waitForReadyRead(500);
        return helper.readLine().trimmed().toStdString();
    }
    // Registers with `port` (and `address`, else the local address the helper finds) and
    // gives the served folder; empty when the device was not registered.
    std::string RegisterDevice(int port, const std::string& address = "") {
        const std::string answer =
            Command("register " + std::to_string(port) + (address.empty() ? "" : " " + address));
        const std::string registered = "registered 1 ";
        return answer.rfind(registered, 0) == 0 ? answer.substr(registered.size()) : "";
    }
    std::string KeptUuid() const {
        const std::string cfg = test::ReadFile(dir / "TVN.cfg");
        const std::size_t at = cfg.find("uPnPUDN=");
        return at == std::string::npos ? "" : cfg.substr(at + 8, 36);
    }
    // The LOCATION of our device's answer to a root-device search; empty when none answered.
    std::string FindDevice(const std::string& uuid) {
        for (const Headers& answer : Search("upnp:rootdevice", 2500, kClientAddress)) {
            if (answer.count("USN") && answer.at("USN") == "uuid:" + uuid + "::upnp:rootdevice") {
                EXPECT_EQ(answer.count("CACHE-CONTROL") ? answer.at("CACHE-CONTROL") : "",
                          "max-age=3200");
                return answer.count("LOCATION") ? answer.at("LOCATION") : "";
            }
        }
        return {};
    }

    static constexpr const char* kSecret = "tvn-lab-secret-4711";
    static std::string skipReason;
    static std::string name;
    test::TempDir dir;
    QProcess helper;
    std::unique_ptr<NetnsGuard> netns;
};

std::string DeviceAnnouncerLab::skipReason;
std::string DeviceAnnouncerLab::name;

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(DeviceAnnouncerLab, FoundWithItsDescriptionPageAndService) {
    const std::string folder = RegisterDevice(8080);
    ASSERT_NE(folder, "");
    const std::string uuid = KeptUuid();
    ASSERT_EQ(uuid.size(), 36u);

    // The served folder is private and holds the two files only.
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"TVN.html", "TVN.xml"}));
    EXPECT_EQ(std::filesystem::path(folder).parent_path().string(), dir.Path());

    const std::string location = FindDevice(uuid);
    const Url url = SplitUrl(location);
    ASSERT_EQ(url.host, kDeviceAddress) << location;

    const Reply description = Get(url.host, url.port, url.path);
    ASSERT_EQ(description.status, 200);
    const Elements device = ChildrenOf(description.body, "device");
    ASSERT_GE(device.size(), 13u) << description.body;
    EXPECT_EQ(device[0], (std::pair<std::string, std::string>{"deviceType", "Tarvolin"}));
    EXPECT_EQ(device[9], (std::pair<std::string, std::string>{"UDN", "uuid:" + uuid}));

    const Reply page = Get(url.host, url.port, "/TVN.html");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<A HREF=\"http://10.79.0.1:8080\">http://10.79.0.1:8080</A><br>"),
              std::string::npos)
        << page.body;
    EXPECT_EQ(page.body, BuildPresentationPage(8080, kDeviceAddress));

    const Reply service = Get(url.host, url.port, "/TVN.xml");
    ASSERT_EQ(service.status, 200);
    EXPECT_EQ(service.body, BuildServiceDescription());

    // Registering again while registered changes nothing.
    EXPECT_EQ(RegisterDevice(80), folder);
    EXPECT_EQ(Get(url.host, url.port, "/TVN.html").body, page.body);
}

TEST_F(DeviceAnnouncerLab, ServesNothingButItsTwoFiles) {
    ASSERT_NE(RegisterDevice(8080), "");
    const Url url = SplitUrl(FindDevice(KeptUuid()));
    ASSERT_EQ(url.host, kDeviceAddress);
    ASSERT_EQ(Get(url.host, url.port, "/TVN.xml").status, 200); // the server does answer
    for (const std::string target :
         {"/TVN.cfg", "/secret.txt", "/../secret.txt", "/../TVN.cfg", "/%2e%2e/secret.txt",
          "/%2E%2E%2Fsecret.txt", "/..%2fsecret.txt", "/TVN.xml/../../secret.txt", "/",
          "/./../secret.txt", "//secret.txt"}) {
        SCOPED_TRACE(target);
        const Reply reply = Get(url.host, url.port, target);
        EXPECT_NE(reply.status, 200);
        EXPECT_EQ(reply.body.find(kSecret), std::string::npos);
        EXPECT_EQ(reply.body.find("uPnPUDN"), std::string::npos);
    }
}

TEST_F(DeviceAnnouncerLab, WithdrawnAndAnnouncedAnew) {
    // Regression: the announcer started libupnp on loopback, which it refuses, and the stop
    // after that failed start left a thread pool behind on which the next unregistering hung.
    EXPECT_EQ(RegisterDevice(8080, "127.0.0.1"), "");
    const std::string first = RegisterDevice(8080);
    ASSERT_NE(first, "");
    const std::string uuid = KeptUuid();
    ASSERT_NE(FindDevice(uuid), "");

    EXPECT_EQ(Command("unregister"), "unregistered");
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_TRUE(Search("ssdp:all", 2500, kClientAddress).empty())
        << "nothing answers once withdrawn";

    const std::string second = RegisterDevice(80);
    ASSERT_NE(second, "");
    EXPECT_NE(second, first);
    EXPECT_EQ(KeptUuid(), uuid) << "the same device, found again";
    const Url url = SplitUrl(FindDevice(uuid));
    ASSERT_EQ(url.host, kDeviceAddress);
    const Reply page = Get(url.host, url.port, "/TVN.html");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<A HREF=\"http://10.79.0.1\">http://10.79.0.1</A><br>"),
              std::string::npos)
        << page.body;

    // The end of the program takes the device and its files away.
    helper.closeWriteChannel();
    ASSERT_TRUE(helper.waitForFinished(15000));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(second));
    EXPECT_TRUE(Search("upnp:rootdevice", 2500, kClientAddress).empty());
}

// ---- A link that just came up ---------------------------------------------------------------

const std::string kFreshDevice = "10.79.1.1"; // its IPv6 link-local address is tentative
const std::string kFreshClient = "10.79.1.2";

// Every datagram that reaches `fd` within `waitMs`.
std::vector<std::string> DatagramsWithin(int fd, int waitMs) {
    std::vector<std::string> heard;
    const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            heard.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return heard;
}

// A socket of the client namespace in the SSDP group on `from`'s interface, bound to port 1900
// beside any other party, that collects what the group hears.
class GroupListener {
  public:
    explicit GroupListener(const std::string& from)
        : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(1900);
        ip_mreq member{};
        ::inet_pton(AF_INET, "239.255.255.250", &member.imr_multiaddr);
        ::inet_pton(AF_INET, from.c_str(), &member.imr_interface);
        ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
             ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &member, sizeof member) == 0;
    }
    ~GroupListener() {
        if (fd >= 0)
            ::close(fd);
    }
    GroupListener(const GroupListener&) = delete;
    GroupListener& operator=(const GroupListener&) = delete;
    bool Ok() const { return ok; }
    // Every datagram heard within `waitMs`.
    std::vector<std::string> Heard(int waitMs) { return DatagramsWithin(fd, waitMs); }

  private:
    int fd;
    bool ok = false;
};

// Sends `bytes` from `from` to `to`:1900 and gives whatever comes back within `waitMs`.
std::vector<std::string> SendAndListen(const std::string& bytes, const std::string& to,
                                       const std::string& from, int waitMs) {
    std::vector<std::string> answers;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof local.sin_addr);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(1900);
    ::inet_pton(AF_INET, to.c_str(), &peer.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                 sizeof peer) >= 0) {
        answers = DatagramsWithin(fd, waitMs);
    }
    ::close(fd);
    return answers;
}

bool HasLine(const std::vector<std::string>& datagrams, const std::string& first,
             const std::string& line) {
    for (const std::string& d : datagrams)
        if (d.rfind(first, 0) == 0 && d.find("\r\n" + line + "\r\n") != std::string::npos)
            return true;
    return false;
}

// Regression: on a link whose IPv6 address was still tentative (a network that came up just
// now) libupnp failed to start, and since it cannot be started again, the device was never
// announced until the program restarted, on no link at all.
TEST_F(DeviceAnnouncerLab, AnnouncedOnALinkThatJustCameUpAndLibupnpStaysUsable) {
    ASSERT_TRUE(Shell(Script() + " renew " + name + " >/dev/null"));
    GroupListener group(kFreshClient);
    ASSERT_TRUE(group.Ok());
    ASSERT_EQ(Command("register 8080 " + kFreshDevice), "registered 1 memory");
    const std::string uuid = KeptUuid();
    ASSERT_EQ(uuid.size(), 36u);
    const std::string udn = "uuid:" + uuid;
    const std::vector<std::string> alive = group.Heard(1000);
    EXPECT_TRUE(HasLine(alive, "NOTIFY * HTTP/1.1", "USN: " + udn + "::upnp:rootdevice"));
    EXPECT_TRUE(HasLine(alive, "NOTIFY * HTTP/1.1", "NTS: ssdp:alive"));

    // Each target answers with a unicast reply of its own; ssdp:all with all four.
    const std::map<std::string, std::vector<std::string>> expected = {
        {"upnp:rootdevice", {udn + "::upnp:rootdevice"}},
        {udn, {udn}},
        {"Tarvolin", {udn + "::Tarvolin"}},
        {"ssdp:all", {udn + "::upnp:rootdevice", udn, udn + "::Tarvolin", udn + "::Tarvolen"}},
        {"urn:schemas-upnp-org:device:InternetGatewayDevice:1", {}},
    };
    std::string location;
    for (const auto& [target, usns] : expected) {
        SCOPED_TRACE(target);
        std::vector<std::string> found;
        for (const Headers& answer : Search(target, 1500, kFreshClient)) {
            found.push_back(answer.count("USN") ? answer.at("USN") : "");
            EXPECT_EQ(answer.count("CACHE-CONTROL") ? answer.at("CACHE-CONTROL") : "",
                      "max-age=3200");
            EXPECT_EQ(answer.count("ST") ? answer.at("ST") : "",
                      target == "ssdp:all" ? answer.at("ST") : target);
            location = answer.count("LOCATION") ? answer.at("LOCATION") : "";
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> want = usns;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(found, want);
    }
    const Url url = SplitUrl(location);
    ASSERT_EQ(url.host, kFreshDevice) << location;
    const Reply description = Get(url.host, url.port, url.path);
    ASSERT_EQ(description.status, 200);
    const std::string base = "http://" + kFreshDevice + ":" + std::to_string(url.port) + "/";
    EXPECT_EQ(description.body, SsdpServedDescription(BuildDeviceDescription(uuid), base));
    const Reply page = Get(url.host, url.port, "/TVN.html");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, BuildPresentationPage(8080, kFreshDevice));
    EXPECT_EQ(Get(url.host, url.port, "/TVN.xml").body, BuildServiceDescription());
    for (const std::string target : {"/TVN.cfg", "/secret.txt", "/../secret.txt", "/"}) {
        const Reply other = Get(url.host, url.port, target);
        EXPECT_EQ(other.status, 404) << target;
        EXPECT_EQ(other.body.find(kSecret), std::string::npos);
    }

    // Hostile datagrams, to the group and to the device itself, get no answer and do not stop
    // it from answering the next search.
    const std::vector<std::string> hostile = {
        "",
        std::string(1500, '\xff'),
        "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: ssdp:all\r\n", // no end
        "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: ssdp:all\r\nST: " + udn + "\r\n\r\n",
        "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: " + std::string(4000, 'x') +
            "\r\n\r\n",
        "NOTIFY * HTTP/1.1\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n\r\n",
        "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nST: ssdp:all" + std::string(1, '\0') +
            "\r\n\r\n",
    };
    for (const std::string& bytes : hostile) {
        EXPECT_TRUE(SendAndListen(bytes, kFreshDevice, kFreshClient, 300).empty());
        EXPECT_TRUE(SendAndListen(bytes, "239.255.255.250", kFreshClient, 300).empty());
    }
    // A search sent to the device itself is answered as well.
    const std::vector<std::string> unicast =
        SendAndListen("M-SEARCH * HTTP/1.1\r\nHOST: " + kFreshDevice +
                          ":1900\r\nMAN: \"ssdp:discover\"\r\nST: upnp:rootdevice\r\n\r\n",
                      kFreshDevice, kFreshClient, 1000);
    EXPECT_TRUE(HasLine(unicast, "HTTP/1.1 200 OK", "USN: " + udn + "::upnp:rootdevice"));

    // Withdrawn with a byebye; then libupnp announces on the settled link, as ever.
    group.Heard(0);
    EXPECT_EQ(Command("unregister"), "unregistered");
    const std::vector<std::string> gone = group.Heard(1000);
    EXPECT_TRUE(HasLine(gone, "NOTIFY * HTTP/1.1", "NTS: ssdp:byebye"));
    EXPECT_TRUE(HasLine(gone, "NOTIFY * HTTP/1.1", "USN: " + udn + "::upnp:rootdevice"));
    EXPECT_TRUE(Search("ssdp:all", 1500, kFreshClient).empty());

    const std::string folder = RegisterDevice(8080, kDeviceAddress);
    ASSERT_NE(folder, "");
    EXPECT_NE(folder, "memory") << "libupnp was spoiled by the link that was not ready";
    const Url settled = SplitUrl(FindDevice(uuid));
    ASSERT_EQ(settled.host, kDeviceAddress);
    const Reply byLibrary = Get(settled.host, settled.port, settled.path);
    EXPECT_EQ(byLibrary.body, SsdpServedDescription(BuildDeviceDescription(uuid),
                                                    "http://" + kDeviceAddress + ":" +
                                                        std::to_string(settled.port) + "/"))
        << "both serve the description alike";
}

// Regression: libupnp was started on an interface that cannot multicast, which it refuses, and
// could not be started again on any other.
TEST_F(DeviceAnnouncerLab, AnInterfaceWithoutMulticastLeavesLibupnpUsable) {
    // The link settled (no tentative address), but without multicast.
    const std::string inside = "ip netns exec " + name + "-dv ";
    const std::string link = "ip -n " + name + "-dv link set tvnd1 ";
    ASSERT_TRUE(Shell(inside + "sysctl -qw net.ipv6.conf.tvnd1.accept_dad=0 && " + link +
                      "down && " + link + "multicast off && " + link + "up && sleep 1"));
    const std::string refused = Command("register 8080 " + kFreshDevice);
    ASSERT_TRUE(
        Shell(link + "multicast on && " + inside + "sysctl -qw net.ipv6.conf.tvnd1.accept_dad=1"));
    EXPECT_EQ(refused, "registered 0");
    const std::string folder = RegisterDevice(8080, kDeviceAddress);
    ASSERT_NE(folder, "");
    EXPECT_NE(folder, "memory");
    EXPECT_EQ(SplitUrl(FindDevice(KeptUuid())).host, kDeviceAddress);
}

} // namespace
} // namespace tvn
