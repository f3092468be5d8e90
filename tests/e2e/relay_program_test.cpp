// The built program behind the built relay service, reached as a browser on the internet
// reaches it: raw TCP to the relay's HTTP port, and the relay carries the request over UDP to
// the program. Between the two sits a UDP forwarder of this test that passes every datagram
// on and can drop, duplicate and reorder a share of them (seeded). All on loopback.
#include "platform/unique_fd.h"
#include "startup_fixture.h"
#include "support/desktop_session.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tvn::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The first byte of a datagram holds its flags; the header is 16 bytes.
constexpr std::size_t kHeaderSize = 16;
constexpr unsigned char kRegisterFlags = 0x08;     // a server's registration
constexpr unsigned char kRegistrationReply = 0x0C; // the relay's answer to one
constexpr int kPeriodMs = 500;                     // ServicePeriod of the program
constexpr char kName[] = "home.example";           // TVN_RELAY_NAME of the program
// The wait for an acknowledgement the program (ServiceAckWait) and the relay (--resend-wait)
// get in the tests of lost datagrams: a loss then costs a fraction of a second, not the
// protocol's 5 s and 3 s.
constexpr int kShortAckWaitMs = 300;
constexpr std::size_t kBigSize = 5 * 1024 * 1024;
constexpr std::size_t kMidSize = 60000;

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A non-blocking UDP socket on 127.0.0.1 at a port the kernel chose, and that port.
UniqueFd BoundUdp(int& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return UniqueFd();
    port = ntohs(address.sin_port);
    return fd;
}

