#include "relay/relay_link.h"

#include "config/settings_section.h"
#include "http/http_svr_doc.h"
#include "relay/relayed_request.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <random>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvn {
namespace {

constexpr int kSweepEveryMs = 5000;
// The longest wait for an acknowledgement of a response message that ServiceAckWait may
// name; outside 1..kMaxAckWaitMs the protocol's wait holds.
constexpr int kMaxAckWaitMs = 60000;
// A request message whose fragments have not all come within this time is dropped; the
// service sends it again.
constexpr std::chrono::seconds kAssemblyLimit{15};

// Connection ids the server assigns: one counter for the process, the first id is 1.
std::atomic<std::int32_t> lastAssignedId = 0;

// A new secret for the relay registrations: 32 hexadecimal digits from the kernel's random
// source; empty when it gives none.
std::string NewRelaySecret() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        got += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string secret;
    for (const unsigned char byte : bytes) {
        secret.push_back(kHex[byte >> 4]);
        secret.push_back(kHex[byte & 0x0F]);
    }
    return secret;
}

// The service's address and its port: another program on the service's host is not the
// service.
bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

} // namespace

CTcpOverUdp::CTcpOverUdp(CHttpSvrDoc& owner, const std::string& host, int port, int registerEveryMs,
                         std::string registrationSecret, relay::RetryPolicy retryPolicy)
    : CNotify(host, port, std::move(registrationSecret)), doc(owner), serviceHost(host),
      retries(retryPolicy) {
    // The period is kept for the registrations that SetRelayName starts.
    registrationPeriodMs = registerEveryMs > 0 ? registerEveryMs : setting::kServicePeriod.number;
    QObject::connect(&sweepTimer, &QTimer::timeout, [this] { Sweep(); });
    retireTimer.setSingleShot(true);
    QObject::connect(&retireTimer, &QTimer::timeout, [this] { DeleteRetired(); });
    // A key of this process's own: nobody can make a request pass for another's repeat.
    std::random_device random;
    for (std::uint64_t& word : digestKey)
        word = (std::uint64_t{random()} << 32) ^ random();
}

CTcpOverUdp::~CTcpOverUdp() {
    Stop(); // no registration leaves a socket that is going
    live.clear();
    retired.clear();
    readNotifier.reset();
    writeNotifier.reset();
    if (fd >= 0)
        ::close(fd);
}

bool CTcpOverUdp::Open() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        ::close(fd);
        fd = -1;
        return false;
    }
    readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(readNotifier.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    writeNotifier->setEnabled(false); // only while a refused datagram waits
    QObject::connect(writeNotifier.get(), &QSocketNotifier::activated, [this] { OnWritable(); });
    sweepTimer.start(kSweepEveryMs);
    return true;
}

int CTcpOverUdp::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

void CTcpOverUdp::SetRelayName(const std::string& name) {
    if (name.empty())
        Stop();
    else
        StartWith(name, registrationPeriodMs);
}

void CTcpOverUdp::Transmit(std::string datagram, const sockaddr_in& to) {
    if (outgoing.empty()) {
        const ssize_t n = ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS))
            return; // sent, or lost as a datagram may be: the stop-and-wait sends it again
    }
    outgoing.push_back({std::move(datagram), to, 0});
    writeNotifier->setEnabled(true);
}

void CTcpOverUdp::OnWritable() {
    while (!outgoing.empty()) {
        Outgoing& next = outgoing.front();
        const ssize_t n = ::sendto(fd, next.datagram.data(), next.datagram.size(), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&next.to), sizeof next.to);
        const bool refused = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS);
        if (refused && ++next.refusals < kMaxRefusals)
            break;
        outgoing.pop_front(); // sent, failed, or refused too often: its message is resent
    }
    // Writable only while something waits: a level-triggered notifier would spin otherwise.
    writeNotifier->setEnabled(!outgoing.empty());
}

void CTcpOverUdp::OnReadable() {
    char buffer[relay::kReceiveBuffer];
    // A bounded number per wake-up, so that a flood cannot hold the event loop.
    for (int i = 0; i < 64; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            return;
        HandleDatagram(std::string_view(buffer, static_cast<std::size_t>(n)), from);
    }
}

