#include "tools/relay/relay_service.h"

#include <QCoreApplication>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tvn::relay {
namespace {

constexpr std::chrono::milliseconds kTickPeriod{250};
// Datagrams read per notification, so that browsers are served between bursts.
constexpr int kDatagramsPerWake = 64;
// Connections taken per notification, so that a crowd of them leaves time for the others.
constexpr int kAcceptsPerWake = 64;
// Ids the relay gives requests itself start here: far above the small numbers a server
// counts from 1, so that the two never meet.
constexpr std::int32_t kOwnIdBase = 0x40000000;

sockaddr_in SocketAddress(Endpoint endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

Endpoint FromSocketAddress(const sockaddr_in& address) {
    return Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

// A non-blocking socket of `type` bound to `at`; an invalid one with `error` set on failure.
UniqueFd BoundSocket(int type, Endpoint at, std::string& error) {
    UniqueFd fd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    const sockaddr_in address = SocketAddress(at);
    if (!fd.Valid() ||
        (type == SOCK_STREAM &&
         ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) ||
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && ::listen(fd.Get(), 128) != 0)) {
        error = std::string(type == SOCK_STREAM ? "TCP" : "UDP") + " port " + EndpointText(at) +
                ": " + std::strerror(errno);
        return UniqueFd();
    }
    return fd;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// The request line as the log shows it: quotes and control bytes escaped, so that a browser
// cannot forge a line of its own.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text.substr(0, 1024)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void WriteLine(std::FILE* stream, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// The options with the relay's own name: the machine's when none was given.
RelayOptions WithOwnName(RelayOptions options) {
    char name[256] = {};
    if (options.name.empty() && ::gethostname(name, sizeof name - 1) == 0)
        options.name = NormalizeName(name);
    return options;
}

} // namespace

CRelayService::CRelayService(RelayOptions relayOptions, std::optional<AllowList> allowed)
    : options(WithOwnName(std::move(relayOptions))), registry(std::move(allowed), options.name),
      nextOwnId(kOwnIdBase +
                static_cast<std::int32_t>((::getpid() ^ std::time(nullptr)) & 0x0FFFFFFF)) {
    connect(&ticker, &QTimer::timeout, this, &CRelayService::OnTick);
}

CRelayService::~CRelayService() = default;

bool CRelayService::Listen(std::string& error) {
    const std::uint32_t address = ParseIpv4(options.bind).value_or(0);
    udpFd = BoundSocket(SOCK_DGRAM, Endpoint{address, options.udpPort}, error);
    if (!udpFd.Valid())
        return false;
    tcpFd = BoundSocket(SOCK_STREAM, Endpoint{address, options.httpPort}, error);
    if (!tcpFd.Valid())
        return false;
    udpNotifier = std::make_unique<QSocketNotifier>(udpFd.Get(), QSocketNotifier::Read);
    tcpNotifier = std::make_unique<QSocketNotifier>(tcpFd.Get(), QSocketNotifier::Read);
    connect(udpNotifier.get(), &QSocketNotifier::activated, this, &CRelayService::OnUdpReadable);
    connect(tcpNotifier.get(), &QSocketNotifier::activated, this, &CRelayService::OnAcceptable);
    ticker.start(kTickPeriod);
    return true;
}

Millis CRelayService::Now() { return SteadyNow(); }

void CRelayService::OnUdpReadable() {
    const Millis now = Now();
    char buffer[kReceiveBuffer];
    for (int i = 0; i < kDatagramsPerWake; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(udpFd.Get(), buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            return; // EAGAIN: all read; any other error concerns one datagram only
        Dispatch(FromSocketAddress(from), std::string_view(buffer, static_cast<std::size_t>(n)),
                 now);
    }
}

void CRelayService::Dispatch(Endpoint from, std::string_view bytes, Millis now) {
    DatagramHeader header;
    std::string_view payload;
    if (!ParseDatagram(bytes, header, payload))
        return;
    if (header.flags == kRegister) {
        HandleRegistration(from, payload, now);
        return;
    }
    if (header.flags & (kRegister | kControl))
        return;
    if (header.flags & kAck) {
        HandleOpenAck(from, header, bytes.size(), now);
        return;
    }
    auto found = byId.find({from, header.connectionId});
    if (found == byId.end() && !(header.flags & kClose) && AdoptImpliedAck(from, header, now))
        found = byId.find({from, header.connectionId});
    if (found == byId.end())
        RefuseStray(from, header, now);
    else if (header.flags & kClose)
        found->second->OnServerClose(now);
    else
        found->second->OnResponse(header, payload, now);
}

void CRelayService::HandleRegistration(Endpoint from, std::string_view payload, Millis now) {
    const std::string_view name = RegistrationName(payload);
    switch (registry.Register(name, from, now, RegistrationSecret(payload))) {
    case CNameRegistry::Outcome::kRegistered:
        WriteLine(stderr, "registered " + NormalizeName(name) + " at " + EndpointText(from));
        SendToServer(from, MakeRegistrationReply());
        break;
    case CNameRegistry::Outcome::kMoved:
        WriteLine(stderr, "moved " + NormalizeName(name) + " to " + EndpointText(from));
        [[fallthrough]];
    case CNameRegistry::Outcome::kRefreshed:
        SendToServer(from, MakeRegistrationReply());
        break;
    case CNameRegistry::Outcome::kTaken:
    case CNameRegistry::Outcome::kNotAllowed:
    case CNameRegistry::Outcome::kInvalid:
    case CNameRegistry::Outcome::kFull:
    case CNameRegistry::Outcome::kTooMany:
        break; // no reply: the name is not this sender's
    }
}

void CRelayService::HandleOpenAck(Endpoint from, const DatagramHeader& header, std::size_t size,
                                  Millis now) {
    const auto found = servers.find(from);
    if (found == servers.end() || !IsOpenAck(header, size, -1))
        return; // the relay asks for no other acknowledgement
    ServerState& state = found->second;
    if (byId.contains({from, header.connectionId}))
        return; // repeated: for a request sent with the relay's own id, or doubled on the way
    CBrowserConnection* head = state.opening.empty() ? nullptr : state.opening.front();
    const bool waiting = head != nullptr && head->State() == BrowserState::kOpening;
    // Once the connection it named has ended, a repeated acknowledgement of one of the
    // relay's own ids must not pass for the server's choice.
    const bool ownId = header.connectionId >= kOwnIdBase;
    if (!waiting || !IsOpenAck(header, size, head->RequestId()) ||
        (head->RequestId() == -1 && ownId)) {
        if (!ownId) // a late one for a copy of an earlier request sent with -1
            state.unsettled = std::max(0, state.unsettled - 1);
        return;
    }
    if (head->RequestId() == -1)
        state.unsettled += head->Sends() - 1;
    byId[{from, header.connectionId}] = head;
    state.opening.pop_front();
    head->OnOpenAck(header.connectionId, now);
    StartNextOpen(from, now);
}

// The first answer message of a request sent with -1 whose acknowledgement was lost on the
// way: the server has assigned the id it carries, and answers already. Taken as the
// acknowledgement, or the server would be told to close and the browser get nothing.
bool CRelayService::AdoptImpliedAck(Endpoint from, const DatagramHeader& header, Millis now) {
    const auto found = servers.find(from);
    if (found == servers.end() || header.sequence != 1 || header.connectionId < 1)
        return false;
    ServerState& state = found->second;
    CBrowserConnection* head = state.opening.empty() ? nullptr : state.opening.front();
    if (head == nullptr || head->State() != BrowserState::kOpening)
        return false;
    // Sent with -1, the server chose the id (below the relay's own); sent with one of the
    // relay's own ids, the server kept it.
    const bool assigned = head->RequestId() == -1 && header.connectionId < kOwnIdBase;
    const bool kept = head->RequestId() != -1 && header.connectionId == head->RequestId();
    if (!assigned && !kept)
        return false;
    if (assigned)
        state.unsettled += head->Sends() - 1;
    byId[{from, header.connectionId}] = head;
    state.opening.pop_front();
    head->OnOpenAck(header.connectionId, now);
    StartNextOpen(from, now);
    return true;
}

// A datagram of a connection the relay no longer has (its browser left, or the relay gave
// up on it): a close makes the server stop sending instead of trying five times.
void CRelayService::RefuseStray(Endpoint from, const DatagramHeader& header, Millis now) {
    const bool knownServer = servers.contains(from) || registry.Serves(from, now);
    if (!knownServer || (header.flags & kClose) || header.fragmentOffset != 0 ||
        header.connectionId == -1)
        return;
    SendToServer(from, MakeClose(header.connectionId, header.sequence));
}

CRelayService::Route CRelayService::RouteRequest(const BrowserRequest& request) {
    Route route;
    if (request.host.empty()) {
        route.status = 400;
        route.explanation = "The request does not name a host.";
    } else if (request.host == options.name) {
        route = OwnAnswer(request);
    } else if (const auto server = registry.Find(request.host, Now()); !server) {
        route.status = 502;
        route.explanation = "No server is registered for this name at the moment.";
    } else if (perName[request.host] >= kMaxPerName) {
        route.status = 503;
        route.explanation = "Too many visitors are waiting for this server. Try again shortly.";
    } else {
        ++perName[request.host];
        route.server = *server;
        route.name = request.host;
    }
    return route;
}

// A request for the relay's own name: the location service, or nothing.
CRelayService::Route CRelayService::OwnAnswer(const BrowserRequest& request) {
    Route route;
    CLocationBook::Answer answer;
    if (request.path == "/zadizo/update.php") {
        answer = locations.Update(request.query, Now());
    } else if (request.path == "/zadizo/request.php") {
        answer = locations.Request(request.query, Now());
    } else {
        route.status = 404;
        route.explanation = "Nothing is here.";
        return route;
    }
    route.status = answer.status;
    route.answer = AnswerText(answer.status, answer.contentType, answer.body,
                              !request.requestLine.starts_with("HEAD "));
    return route;
}

void CRelayService::Enqueue(CBrowserConnection& connection) {
    servers[connection.Server()].opening.push_back(&connection);
    StartNextOpen(connection.Server(), Now());
}

// The first waiting browser of `server` sends its request, unless one is on its way. The id
// -1 lets the server assign one, and the acknowledgement names it; while acknowledgements of
// earlier copies may still come, such an acknowledgement could be another request's, and the
// request carries an id of the relay's own instead, which the server keeps.
void CRelayService::StartNextOpen(Endpoint server, Millis now) {
    const auto found = servers.find(server);
    if (found == servers.end())
        return;
    ServerState& state = found->second;
    std::erase_if(state.opening, [&](CBrowserConnection* connection) {
        const BrowserState s = connection->State();
        if (s == BrowserState::kWaitingTurn || s == BrowserState::kOpening)
            return false;
        if (connection->RequestId() == -1) // given up or left: every copy may still arrive
            state.unsettled += connection->Sends();
        return true;
    });
    if (state.opening.empty() || state.opening.front()->State() == BrowserState::kOpening)
        return;
    std::int32_t id = -1;
    if (state.unsettled > 0) {
        id = nextOwnId;
        nextOwnId =
            nextOwnId == std::numeric_limits<std::int32_t>::max() ? kOwnIdBase : nextOwnId + 1;
    }
    state.opening.front()->BeginOpen(id, now);
}

void CRelayService::SendToServer(Endpoint server, std::string_view datagram) {
    const sockaddr_in address = SocketAddress(server);
    // A datagram the socket cannot take now is lost like one the network drops: the
    // protocol sends again.
    ::sendto(udpFd.Get(), datagram.data(), datagram.size(), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void CRelayService::OnAcceptable() {
    const Millis now = Now();
    for (int i = 0; i < kAcceptsPerWake && !admission.Full(); ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        UniqueFd fd(::accept4(tcpFd.Get(), reinterpret_cast<sockaddr*>(&from), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.Valid()) {
            // Out of descriptors or memory: the pending connection stays and the notifier
            // would fire at once again. Accepting resumes at the next tick.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                tcpNotifier->setEnabled(false);
                return;
            }
            break;
        }
        Admit(std::move(fd), FromSocketAddress(from), now);
    }
    UpdateAccepting();
}

void CRelayService::Admit(UniqueFd fd, Endpoint from, Millis now) {
    switch (admission.Decide(from.address)) {
    case CBrowserAdmission::Decision::kRefuse:
    case CBrowserAdmission::Decision::kFull:
        return; // closed unanswered: an answer would only cost more of what it floods
    case CBrowserAdmission::Decision::kAdmitClosing:
        if (const auto oldest = admission.OldestUnfinished()) {
            const auto found = connections.find(*oldest);
            if (found != connections.end())
                found->second->Abandon(); // its place is free when this returns
        }
        break;
    case CBrowserAdmission::Decision::kAdmit:
        break;
    }
    const std::uint64_t serial = nextSerial++;
    auto connection = std::make_unique<CBrowserConnection>(*this, std::move(fd), from, serial, now);
    connect(connection.get(), &CBrowserConnection::finished, this, &CRelayService::OnFinished);
    admission.Add(serial, from.address, now);
    connections.emplace(serial, std::move(connection));
}

void CRelayService::HeadDone(const CBrowserConnection& connection) {
    admission.HeadDone(connection.Serial());
}

void CRelayService::UpdateAccepting() {
    if (tcpNotifier)
        tcpNotifier->setEnabled(!admission.Full());
}

// A head not whole by its deadline is answered 408 and the connection ends; a client that
// sends a byte now and then keeps no place for ever.
void CRelayService::ExpireHeads(Millis now) {
    for (const CBrowserAdmission::Key key : admission.Overdue(now)) {
        admission.HeadDone(key);
        const auto found = connections.find(key);
        if (found != connections.end())
            found->second->OnHeadOverdue();
    }
}

void CRelayService::OnTick() {
    const Millis now = Now();
    for (const auto& name : registry.Expire(now))
        WriteLine(stderr, "lapsed " + name);
    ExpireHeads(now);
    std::vector<CBrowserConnection*> current;
    current.reserve(connections.size());
    for (const auto& entry : connections)
        current.push_back(entry.second.get());
    for (CBrowserConnection* connection : current)
        if (connection->State() != BrowserState::kClosed)
            connection->OnTick(now);
    for (auto it = servers.begin(); it != servers.end();) {
        StartNextOpen(it->first, now);
        const bool idle = it->second.opening.empty() && it->second.unsettled == 0;
        it = idle ? servers.erase(it) : std::next(it);
    }
    UpdateAccepting();
}

void CRelayService::OnFinished(CBrowserConnection* connection) {
    const auto owned = connections.find(connection->Serial());
    if (owned == connections.end() || owned->second.get() != connection)
        return;
    admission.Remove(connection->Serial());
    if (const auto id = connection->ConnectionId()) {
        const auto found = byId.find({connection->Server(), *id});
        if (found != byId.end() && found->second == connection)
            byId.erase(found);
    }
    if (!connection->RoutedName().empty()) {
        const auto count = perName.find(connection->RoutedName());
        if (count != perName.end() && --count->second <= 0)
            perName.erase(count);
        StartNextOpen(connection->Server(), Now());
    }
    if (connection->ReceivedAnything())
        Log(*connection);
    owned->second.release()->deleteLater(); // it may be the caller: never deleted here
    connections.erase(owned);
    UpdateAccepting();
}

void CRelayService::Log(const CBrowserConnection& connection) {
    const BrowserRequest& request = connection.Request();
    const std::string host = request.host.empty() ? "-" : request.host;
    const std::string status = connection.Status() == 0 ? "-" : std::to_string(connection.Status());
    WriteLine(stdout, UtcNow() + " " + EndpointText(connection.Browser()) + " " + host + " " +
                          Quoted(request.requestLine) + " " + status + " " +
                          std::to_string(connection.BytesWritten()));
}

} // namespace tvn::relay