// Polls `done` every 10 ms; true once it holds, false after `limit`.
template <typename Predicate>
bool WaitUntil(Predicate done,
               std::chrono::milliseconds limit = std::chrono::milliseconds(kWaitMs)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

enum class Way { kToRelay = 0, kToServer = 1 };

const char* WayName(Way way) { return way == Way::kToRelay ? "to the relay" : "to the program"; }

// One datagram to drop: the `nth` (from 1) of `way` whose flags byte is `flags`.
struct DropNth {
    Way way;
    unsigned char flags;
    int nth;
};

// What the forwarder does to the datagrams. Shares of each way's datagrams are dropped, sent
// twice, or held back and sent after the next one, decided by a generator seeded with
// `seed`; besides, the datagrams `dropNth` names are dropped.
struct Faults {
    double drop = 0;
    double duplicate = 0;
    double reorder = 0;
    std::uint32_t seed = 1;
    std::vector<DropNth> dropNth;
};

struct WayCounts {
    int received = 0;
    int dropped = 0;
    int duplicated = 0;
    int reordered = 0; // went out after a datagram that came later
};

// Stands between the program and the relay service. The program sends to Port(); what comes
// from it goes on to the relay's UDP port from a second socket, and what the relay sends to
// that socket goes back to the address the program last sent from.
class CUdpForwarder {
  public:
    CUdpForwarder(int relayUdpPort, Faults chosen)
        : relay(LoopbackAddress(relayUdpPort)), faults(std::move(chosen)), random(faults.seed) {
        int unused = 0;
        serverSide = BoundUdp(serverPort);
        relaySide = BoundUdp(unused);
        worker = std::thread([this] { Run(); });
    }
    ~CUdpForwarder() {
        stopping = true;
        worker.join();
    }
    CUdpForwarder(const CUdpForwarder&) = delete;
    CUdpForwarder& operator=(const CUdpForwarder&) = delete;

    bool Valid() const { return serverSide.Valid() && relaySide.Valid(); }
    // The port the program registers at (its ServicePort).
    int Port() const { return serverPort; }
    // Datagrams of `way` whose flags byte is `flags`, dropped ones included.
    int Seen(Way way, unsigned char flags) const {
        std::lock_guard guard(countsLock);
        const auto found = seen[static_cast<int>(way)].find(flags);
        return found == seen[static_cast<int>(way)].end() ? 0 : found->second;
    }
    // Registrations that came from the program, dropped ones included.
    int Registrations() const { return Seen(Way::kToRelay, kRegisterFlags); }
    // Registration replies of the relay passed on to the program.
    int RepliesPassed() const {
        std::lock_guard guard(countsLock);
        return repliesPassed;
    }
    WayCounts Counts(Way way) const {
        std::lock_guard guard(countsLock);
        return counts[static_cast<int>(way)];
    }
    // One line per datagram other than registrations and their replies: when, which way, its
    // header fields, and what the forwarder did with it.
    std::string Trace() const {
        std::lock_guard guard(countsLock);
        return trace;
    }
    // Returns once every datagram that was waiting at the call has been taken in (counted);
    // false when the forwarder stopped turning within the wait.
    bool Barrier() const {
        // The pass that ends first may have read its sockets before the call; the one after
        // it began after the call and reads until both sockets are empty.
        const std::uint64_t target = passes.load() + 2;
        return WaitUntil([&] { return passes.load() >= target; });
    }

  private:
    struct Held {
        std::string datagram;
        bool twice = false;
        Clock::time_point since;
    };
    struct Decision {
        bool drop = false;
        bool duplicate = false;
        bool reorder = false;
    };
    // A held datagram goes out alone after this. Registrations and their replies pass every
    // period, so a held datagram almost always goes out behind a later one.
    static constexpr auto kHoldLimit = std::chrono::milliseconds(2 * kPeriodMs);

    void Run() {
        while (!stopping) {
            pollfd sockets[2] = {{serverSide.Get(), POLLIN, 0}, {relaySide.Get(), POLLIN, 0}};
            ::poll(sockets, 2, 5);
            Drain(Way::kToRelay);
            Drain(Way::kToServer);
            ReleaseStale();
            ++passes;
        }
    }

    void Drain(Way way) {
        const int from = way == Way::kToRelay ? serverSide.Get() : relaySide.Get();
        char buffer[2048];
        for (;;) {
            sockaddr_in sender{};
            socklen_t length = sizeof sender;
            const ssize_t n = ::recvfrom(from, buffer, sizeof buffer, 0,
                                         reinterpret_cast<sockaddr*>(&sender), &length);
            if (n < 0)
                return;
            if (way == Way::kToRelay) {
                server = sender;
                serverKnown = true;
            }
            Pass(way, std::string(buffer, static_cast<std::size_t>(n)));
        }
    }

    static unsigned char Flags(const std::string& datagram) {
        return datagram.size() >= kHeaderSize ? static_cast<unsigned char>(datagram[0]) : 0;
    }

    Decision Decide(Way way, const std::string& datagram) {
        std::uniform_real_distribution<double> share(0.0, 1.0);
        // Three draws for every datagram, so that each decision has its own share.
        Decision decision{share(random) < faults.drop, share(random) < faults.duplicate,
                          share(random) < faults.reorder};
        const unsigned char flags = Flags(datagram);
        const int nth = ++ordinals[static_cast<int>(way)][flags];
        for (const DropNth& rule : faults.dropNth)
            decision.drop |= rule.way == way && rule.flags == flags && rule.nth == nth;
        return decision;
    }

    void Pass(Way way, std::string datagram) {
        const int w = static_cast<int>(way);
        const Decision decision = Decide(way, datagram);
        Record(way, datagram, decision);
        if (decision.drop)
            return;
        if (decision.reorder && !held[w]) { // goes out after the next one
            held[w] = Held{std::move(datagram), decision.duplicate, Clock::now()};
            return;
        }
        Emit(way, datagram, decision.duplicate);
        if (held[w]) {
            Emit(way, held[w]->datagram, held[w]->twice);
            held[w].reset();
            std::lock_guard guard(countsLock);
            ++counts[w].reordered;
        }
    }

    void Record(Way way, const std::string& datagram, const Decision& decision) {
        const int w = static_cast<int>(way);
        const unsigned char flags = Flags(datagram);
        std::lock_guard guard(countsLock);
        ++counts[w].received;
        counts[w].dropped += decision.drop;
        counts[w].duplicated += !decision.drop && decision.duplicate;
        ++seen[w][flags];
        if (flags == kRegisterFlags || flags == kRegistrationReply || datagram.size() < kHeaderSize)
            return;
        // The header's fields are little-endian.
        const auto field = [&](std::size_t at, int size) {
            std::uint32_t value = 0;
            for (int i = size - 1; i >= 0; --i)
                value = (value << 8) | static_cast<unsigned char>(datagram[at + std::size_t(i)]);
            return value;
        };
        char line[200];
        std::snprintf(
            line, sizeof line,
            "%6lld ms %-14s flags 0x%02X id %d seq %u offset %u length %u (%zu bytes)%s%s%s\n",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started)
                    .count()),
            WayName(way), flags, static_cast<std::int32_t>(field(4, 4)), field(8, 4), field(12, 2),
            field(14, 2), datagram.size(), decision.drop ? " dropped" : "",
            !decision.drop && decision.duplicate ? " doubled" : "",
            !decision.drop && decision.reorder ? " held back" : "");
        trace += line;
    }

    void ReleaseStale() {
        for (const Way way : {Way::kToRelay, Way::kToServer}) {
            auto& slot = held[static_cast<int>(way)];
            if (slot && Clock::now() - slot->since >= kHoldLimit) {
                Emit(way, slot->datagram, slot->twice);
                slot.reset();
            }
        }
    }

    void Emit(Way way, const std::string& datagram, bool twice) {
        for (int copy = twice ? 2 : 1; copy > 0; --copy)
            SendOn(way, datagram);
    }

    void SendOn(Way way, const std::string& datagram) {
        if (way == Way::kToRelay) {
            ::sendto(relaySide.Get(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&relay), sizeof relay);
            return;
        }
        if (!serverKnown)
            return;
        ::sendto(serverSide.Get(), datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&server), sizeof server);
        if (Flags(datagram) == kRegistrationReply) {
            std::lock_guard guard(countsLock);
            ++repliesPassed;
        }
    }

    UniqueFd serverSide; // the program sends here
    UniqueFd relaySide;  // the relay knows the program by this one
    int serverPort = 0;
    const sockaddr_in relay;
    const Faults faults;
    const Clock::time_point started = Clock::now();
    // Used by the forwarding thread only.
    std::mt19937 random;
    std::map<unsigned char, int> ordinals[2]; // datagrams of each way and flags so far
    sockaddr_in server{};
    bool serverKnown = false;
    std::optional<Held> held[2];
    // countsLock guards counts, seen, repliesPassed and trace: the test's thread reads them.
    mutable std::mutex countsLock;
    WayCounts counts[2];
    std::map<unsigned char, int> seen[2];
    int repliesPassed = 0;
    std::string trace;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> passes{0};
    std::thread worker; // last: it starts once everything above stands
};