void CTcpOverUdp::HandleDatagram(std::string_view bytes, const sockaddr_in& from) {
    relay::DatagramHeader header;
    std::string_view payload;
    if (!relay::ParseDatagram(bytes, header, payload))
        return;
    // Anyone can send to this socket: only the relay service may open connections here,
    // acknowledge their answers or close them.
    const std::optional<sockaddr_in> service = ServiceAddress();
    if (!service || !SameEndpoint(*service, from))
        return;
    if (header.flags == relay::kRegistrationReply)
        return; // consumed, nothing else happens
    if (header.flags & (relay::kAck | relay::kControl | relay::kRegister)) {
        // An acknowledgement is a header alone; with the open bit it names the connection
        // by the id it carries, as any datagram with that bit does.
        if ((header.flags & relay::kAck) && !(header.flags & relay::kRegister) &&
            bytes.size() == relay::kHeaderSize) {
            if (CUDPReq* connection = FindLive(header.connectionId))
                connection->OnAck(header);
        }
        return;
    }
    if (header.flags & relay::kClose) {
        // The end of a connection, whatever else it carries: never run, never acknowledged.
        assemblies.erase(header.connectionId);
        if (CUDPReq* connection = FindLive(header.connectionId))
            connection->OnServiceClose();
        return;
    }
    // Only the first message of a connection opens one; anything else names nothing here.
    if (header.flags & relay::kOpen)
        HandleRequestFragment(header, payload, from);
}

void CTcpOverUdp::HandleRequestFragment(const relay::DatagramHeader& header,
                                        std::string_view payload, const sockaddr_in& from) {
    if (header.sequence != 0)
        return; // a request is always the first message of its connection
    auto [it, fresh] = assemblies.try_emplace(header.connectionId);
    Assembly& assembly = it->second;
    if (fresh) {
        assembly.begun = Clock::now();
        assembly.order = ++assembliesBegun;
    }
    relay::CMessageAssembler::Result result = assembly.assembler.Add(header, payload);
    if (result == relay::CMessageAssembler::Result::kRejected) {
        // Another message under the same id (the service gave up on the first): the newest
        // one is assembled. One that can never be whole is dropped.
        assembly.assembler.Reset();
        assembly.begun = Clock::now();
        assembly.order = ++assembliesBegun;
        result = assembly.assembler.Add(header, payload);
        if (result == relay::CMessageAssembler::Result::kRejected) {
            assemblies.erase(it);
            return;
        }
    }
    if (result != relay::CMessageAssembler::Result::kComplete) {
        BoundAssemblies(header.connectionId);
        return;
    }
    std::string message(assembly.assembler.Message());
    const relay::DatagramHeader first = assembly.assembler.Header();
    assemblies.erase(it);
    if (message.empty())
        return; // a header-only request is never acknowledged
    const relay::MessageDigest digest = DigestOf(message);
    if (const std::optional<std::int32_t> repeated = RepeatOf(digest)) {
        // Its acknowledgement was lost: acknowledged again, never run again (a comment
        // posted through the relay would land twice).
        Transmit(relay::MakeAck(first, *repeated), from);
        return;
    }
    StartConnection(first, std::move(message), digest, from);
}

std::size_t CTcpOverUdp::AssemblyBytes() const {
    std::size_t total = 0;
    for (const auto& entry : assemblies)
        total += entry.second.assembler.Footprint();
    return total;
}

std::size_t CTcpOverUdp::RepeatMemoryBytes() const {
    return live.size() * sizeof(relay::MessageDigest) + remembered.size() * sizeof(Remembered);
}

void CTcpOverUdp::BoundAssemblies(std::int32_t keep) {
    while (assemblies.size() > 1 &&
           (assemblies.size() > kMaxAssemblies || AssemblyBytes() > kMaxAssemblyBytes)) {
        auto oldest = assemblies.end();
        for (auto it = assemblies.begin(); it != assemblies.end(); ++it) {
            if (it->first != keep &&
                (oldest == assemblies.end() || it->second.order < oldest->second.order))
                oldest = it;
        }
        assemblies.erase(oldest);
    }
}

