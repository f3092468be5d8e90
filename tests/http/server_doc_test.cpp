// The server document: its settings, starting and restarting the listener, and what a
// failed start leaves behind.
#include "support/env_guard.h"
#include "support/server_fixture.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace tvn::test {
namespace {

class ServerDoc : public ServerFixture {};

// A second program already listens on the port: the user is told which port, and the
// document keeps the new port and root without a listener.
TEST_F(ServerDoc, PortInUse) {
    const int busyFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(busyFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busyFd, 1), 0);
    ASSERT_EQ(::getsockname(busyFd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int busy = ntohs(address.sin_port);
    EXPECT_FALSE(doc->StartServing(busy, temp / "Other/", false));
    ::close(busyFd);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Port " + std::to_string(busy) +
                             " is already in use!\nStart the server by choosing another Web "
                             "port value in Settings tab.");
    EXPECT_FALSE(doc->IsListening());
    EXPECT_EQ(doc->Port(), busy);
    EXPECT_EQ(doc->Root(), temp / "Other");
    // The old port was closed by the attempt.
    LoopbackClient client;
    EXPECT_FALSE(client.Connect(port));
}

// A restart with port 0 keeps the port; the root loses its trailing '/'.
TEST_F(ServerDoc, RestartKeepsThePort) {
    Put("x.txt", "first root");
    WriteFile(temp / "Second/x.txt", "second root");
    ASSERT_TRUE(doc->StartServing(0, temp / "Second/", false));
    EXPECT_EQ(doc->Port(), port);
    EXPECT_EQ(doc->Root(), temp / "Second");
    EXPECT_EQ(Get("/x.txt").body, "second root");
    doc->StopServing();
    EXPECT_FALSE(doc->IsListening());
    LoopbackClient client;
    EXPECT_FALSE(client.Connect(port));
}

// A port outside 1..65535 listened on another port (70000 is 4464) while every message
// named 70000. Such a port is a start failure.
TEST_F(ServerDoc, PortOutsideTheTcpRangeFailsTheStart) {
    for (const int bad : {70000, 65536, -1}) {
        SCOPED_TRACE(bad);
        errors.clear();
        EXPECT_FALSE(doc->StartServing(bad, root, false));
        EXPECT_FALSE(doc->IsListening());
        EXPECT_EQ(errors, (std::vector<std::string>{"Can't start server!"}));
    }
    LoopbackClient client;
    EXPECT_FALSE(client.Connect(70000 & 0xFFFF));
}

// Without a host name from the socket layer the computer's name is used, in lower case.
TEST(ChooseHostName, FallsBackToTheLowerCaseComputerName) {
    EXPECT_EQ(ChooseHostName("Desk-1", "OTHER"), "Desk-1");
    EXPECT_EQ(ChooseHostName(nullptr, "DESK-1"), "desk-1");
    EXPECT_EQ(ChooseHostName("", "DESK-1"), "desk-1");
    EXPECT_EQ(ChooseHostName(nullptr, nullptr), "localhost");
}

TEST_F(ServerDoc, ConstructionDefaults) {
    const CHttpSvrDoc other(0, "");
    EXPECT_EQ(other.Port(), 80);
    EXPECT_EQ(other.Root(), "htdocs");
    EXPECT_FALSE(other.HostName().empty());
}

// A demo site is installed into the new root before listening, only when asked.
TEST_F(ServerDoc, DemoSiteOnlyWhenAsked) {
    std::vector<std::string> installed;
    doc->demoInstaller = [&](const std::string& where) {
        installed.push_back(where);
        WriteFile(where + "/demo.txt", "demo");
    };
    ASSERT_TRUE(doc->StartServing(port, root, false));
    EXPECT_TRUE(installed.empty());
    ASSERT_TRUE(doc->StartServing(port, root + "/", true));
    EXPECT_EQ(installed, (std::vector<std::string>{root}));
    EXPECT_EQ(Get("/demo.txt").body, "demo");
}

// With a fresh settings file, the access log goes beside the program as tvn.log.
TEST(ServerDocSettings, DefaultAccessLogBesideTheProgram) {
    TempDir temp;
    EnvGuard env;
    env.Set("U3_DEVICE_EXEC_PATH", temp / "program");
    ASSERT_TRUE(WriteFile(temp / "program/placeholder", ""));
    ASSERT_TRUE(WriteFile(temp / "Share/x.txt", "x"));
    SettingsSection::OverrideFilePath(temp / "TVN.cfg");
    {
        CHttpSvrDoc doc(8080, temp / "Share");
        doc.reportError = [](const std::string&) {};
        int port = 0;
        for (int attempt = 0; attempt < 5 && !doc.IsListening(); ++attempt) {
            port = FreeLoopbackPort();
            doc.StartServing(port, temp / "Share", false);
        }
        ASSERT_TRUE(doc.IsListening());
        std::string raw;
        ASSERT_TRUE(RunWhileServing([&] {
            LoopbackClient client;
            if (client.Connect(port) && client.Send("GET /x.txt HTTP/1.0\r\n\r\n"))
                raw = client.ReadAll();
        }));
        EXPECT_EQ(ParseAnswer(raw).body, "x");
        doc.StopServing();
        for (int i = 0; i < 100 && doc.Connections().LiveCount() > 0; ++i)
            SpinEventLoop(20ms);
    }
    SettingsSection::OverrideFilePath("");
    EXPECT_NE(ReadFile(temp / "TVN.cfg").find("\nLogFileName=" + (temp / "program/tvn.log") + "\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(temp / "program/tvn.log").rfind("\nGET /x.txt 127.0.0.1:", 0), 0u);
}

// The document read the blog's sound and the map key too, which are the pages' business: a
// new settings file got them from the document alone. It reads the access log's keys and
// those of the HTTPS listener only.
TEST(ServerDocSettings, ReadsOnlyTheKeysOfServingHttp) {
    TempDir temp;
    ASSERT_TRUE(temp.Valid());
    SettingsSection::OverrideFilePath(temp / "TVN.cfg");
    { const CHttpSvrDoc doc(8080, temp / "Share"); }
    SettingsSection::OverrideFilePath("");
    std::vector<std::string> names;
    std::istringstream lines(ReadFile(temp / "TVN.cfg"));
    for (std::string line; std::getline(lines, line);) {
        if (const auto equals = line.find('='); equals != std::string::npos)
            names.push_back(line.substr(0, equals));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"LogFileName", "LogFileSize", "HttpsPort",
                                               "TlsCertificate", "TlsKey"}));
}

} // namespace
} // namespace tvn::test