// What came back on one connection.
struct Fetched {
    std::string raw;
    bool closed = false; // the other side ended the connection within the wait
};

// One answer taken apart.
struct Parsed {
    std::string statusLine;
    std::vector<std::string> names; // of the header lines, in order
    std::optional<std::size_t> contentLength;
    std::string body;
    bool headComplete = false;
};

Parsed Parse(const std::string& raw) {
    Parsed parsed;
    const auto headEnd = raw.find("\r\n\r\n");
    parsed.headComplete = headEnd != std::string::npos;
    const std::string head = raw.substr(0, headEnd);
    if (parsed.headComplete)
        parsed.body = raw.substr(headEnd + 4);
    std::size_t at = 0;
    for (bool first = true; at <= head.size(); first = false) {
        auto end = head.find("\r\n", at);
        if (end == std::string::npos)
            end = head.size();
        const std::string line = head.substr(at, end - at);
        at = end + 2;
        if (first) {
            parsed.statusLine = line;
            continue;
        }
        const auto colon = line.find(':');
        const std::string name = line.substr(0, colon);
        parsed.names.push_back(name);
        if (name == "Content-Length" && colon != std::string::npos)
            parsed.contentLength = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
    }
    return parsed;
}

// True when `raw` holds a whole head and at least Content-Length bytes of body.
bool BodyComplete(const std::string& raw) {
    const Parsed parsed = Parse(raw);
    return parsed.headComplete && parsed.contentLength &&
           parsed.body.size() >= *parsed.contentLength;
}

// Sends `request` on a fresh connection to 127.0.0.1:`toPort` and reads the answer until the
// connection closes; once the body holds Content-Length bytes, only `closeWait` longer.
// Everything ends after `limit`.
Fetched Fetch(int toPort, const std::string& request, std::chrono::milliseconds limit,
              std::chrono::milliseconds closeWait = 2000ms) {
    Fetched fetched;
    UniqueFd fd(ConnectLoopback(toPort));
    if (!fd.Valid() || ::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
                           static_cast<ssize_t>(request.size()))
        return fetched;
    auto deadline = Clock::now() + limit;
    bool whole = false;
    char chunk[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd poller{fd.Get(), POLLIN, 0};
        if (left <= 0ms || ::poll(&poller, 1, static_cast<int>(left.count())) <= 0)
            return fetched;
        const ssize_t n = ::recv(fd.Get(), chunk, sizeof chunk, 0);
        if (n <= 0) {
            fetched.closed = n == 0;
            return fetched;
        }
        fetched.raw.append(chunk, static_cast<std::size_t>(n));
        if (!whole && BodyComplete(fetched.raw)) {
            whole = true;
            deadline = std::min(deadline, Clock::now() + closeWait);
        }
    }
}

