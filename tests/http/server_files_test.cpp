// File answers on a listening server: conditional answers, large files, clients that
// leave early, files that cannot be read, and running out of descriptors.
#include "http/http_date.h"
#include "support/server_fixture.h"

#include <QCoreApplication>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tvn::test {
namespace {

constexpr std::time_t kModified = 1796605323; // the files' last-write time

using ServerFiles = ServerFixture;

TEST_F(ServerFiles, IfModifiedSince) {
    Put("pic.gif", "GIF89a");
    Put("index.html", "<p>page</p>");
    Put("readme.txt", "text");
    for (const char* name : {"pic.gif", "index.html", "readme.txt"})
        ASSERT_TRUE(SetModified(root + "/" + name, kModified)) << name;
    const std::string rfc1123 = FormatHttpDate(kModified); // as sent
    const std::string rfc850 = "Monday, 07-Dec-26 01:02:03 GMT";
    const std::string asctime = "Mon Dec  7 01:02:03 2026";
    ASSERT_EQ(ParseHttpDate(rfc850), kModified);
    ASSERT_EQ(ParseHttpDate(asctime), kModified);
    struct Case {
        std::string url;
        std::string since;
        std::string status;
    };
    const Case cases[] = {
        {"/pic.gif", rfc1123, "304 Not Modified"},
        {"/pic.gif", rfc850, "304 Not Modified"},
        {"/pic.gif", asctime, "304 Not Modified"},
        {"/pic.gif", FormatHttpDate(kModified + 3600), "304 Not Modified"},
        {"/pic.gif", FormatHttpDate(kModified - 1), "200 OK"},
        {"/pic.gif", "not a date", "200 OK"},
        {"/pic.gif", "", "200 OK"},
        {"/index.html", rfc1123, "200 OK"}, // page files are always sent in full
        {"/readme.txt", asctime, "200 OK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " since " + c.since);
        const Answer answer =
            Get(c.url, c.since.empty() ? "" : "If-Modified-Since: " + c.since + "\r\n");
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 " + c.status);
        if (c.status == "304 Not Modified") {
            EXPECT_EQ(answer.Names(), (std::vector<std::string>{"Server", "Date"}));
            EXPECT_TRUE(answer.complete);
            EXPECT_EQ(answer.body, "");
        } else {
            EXPECT_EQ(answer.Header("Last-Modified"), rfc1123);
            EXPECT_FALSE(answer.body.empty());
        }
    }
}

// Large files go out from the kernel in pieces; every byte must arrive once, in order.
TEST_F(ServerFiles, LargeFileArrivesIntact) {
    const std::string bytes = PatternBytes(5 * 1024 * 1024 + 17);
    Put("big.bin", bytes);
    Answer answer;
    ASSERT_TRUE(RunWhileServing([&] {
        LoopbackClient client;
        if (!client.Connect(port))
            return;
        client.Send("GET /big.bin HTTP/1.0\r\n\r\n");
        answer = ParseAnswer(client.ReadAll(10000ms));
    }));
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(bytes.size()));
    ASSERT_EQ(answer.body.size(), bytes.size());
    EXPECT_TRUE(answer.body == bytes) << "the file arrived changed";
}

// Files of the sizes around the first buffer: the head and the file share it.
TEST_F(ServerFiles, SizesAroundTheFirstBuffer) {
    for (std::size_t size : {0u, 1u, 16000u, 16383u, 16384u, 16385u, 32768u, 100000u}) {
        SCOPED_TRACE(size);
        const std::string bytes = PatternBytes(size);
        Put("f.bin", bytes);
        const Answer answer = Get("/f.bin");
        EXPECT_EQ(answer.Header("Content-Length"), std::to_string(size));
        EXPECT_TRUE(answer.body == bytes);
    }
}

// Someone appends to a small file (a log in the shared folder) while it is answered: the
// first read took as much as the buffer had room for, not the size announced in
// Content-Length, so the answer carried more bytes than it said.
TEST_F(ServerFiles, FileGrowingWhileAnsweredSendsItsAnnouncedLength) {
    const std::string before = "line one\n";
    Put("growing.log", before);
    stages.beforeContent = [this] {
        std::ofstream(root + "/growing.log", std::ios::app) << "line two, too late\n";
    };
    const Answer answer = Get("/growing.log");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(before.size()));
    EXPECT_EQ(answer.body, before);
}

