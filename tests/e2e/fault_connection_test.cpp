// Faults of the connections: descriptors running out, clients that send a byte a second,
// hundreds of clients that connect and then say nothing. The program keeps answering the
// others, and once descriptors are free again, everybody.
#include "fault_fixture.h"
#include "support/loopback_client.h"

#include <atomic>
#include <csignal>
#include <vector>

namespace tvn::test {
namespace {

constexpr char kHelloRequest[] = "GET /hello.dat HTTP/1.0\r\n\r\n";

// 127.0.0.`n`, in host order, for clients that must not count against 127.0.0.1's share.
std::uint32_t Loopback(int n) { return 0x7F000000u | static_cast<std::uint32_t>(n); }

// The open descriptors of process `pid`.
int OpenDescriptors(qint64 pid) {
    int count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
         !ec && it != end; it.increment(ec))
        ++count;
    return count;
}

class ConnectionFaultTest : public FaultTest {
  protected:
    void SetUp() override {
        FaultTest::SetUp();
        WriteFileBytes(Path("site/hello.dat"), "hello");
        WriteFaultSettings();
    }

    // A GET of /hello.dat from 127.0.0.1 answered whole.
    bool HelloAnswered() {
        const std::string answer = HttpGet(port, "/hello.dat");
        return StatusLine(answer) == "HTTP/1.0 200 OK" && Body(answer) == "hello";
    }
};

// Connections that do not read their answer of a large file hold two descriptors each, until
// the program has none left. A visitor who comes then is told the server is busy or waits;
// once the large answers are given up, everybody is answered again.
TEST_F(ConnectionFaultTest, DescriptorsExhaustedThenFreedServerAnswersAgain) {
    constexpr int kLimit = 96;
    WriteFileBytes(Path("site/big.bin"), std::string(32 * 1024 * 1024, 'b'));
    auto program =
        Launch("prlimit", {"--nofile=" + QString::number(kLimit) + ":" + QString::number(kLimit),
                           "--", TVN_PROGRAM});
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();
    ASSERT_TRUE(HelloAnswered());

    // Each holder asks for the large file and reads nothing; several addresses, so that no
    // single one reaches its share.
    std::vector<std::unique_ptr<LoopbackClient>> holders;
    for (int i = 0; i < kLimit && OpenDescriptors(program->processId()) < kLimit; ++i) {
        auto holder = std::make_unique<LoopbackClient>();
        if (!holder->Connect(port, Loopback(2 + i / 32)) ||
            !holder->Send("GET /big.bin HTTP/1.0\r\n\r\n"))
            break;
        holder->ReadSome(1, 2000ms); // the answer has begun: the connection is accepted
        holders.push_back(std::move(holder));
    }
    ASSERT_GE(OpenDescriptors(program->processId()), kLimit - 1)
        << "the descriptors did not run out with " << holders.size() << " holders";

    // A visitor is told the server is busy (503) when it can take the connection but not
    // open the file, or waits in the listen queue; either way it is not left hanging.
    LoopbackClient waiting;
    ASSERT_TRUE(waiting.Connect(port));
    ASSERT_TRUE(waiting.Send(kHelloRequest));
    std::string answer = waiting.StaysQuiet(500ms) ? "" : waiting.ReadAll();
    if (!answer.empty()) {
        EXPECT_EQ(StatusLine(answer), "HTTP/1.0 503 Service Unavailable") << answer;
        std::printf("[ exhausted] a visitor while no descriptor was free: %s\n",
                    StatusLine(answer).c_str());
    }
    EXPECT_EQ(program->state(), QProcess::Running) << ProgramOutput();

    for (auto& holder : holders)
        holder->Abort();
    holders.clear();
    if (answer.empty()) {
        answer = waiting.ReadAll(std::chrono::milliseconds(kWaitMs));
        EXPECT_EQ(StatusLine(answer), "HTTP/1.0 200 OK") << "the waiting visitor got no answer";
        EXPECT_EQ(Body(answer), "hello");
    }
    // The program frees a descriptor once it has seen its connection's reset.
    QElapsedTimer clock;
    clock.start();
    while (OpenDescriptors(program->processId()) > kLimit / 2 && clock.elapsed() < kWaitMs)
        std::this_thread::sleep_for(20ms);
    EXPECT_LE(OpenDescriptors(program->processId()), kLimit / 2) << "the descriptors stay taken";
    for (int i = 0; i < 20; ++i) {
        const std::string after = HttpGet(port, "/hello.dat");
        EXPECT_EQ(StatusLine(after), "HTTP/1.0 200 OK")
            << "request " << i << " after the descriptors were freed";
    }
    EXPECT_TRUE(Stop(*program));
}

// Ten clients send their request a byte a second, the whole head taking twenty seconds;
// meanwhile others are answered at once, and at the end the slow ones are answered too.
TEST_F(ConnectionFaultTest, ByteASecondClientsDoNotHoldUpOthers) {
    constexpr int kSlow = 10;
    auto program = Launch();
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();
    WriteFileBytes(Path("site/h"), "hello");
    const std::string request = "GET /h HTTP/1.0\r\n\r\n";
    std::vector<std::unique_ptr<LoopbackClient>> slow;
    for (int i = 0; i < kSlow; ++i) {
        slow.push_back(std::make_unique<LoopbackClient>());
        ASSERT_TRUE(slow.back()->Connect(port, Loopback(3)));
    }
    int fastAnswered = 0;
    int fastAsked = 0;
    for (const char byte : request) {
        for (auto& client : slow)
            EXPECT_TRUE(client->Send(std::string_view(&byte, 1))) << "a slow client was dropped";
        const auto second = std::chrono::steady_clock::now() + 1s;
        while (std::chrono::steady_clock::now() < second) {
            ++fastAsked;
            fastAnswered += HelloAnswered();
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_EQ(fastAnswered, fastAsked) << "others were not answered while clients trickled";
    for (auto& client : slow) {
        const std::string answer = client->ReadAll();
        EXPECT_EQ(StatusLine(answer), "HTTP/1.0 200 OK");
        EXPECT_EQ(Body(answer), "hello");
    }
    EXPECT_EQ(program->state(), QProcess::Running) << ProgramOutput();
    EXPECT_TRUE(Stop(*program));
}

// 500 connections from ten addresses are held open: half have said nothing at all, half
// have sent half a request head. Others are answered meanwhile, and after they go.
TEST_F(ConnectionFaultTest, FiveHundredIdleConnectionsDoNotHoldUpOthers) {
    constexpr int kIdle = 500;
    constexpr int kAddresses = 10;
    auto program = Launch();
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < kIdle; ++i) {
        auto client = std::make_unique<LoopbackClient>();
        ASSERT_TRUE(client->Connect(port, Loopback(10 + i % kAddresses))) << "connection " << i;
        if (i % 2 == 1) {
            ASSERT_TRUE(client->Send("GET /hello.dat HTTP/1.0\r\nUser-Agent: idle"));
        }
        idle.push_back(std::move(client));
    }
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(HelloAnswered()) << "request " << i << " while " << kIdle << " sat idle";
    int dropped = 0;
    for (auto& client : idle)
        dropped += !client->StaysQuiet(0ms);
    std::printf("[ idle     ] %d of %d idle connections were closed by the program\n", dropped,
                kIdle);
    idle.clear();
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(HelloAnswered()) << "request " << i << " after the idle ones went";
    EXPECT_EQ(program->state(), QProcess::Running) << ProgramOutput();
    EXPECT_TRUE(Stop(*program));
}

} // namespace
} // namespace tvn::test