std::string RelayedGet(const std::string& path) {
    return "GET " + path + " HTTP/1.0\r\nHost: " + std::string(kName) + "\r\n\r\n";
}

// The access log's lines for `path`: how many have an empty address (nothing after "GET
// <path> ") and how many name one.
std::pair<int, int> LogLines(const std::string& log, const std::string& path) {
    const std::string needle = "\nGET " + path + " ";
    int withoutAddress = 0;
    int withAddress = 0;
    for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
        const std::size_t after = at + needle.size();
        if (after == log.size() || log[after] == '\n')
            ++withoutAddress;
        else
            ++withAddress;
    }
    return {withoutAddress, withAddress};
}

class RelayProgramTest : public StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        WriteFileBytes(Path("site/big.bin"), PatternBytes(kBigSize));
        WriteFileBytes(Path("site/mid.bin"), PatternBytes(kMidSize));
        WriteFileBytes(Path("site/small.dat"), "small");
    }

    void TearDown() override {
        for (QProcess* process : {program.get(), &relay}) {
            if (process && process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(kWaitMs);
            }
        }
        forwarder.reset();
    }

    // Starts the relay service, the forwarder with `faults` and the program, and waits until
    // a registration reply of the relay has been passed on to the program. With `shortWaits`
    // both wait kShortAckWaitMs for each acknowledgement instead of the protocol's time.
    void StartAll(Faults faults = {}, const QProcessEnvironment& extra = {},
                  bool shortWaits = false) {
        relayHttpPort = FreeLoopbackPort();
        int relayUdpPort = 0;
        BoundUdp(relayUdpPort); // closed again at once: free for the relay
        relay.setStandardOutputFile(QString::fromStdString(Path("relay.out")));
        relay.setStandardErrorFile(QString::fromStdString(Path("relay.err")));
        QStringList relayArguments = {"--bind",      "127.0.0.1",
                                      "--http-port", QString::number(relayHttpPort),
                                      "--udp-port",  QString::number(relayUdpPort),
                                      "--name",      "relay.test"};
        if (shortWaits)
            relayArguments << "--resend-wait" << QString::number(kShortAckWaitMs);
        relay.start(TVN_RELAY_PROGRAM, relayArguments);
        ASSERT_TRUE(relay.waitForStarted(kWaitMs));
        // The relay opens its UDP socket before its TCP listener.
        ASSERT_TRUE(WaitForListening(relayHttpPort)) << RelayOutput();
        forwarder = std::make_unique<CUdpForwarder>(relayUdpPort, faults);
        ASSERT_TRUE(forwarder->Valid());

        std::map<std::string, std::string> settings = {
            {"ServiceHost", "127.0.0.1"},
            {"ServicePort", std::to_string(forwarder->Port())},
            {"ServicePeriod", std::to_string(kPeriodMs)},
            {"LogFileName", Path("tvn.log")}};
        if (shortWaits)
            settings["ServiceAckWait"] = std::to_string(kShortAckWaitMs);
        WriteSettings(settings);
        QProcessEnvironment env = Environment();
        env.insert("TVN_RELAY_NAME", kName);
        env.insert(extra);
        program = std::make_unique<QProcess>();
        program->setProcessEnvironment(env);
        program->setWorkingDirectory(QString::fromStdString(base));
        program->setStandardOutputFile(QString::fromStdString(Path("program.out")));
        program->setStandardErrorFile(QString::fromStdString(Path("program.err")));
        program->start(TVN_PROGRAM);
        ASSERT_TRUE(program->waitForStarted(kWaitMs));
        ASSERT_TRUE(WaitForListening(port));
        ASSERT_TRUE(WaitUntil([&] { return forwarder->RepliesPassed() > 0; }))
            << "no registration was answered; registrations sent: " << forwarder->Registrations()
            << "\n"
            << RelayOutput();
    }

    std::string RelayOutput() const {
        return "relay standard output:\n" + ReadFileBytes(Path("relay.out")).value_or("") +
               "relay standard error:\n" + ReadFileBytes(Path("relay.err")).value_or("");
    }

    // Registrations the forwarder takes in during three periods from now.
    int RegistrationsInThreePeriods() {
        EXPECT_TRUE(forwarder->Barrier());
        const int before = forwarder->Registrations();
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * kPeriodMs + 100));
        EXPECT_TRUE(forwarder->Barrier());
        return forwarder->Registrations() - before;
    }

    QProcess relay;
    std::unique_ptr<QProcess> program;
    std::unique_ptr<CUdpForwarder> forwarder;
    int relayHttpPort = 0;
};

