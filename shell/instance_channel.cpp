#include "shell/instance_channel.h"

#include "shell/instance_lock.h"

#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tvn {
namespace {

// A local process can open connections without end; a few at once are enough for the
// instances that start beside us, the rest wait in the listen queue.
constexpr std::size_t kMaxConnections = kMaxInstanceConnections;
constexpr int kBacklog = 4;
constexpr std::chrono::milliseconds kSendLimit{2000};
constexpr std::chrono::milliseconds kRetryStep{50};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The socket address for `path`; none when it is empty, holds a NUL (an abstract or cut
// name would be another socket than the one asked for) or does not fit.
std::optional<sockaddr_un> LocalAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path) ||
        path.find('\0') != std::string::npos)
        return std::nullopt;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

UniqueFd LocalSocket() {
    return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

bool FromThisUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof(peer);
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

int MillisLeft(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Waits for `events` on `fd` until `end`; true when they came.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point end) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, MillisLeft(end));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

InstanceCommandLine ParseInstanceCommandLine(std::string_view bytes) {
    using Kind = InstanceCommandLine::Kind;
    const std::string_view head = bytes.substr(0, kMaxInstanceCommandLine);
    const std::size_t end = head.find('\n');
    if (end == std::string_view::npos)
        return {bytes.size() >= kMaxInstanceCommandLine ? Kind::Reject : Kind::NeedMore};
    std::string_view line = head.substr(0, end);
    while (!line.empty() && IsBlank(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && IsBlank(line.back()))
        line.remove_suffix(1);
    // Nine digits at most: no command is that long, and the number cannot overflow.
    if (line.empty() || line.size() > 9 ||
        !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {Kind::Reject};
    int command = 0;
    for (char c : line)
        command = command * 10 + (c - '0');
    return {Kind::Complete, command};
}

// One peer of the command socket, until its line is read or it is dropped.
class CInstanceChannel::CConnection {
  public:
    explicit CConnection(UniqueFd socket) : fd(std::move(socket)) {}

    UniqueFd fd; // before the notifier: the notifier goes first
    std::unique_ptr<QSocketNotifier> readable;
    QTimer idle;
    std::array<char, kMaxInstanceCommandLine> bytes{};
    std::size_t size = 0;
    bool closed = false;
};

std::string InstanceChannelPath() { return InstanceFilePath(".socket"); }

CInstanceChannel::CInstanceChannel(std::string socketPath, std::function<void(int)> handler,
                                   std::chrono::milliseconds idle)
    : path(std::move(socketPath)), onCommand(std::move(handler)), idleLimit(idle),
      context(std::make_unique<QObject>()) {}

CInstanceChannel::~CInstanceChannel() {
    connections.clear();
    if (listener.Valid()) {
        acceptable.reset();
        listener.Reset();
        ::unlink(path.c_str());
    }
}

bool CInstanceChannel::Listen() {
    const std::optional<sockaddr_un> address = LocalAddress(path);
    if (!address)
        return false;
    UniqueFd socket = LocalSocket();
    if (!socket.Valid())
        return false;
    ::unlink(path.c_str());
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0)
        return false;
    // Only this user may send commands: the file's mode keeps others from connecting, the
    // peer check in OnAcceptable covers the moment before the mode is set.
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::listen(socket.Get(), kBacklog) != 0) {
        ::unlink(path.c_str());
        return false;
    }
    acceptable.reset();
    listener = std::move(socket);
    acceptable = std::make_unique<QSocketNotifier>(listener.Get(), QSocketNotifier::Read);
    QObject::connect(acceptable.get(), &QSocketNotifier::activated, context.get(),
                     [this] { OnAcceptable(); });
    return true;
}

void CInstanceChannel::OnAcceptable() {
    while (connections.size() < kMaxConnections) {
        UniqueFd fd(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors, say: try again in a while rather than spin.
                acceptable->setEnabled(false);
                QTimer::singleShot(1000, context.get(), [this] { UpdateInterest(); });
                return;
            }
            break;
        }
        if (!FromThisUser(fd.Get()))
            continue;
        auto connection = std::make_unique<CConnection>(std::move(fd));
        CConnection& c = *connection;
        c.readable = std::make_unique<QSocketNotifier>(c.fd.Get(), QSocketNotifier::Read);
        QObject::connect(c.readable.get(), &QSocketNotifier::activated, context.get(),
                         [this, &c] { OnReadable(c); });
        c.idle.setSingleShot(true);
        QObject::connect(&c.idle, &QTimer::timeout, context.get(), [this, &c] { Close(c); });
        c.idle.start(idleLimit);
        connections.push_back(std::move(connection));
    }
    UpdateInterest();
}

void CInstanceChannel::OnReadable(CConnection& c) {
    if (c.closed)
        return;
    ssize_t got = 0;
    do {
        got = ::recv(c.fd.Get(), c.bytes.data() + c.size, c.bytes.size() - c.size, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got <= 0) { // gone before a whole line came
        Close(c);
        return;
    }
    c.size += static_cast<std::size_t>(got);
    const InstanceCommandLine line =
        ParseInstanceCommandLine(std::string_view(c.bytes.data(), c.size));
    switch (line.kind) {
    case InstanceCommandLine::Kind::NeedMore:
        return;
    case InstanceCommandLine::Kind::Reject:
        Close(c);
        return;
    case InstanceCommandLine::Kind::Complete:
        Close(c);
        if (line.command != kCommandShowWindow && line.command != kCommandExit)
            return;
        // The handler may end the program: let this slot return first.
        QMetaObject::invokeMethod(
            context.get(), [this, command = line.command] { onCommand(command); },
            Qt::QueuedConnection);
        return;
    }
}

// Ends a connection; it is freed later, outside the slots of its own notifier and timer.
void CInstanceChannel::Close(CConnection& c) {
    c.closed = true;
    c.readable->setEnabled(false);
    c.idle.stop();
    ::shutdown(c.fd.Get(), SHUT_RDWR);
    if (!sweepPosted) {
        sweepPosted = true;
        QMetaObject::invokeMethod(
            context.get(), [this] { Sweep(); }, Qt::QueuedConnection);
    }
}

void CInstanceChannel::Sweep() {
    sweepPosted = false;
    std::erase_if(connections, [](const std::unique_ptr<CConnection>& c) { return c->closed; });
    UpdateInterest();
}

// Whether to take new connections follows from how many are open, here alone.
void CInstanceChannel::UpdateInterest() {
    if (acceptable)
        acceptable->setEnabled(connections.size() < kMaxConnections);
}

bool SendInstanceCommand(const std::string& path, int command) {
    const std::optional<sockaddr_un> address = LocalAddress(path);
    if (!address)
        return false;
    const UniqueFd socket = LocalSocket();
    if (!socket.Valid())
        return false;
    const auto end = std::chrono::steady_clock::now() + kSendLimit;
    // A local connect does not wait: EAGAIN means the listen queue is full for now.
    while (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&*address),
                     sizeof(*address)) != 0) {
        if (errno != EAGAIN && errno != EINTR)
            return false;
        if (MillisLeft(end) == 0)
            return false;
        ::poll(nullptr, 0, static_cast<int>(kRetryStep.count()));
    }
    const std::string line = std::to_string(command) + '\n';
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n =
            ::send(socket.Get(), line.data() + written, line.size() - written, MSG_NOSIGNAL);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(socket.Get(), POLLOUT, end))
                return false;
        } else {
            return false;
        }
    }
    // The line stays readable for the instance after this end closes: no need to wait
    // for it to be read (the caller may be the very thread that would read it).
    return true;
}

} // namespace tvn