void CTcpOverUdp::StartConnection(const relay::DatagramHeader& header, std::string message,
                                  const relay::MessageDigest& digest, const sockaddr_in& from) {
    std::int32_t id = header.connectionId;
    if (id == -1)
        id = ++lastAssignedId;
    else if (FindLive(id))
        return; // the service reused an id still open: not ours to guess
    Transmit(relay::MakeAck(header, id), from);
    // The first line (the browser's address, for the service's own use) is not part of the
    // request.
    const auto lineEnd = message.find("\r\n");
    if (lineEnd != std::string::npos)
        message.erase(0, lineEnd + 2);
    live.push_back(std::make_unique<CUDPReq>(doc, *this, id, from, digest));
    live.back()->Deliver(std::move(message));
}

CUDPReq* CTcpOverUdp::FindLive(std::int32_t id) const {
    for (const auto& connection : live) {
        if (connection->Id() == id && !connection->Closed())
            return connection.get();
    }
    return nullptr;
}

relay::MessageDigest CTcpOverUdp::DigestOf(std::string_view message) const {
    return relay::MessageDigest{relay::KeyedDigest(digestKey, message), message.size()};
}

std::optional<std::int32_t> CTcpOverUdp::RepeatOf(const relay::MessageDigest& digest) const {
    for (const auto& connection : live) {
        if (connection->OpeningDigest() == digest)
            return connection->Id();
    }
    const auto now = Clock::now();
    for (const Remembered& old : remembered) {
        if (now - old.closedAt < kRepeatMemory && old.digest == digest)
            return old.id;
    }
    return std::nullopt;
}

void CTcpOverUdp::Retire(CUDPReq& connection) {
    for (auto it = live.begin(); it != live.end(); ++it) {
        if (it->get() != &connection)
            continue;
        remembered.push_back({connection.OpeningDigest(), connection.Id(), Clock::now()});
        if (remembered.size() > kRepeatsKept)
            remembered.pop_front();
        retired.push_back(std::move(*it));
        live.erase(it);
        break;
    }
    if (!retireTimer.isActive())
        retireTimer.start(0); // never delete what is calling us
}

void CTcpOverUdp::DeleteRetired() { retired.clear(); }

void CTcpOverUdp::Sweep() {
    const auto now = Clock::now();
    while (!remembered.empty() && now - remembered.front().closedAt >= kRepeatMemory)
        remembered.pop_front();
    std::erase_if(assemblies,
                  [&](const auto& entry) { return now - entry.second.begun >= kAssemblyLimit; });
    // A connection whose request never completes, or that stopped moving, ends as a TCP
    // connection would; ending retires it from `live`, so walk a copy of the pointers.
    std::vector<CUDPReq*> current;
    for (const auto& connection : live)
        current.push_back(connection.get());
    for (CUDPReq* connection : current)
        connection->ExpireIfIdle(now);
}

std::unique_ptr<IRelayLink> MakeRelayLink(CHttpSvrDoc& doc) {
    const SettingsSection settings;
    const std::string host = settings.Text(setting::kServiceHost);
    const int servicePort = settings.Number(setting::kServicePort);
    const int period = settings.Number(setting::kServicePeriod);
    if (host.empty())
        return nullptr; // no registration, no name lookup
    // Made once and kept: with it the relay service moves the name to another address or
    // port only for this server, not for a neighbour behind the same NAT. A stored text that
    // is no secret (too short, other characters) makes registrations without one.
    const std::string secret = settings.Text(setting::kServiceSecret, NewRelaySecret());
    relay::RetryPolicy retries = relay::kResponseRetries;
    const int waitMs = settings.Number(setting::kServiceAckWait);
    if (waitMs >= 1 && waitMs <= kMaxAckWaitMs)
        retries.wait = relay::Millis{waitMs};
    auto link = std::make_unique<CTcpOverUdp>(doc, host, servicePort, period, secret, retries);
    if (!link->Open())
        return nullptr;
    return link;
}

} // namespace tvn