TEST_F(RelayProgramTest, RelayedGetOfFiveMebibytesIsTheDirectAnswer) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    const Fetched relayed = Fetch(relayHttpPort, RelayedGet("/big.bin"), 60s);
    const Fetched direct = Fetch(port, "GET /big.bin HTTP/1.0\r\n\r\n", 60s);
    const Parsed viaRelay = Parse(relayed.raw);
    const Parsed straight = Parse(direct.raw);

    EXPECT_EQ(straight.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(straight.contentLength, kBigSize);
    EXPECT_EQ(straight.body.size(), kBigSize);
    EXPECT_EQ(viaRelay.statusLine, straight.statusLine) << RelayOutput();
    EXPECT_EQ(viaRelay.names, straight.names); // Date is among them; its value may differ
    EXPECT_EQ(viaRelay.body.size(), straight.body.size());
    EXPECT_TRUE(viaRelay.body == straight.body) << "the relayed body differs from the direct one";
    EXPECT_TRUE(relayed.closed) << "the relay did not end the browser's connection";
}

// The browser is known to the relay only: the program logs the relayed request with an
// empty address, the direct one with the visitor's.
TEST_F(RelayProgramTest, AccessLogShowsTheRelayedRequestWithAnEmptyAddress) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    EXPECT_TRUE(BodyComplete(Fetch(relayHttpPort, RelayedGet("/big.bin"), 60s).raw));
    EXPECT_TRUE(BodyComplete(Fetch(port, "GET /big.bin HTTP/1.0\r\n\r\n", 60s).raw));
    std::string log;
    const bool both = WaitUntil([&] {
        log = ReadFileBytes(Path("tvn.log")).value_or("");
        return LogLines(log, "/big.bin") == std::pair(1, 1);
    });
    EXPECT_TRUE(both) << log;
    EXPECT_NE(log.find("\nGET /big.bin 127.0.0.1:"), std::string::npos) << log;
}

// The program's acknowledgement of a request (flags 0x05) is lost, and the first message of
// its answer reaches the relay before the relay knows the connection's id. The relay took
// that message for one of a connection it no longer had and closed it (flags 0x02 to the
// program); the program ended the connection, acknowledged the resent request again as the
// same connection, and the browser got nothing.
TEST_F(RelayProgramTest, LostRequestAcknowledgementStillGivesTheAnswer) {
    Faults faults;
    faults.dropNth = {{Way::kToRelay, 0x05, 1}};
    ASSERT_NO_FATAL_FAILURE(StartAll(faults, {}, true));
    // The relay sends the request again, the program its answer, each after its short wait.
    const Fetched fetched = Fetch(relayHttpPort, RelayedGet("/small.dat"), 15s);
    const Parsed answer = Parse(fetched.raw);
    EXPECT_EQ(forwarder->Counts(Way::kToRelay).dropped, 1);
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK") << "got " << fetched.raw.size() << " bytes\n"
                                                    << forwarder->Trace() << RelayOutput();
    EXPECT_EQ(answer.body, "small");
    EXPECT_EQ(forwarder->Seen(Way::kToServer, 0x02), 0)
        << "the relay closed a connection of the program";
}

