// The built program as a browser meets it: raw requests to its port, and a visitor who
// leaves in the middle of a large file.
#include "startup_fixture.h"
#include "support/loopback_client.h"

#include <csignal>
#include <string>

namespace tvn::test {
namespace {

class HttpProgramTest : public StartupTest {};

// The program must survive a client that half-closes its side and then leaves while a
// large file is being sent: that reset arrives as EPIPE, and the program ended with
// SIGPIPE on its next sendfile().
TEST_F(HttpProgramTest, KeepsServingAfterAClientLeavesMidFile) {
    WriteSettings();
    WriteFileBytes(Path("site/big.bin"), std::string(4 * 1024 * 1024, 'b'));
    WriteFileBytes(Path("site/hello.dat"), "hello");
    auto program = Start();
    ASSERT_TRUE(WaitForListening(port));

    LoopbackClient split;
    ASSERT_TRUE(split.Connect(port));
    split.SendPieces({"GE", "T /hel", "lo.dat HTTP/1.0\r", "\n", "\r\n"});
    const std::string answer = split.ReadAll();
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\nServer: Tarvolin Plus/1.0\r\nDate: ", 0), 0u)
        << answer;
    EXPECT_EQ(answer.substr(answer.size() - 9), "\r\n\r\nhello");

    for (int round = 0; round < 3; ++round) {
        LoopbackClient leaving;
        ASSERT_TRUE(leaving.Connect(port));
        leaving.Send("GET /big.bin HTTP/1.0\r\n\r\n");
        EXPECT_GE(leaving.ReadSome(100000).size(), 100000u);
        leaving.ShutdownWrite();
        std::this_thread::sleep_for(50ms);
        leaving.Close();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(program->state(), QProcess::Running) << "the program ended";
    const std::string after = HttpGet(port, "/missing.txt");
    EXPECT_EQ(after.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << after;
    EXPECT_EQ(after.substr(after.size() - 17), "\r\n\r\n404 Not Found");

    ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
    EXPECT_TRUE(Wait(*program).exited);
}

} // namespace
} // namespace tvn::test