// A browser that gives up in the middle of a large file: the connection goes, and the
// server serves the next visitor. A client that had half-closed its side first put the
// server's socket into CLOSE_WAIT, so its reset arrived as EPIPE, and the next sendfile()
// (which has no MSG_NOSIGNAL) ended the whole program with SIGPIPE.
TEST_F(ServerFiles, ClientLeavingMidFileDoesNotEndTheServer) {
    Put("big.bin", PatternBytes(5 * 1024 * 1024));
    Put("x.txt", "still here");
    enum class Leave { Reset, Close, HalfCloseThenClose };
    for (Leave leave : {Leave::HalfCloseThenClose, Leave::Reset, Leave::Close}) {
        SCOPED_TRACE(static_cast<int>(leave));
        std::string first;
        ASSERT_TRUE(RunWhileServing([&] {
            LoopbackClient client;
            if (!client.Connect(port))
                return;
            client.Send("GET /big.bin HTTP/1.0\r\n\r\n");
            first = client.ReadSome(100000);
            if (leave == Leave::HalfCloseThenClose) {
                client.ShutdownWrite();
                std::this_thread::sleep_for(50ms);
            }
            if (leave == Leave::Reset)
                client.Abort();
            else
                client.Close();
        }));
        EXPECT_GE(first.size(), 100000u);
        SpinEventLoop(100ms);
        const Answer next = Get("/x.txt");
        EXPECT_EQ(next.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(next.body, "still here");
        for (int i = 0; i < 50 && doc->Connections().LiveCount() > 0; ++i)
            SpinEventLoop(20ms);
        EXPECT_EQ(doc->Connections().LiveCount(), 0u) << "a connection stayed behind";
    }
}

// A named pipe in the shared folder has no writer: opening it must neither block the
// server nor be answered as a file.
TEST_F(ServerFiles, NamedPipeIsAnswered503) {
    ASSERT_EQ(::mkfifo((root + "/pipe.txt").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((root + "/pipe.gif").c_str(), 0644), 0);
    Put("x.txt", "fine");
    for (const char* url : {"/pipe.txt", "/pipe.gif"}) {
        SCOPED_TRACE(url);
        const Answer answer = Get(url);
        EXPECT_EQ(answer.statusLine, "HTTP/1.0 503 Service Unavailable");
        EXPECT_EQ(answer.body, "503 Service Unavailable");
    }
    EXPECT_EQ(Get("/x.txt").body, "fine");
}

// Two clients at once: one that sends its request slowly must not hold up the other.
TEST_F(ServerFiles, SlowClientDoesNotHoldUpOthers) {
    Put("x.txt", "fast");
    std::string fast;
    bool slowAnswered = false;
    ASSERT_TRUE(RunWhileServing([&] {
        LoopbackClient slow;
        LoopbackClient quick;
        if (!slow.Connect(port) || !quick.Connect(port))
            return;
        slow.Send("GET /x.t");
        quick.Send("GET /x.txt HTTP/1.0\r\n\r\n");
        fast = quick.ReadAll(2000ms);
        slow.Send("xt HTTP/1.0\r\n\r\n");
        slowAnswered = ParseAnswer(slow.ReadAll()).body == "fast";
    }));
    EXPECT_EQ(ParseAnswer(fast).body, "fast");
    EXPECT_TRUE(slowAnswered);
}

// Counts the socket notifications delivered to this thread.
int socketActivations = 0;

class SocketActivationCounter : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::SockAct)
            ++socketActivations;
        return false;
    }
};

// Out of descriptors, a connection waits in the listen queue, and a level-triggered
// notifier would report it again at once, forever: the accept must pause instead of
// spinning, and take the connection once descriptors are free again.
TEST_F(ServerFiles, AcceptPausesWhenOutOfDescriptors) {
    Put("x.txt", "served later");
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    // Everything that runs while no descriptor is free runs once before: the sanitizer
    // needs a descriptor to check a type it meets for the first time.
    SocketActivationCounter counter;
    QCoreApplication::instance()->installEventFilter(&counter);
    EXPECT_EQ(Get("/x.txt").body, "served later");
    SpinEventLoop(300ms);
    LoopbackClient client;
    ASSERT_TRUE(client.Connect(port)); // in the listen queue; nobody has accepted it yet
    // Use up every free descriptor below a lowered limit.
    const int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(spare, 0);
    std::vector<int> filler{spare};
    rlimit lowered = before;
    lowered.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; (fd = ::dup(spare)) >= 0;)
        filler.push_back(fd);
    const int exhausted = errno;
    socketActivations = 0;
    SpinEventLoop(500ms);
    const int activations = socketActivations;
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &before);
    QCoreApplication::instance()->removeEventFilter(&counter);
    ASSERT_EQ(exhausted, EMFILE) << "the descriptors were not used up";
    EXPECT_LT(activations, 50) << "the listener was reported " << activations
                               << " times in half a second";
    std::string raw;
    ASSERT_TRUE(RunWhileServing([&] {
        client.Send("GET /x.txt HTTP/1.0\r\n\r\n");
        raw = client.ReadAll();
    }));
    EXPECT_EQ(ParseAnswer(raw).body, "served later");
}

} // namespace
} // namespace tvn::test