// The same loss, for a request the relay sends with an id of its own: it does so once a
// request went out more than once with id -1 (here the first request's first copy is lost),
// since an acknowledgement of a copy could then be taken for another request's.
TEST_F(RelayProgramTest, LostAcknowledgementOfARequestWithTheRelaysOwnIdStillGivesTheAnswer) {
    Faults faults;
    faults.dropNth = {{Way::kToServer, 0x01, 1}, {Way::kToRelay, 0x05, 2}};
    ASSERT_NO_FATAL_FAILURE(StartAll(faults, {}, true));
    const Fetched first = Fetch(relayHttpPort, RelayedGet("/small.dat"), 15s);
    EXPECT_EQ(Parse(first.raw).body, "small");
    const Fetched second = Fetch(relayHttpPort, RelayedGet("/small.dat"), 15s);
    const Parsed answer = Parse(second.raw);
    EXPECT_EQ(forwarder->Counts(Way::kToServer).dropped, 1);
    EXPECT_EQ(forwarder->Counts(Way::kToRelay).dropped, 1);
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK") << "got " << second.raw.size() << " bytes\n"
                                                    << forwarder->Trace() << RelayOutput();
    EXPECT_EQ(answer.body, "small");
    EXPECT_EQ(forwarder->Seen(Way::kToServer, 0x02), 0)
        << "the relay closed a connection of the program";
}

// A tenth of each way's datagrams is dropped, a tenth sent twice, a tenth held back behind
// the next one. A lost datagram costs the program and the relay a resend after their short
// wait (with the protocol's 5 s and 3 s this test took 46 s), so the files stay small and
// few. They are fetched round after round until every fault has happened in both ways: fewer
// datagrams go to the program than come from it, and a short round may not hit them all.
TEST_F(RelayProgramTest, LossyDuplicatingReorderingLinkStillGivesWholeBodies) {
    Faults faults;
    faults.drop = faults.duplicate = faults.reorder = 0.1;
    faults.seed = 20261208;
    ASSERT_NO_FATAL_FAILURE(StartAll(faults, {}, true));
    const std::string small = "small";
    const std::string mid = PatternBytes(kMidSize);
    const std::pair<const char*, const std::string*> files[] = {
        {"/small.dat", &small}, {"/mid.bin", &mid}, {"/small.dat", &small}, {"/mid.bin", &mid}};
    auto everyFaultHappened = [&] {
        for (const Way way : {Way::kToRelay, Way::kToServer}) {
            const WayCounts counts = forwarder->Counts(way);
            if (counts.dropped == 0 || counts.duplicated == 0 || counts.reordered == 0)
                return false;
        }
        return true;
    };
    constexpr int kMaxRounds = 10;
    int leftOpen = 0;
    int fetches = 0;
    for (int round = 0; round < kMaxRounds && (round == 0 || !everyFaultHappened()); ++round) {
        for (const auto& [path, expected] : files) {
            SCOPED_TRACE(path);
            const Fetched fetched = Fetch(relayHttpPort, RelayedGet(path), 40s);
            const Parsed answer = Parse(fetched.raw);
            EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
            EXPECT_EQ(answer.body.size(), expected->size());
            EXPECT_TRUE(answer.body == *expected) << "the relayed body differs";
            leftOpen += !fetched.closed;
            ++fetches;
        }
    }
    // The faults did happen, in both ways.
    for (const Way way : {Way::kToRelay, Way::kToServer}) {
        const WayCounts counts = forwarder->Counts(way);
        SCOPED_TRACE(WayName(way));
        EXPECT_GT(counts.dropped, 0);
        EXPECT_GT(counts.duplicated, 0);
        EXPECT_GT(counts.reordered, 0);
        std::printf("[ forwarder] %s: %d datagrams, %d dropped, %d doubled, %d reordered\n",
                    WayName(way), counts.received, counts.dropped, counts.duplicated,
                    counts.reordered);
    }
    // Not asserted: the close datagram is never acknowledged, so when it is lost the relay
    // keeps the browser's connection until its idle limit; the body is whole all the same.
    std::printf("[ forwarder] answers whose connection stayed open after the body: %d of %d\n",
                leftOpen, fetches);
    if (HasFailure())
        std::printf("%s%s", forwarder->Trace().c_str(), RelayOutput().c_str());
}

// Once the program has stopped serving, no registration leaves it: three periods pass without
// one, where three periods before the stop brought several.
TEST_F(RelayProgramTest, RegistrationsStopWithTheProgram) {
    ASSERT_NO_FATAL_FAILURE(StartAll());
    const int whileRunning = RegistrationsInThreePeriods();

    const Finished stop = Run({"stop"});
    EXPECT_TRUE(stop.exited);
    // The listener closes just before the relay link, in the same call on the program's main
    // thread: from here on no registration may leave.
    ASSERT_TRUE(WaitUntil([&] {
        const int fd = ConnectLoopback(port);
        if (fd >= 0)
            ::close(fd);
        return fd < 0;
    })) << "the program still listens after stop";
    const int afterStop = RegistrationsInThreePeriods();
    const bool ended = program->waitForFinished(kWaitMs);

    EXPECT_GE(whileRunning, 2);
    EXPECT_EQ(afterStop, 0);
    EXPECT_TRUE(ended) << "the program did not end after stop";
    EXPECT_EQ(program->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program->exitCode(), 0);
}

// Visitors comment on one post at the same moment, some through the relay and some directly:
// every comment lands once, as one whole line.
TEST_F(RelayProgramTest, CommentsThroughTheRelayAndDirectlyEachLandOnceAndWhole) {
    WriteFileBytes(Path("site/Blog/post.txt"), "The post\r\n");
    WriteFileBytes(Path("site/Blog/.blog"),
                   "<body><blogitem><comment></comment>\n</blogitem></body>");
    ASSERT_NO_FATAL_FAILURE(StartAll());
    constexpr int kVisitors = 6;
    constexpr int kComments = 8;
    std::atomic<int> redirected{0};
    std::vector<std::thread> visitors;
    for (int v = 0; v < kVisitors; ++v) {
        visitors.emplace_back([&, v] {
            const bool relayed = v % 2 == 0;
            for (int c = 0; c < kComments; ++c) {
                const std::string path = "/Blog/post.txt?comment=visitor" + std::to_string(v) +
                                         "-comment" + std::to_string(c) + "-" +
                                         std::string(200, 'x');
                const Fetched fetched = relayed
                                            ? Fetch(relayHttpPort, RelayedGet(path), 30s)
                                            : Fetch(port, "GET " + path + " HTTP/1.0\r\n\r\n", 30s);
                if (Parse(fetched.raw).statusLine == "HTTP/1.0 302 Redirection")
                    ++redirected;
            }
        });
    }
    for (auto& visitor : visitors)
        visitor.join();
    EXPECT_EQ(redirected.load(), kVisitors * kComments) << RelayOutput();
    const std::string post = ReadFileBytes(Path("site/Blog/post.txt")).value_or("");
    for (int v = 0; v < kVisitors; ++v) {
        for (int c = 0; c < kComments; ++c) {
            const std::string line = "visitor" + std::to_string(v) + "-comment" +
                                     std::to_string(c) + "-" + std::string(200, 'x') + "\r\n";
            std::size_t count = 0;
            for (auto at = post.find(line); at != std::string::npos; at = post.find(line, at + 1))
                ++count;
            EXPECT_EQ(count, 1u) << line;
        }
    }
    // Nothing else: the post's own line and one line per comment.
    EXPECT_EQ(std::count(post.begin(), post.end(), '\n'), 1 + kVisitors * kComments);
}

// The owner's screen is shown to the owner's own networks, never through the relay, which
// hands on visitors from anywhere.
TEST_F(RelayProgramTest, ScreenIsNotShownThroughTheRelay) {
    XvfbScreen screen(400, 300);
    if (!screen.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    QProcessEnvironment withScreen;
    withScreen.insert("DISPLAY", QString::fromStdString(screen.Display()));
    ASSERT_NO_FATAL_FAILURE(StartAll({}, withScreen));
    // The demo site's placeholder picture, which stands in for the screen.
    const std::string placeholder =
        ReadFileBytes(Path("site/ScreenShot/screenshot.png")).value_or("");
    ASSERT_FALSE(placeholder.empty());
    const Parsed direct =
        Parse(Fetch(port, "GET /ScreenShot/screenshot.png HTTP/1.0\r\n\r\n", 30s).raw);
    const Parsed relayed =
        Parse(Fetch(relayHttpPort, RelayedGet("/ScreenShot/screenshot.png"), 30s).raw);
    EXPECT_TRUE(direct.body.starts_with("\x89PNG")) << "the owner's own machine sees the screen";
    EXPECT_TRUE(direct.body != placeholder);
    EXPECT_EQ(relayed.statusLine, "HTTP/1.0 200 OK") << RelayOutput();
    EXPECT_TRUE(relayed.body == placeholder) << "the relay was shown the screen";
}

} // namespace
} // namespace tvn::test
