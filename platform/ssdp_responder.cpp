#include "platform/ssdp_responder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <system_error>

namespace tvn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kGroup = "239.255.255.250";
constexpr const char* kDescriptionPath = "/description.xml";
constexpr std::size_t kLargestDatagram = 2048; // a search is a few hundred bytes
constexpr std::size_t kLargestTarget = 256;
constexpr std::size_t kLargestRequestHead = 4096;
constexpr std::size_t kMostConnections = 16;
constexpr auto kConnectionTime = std::chrono::seconds(5);
constexpr int kDatagramsPerWake = 64;
constexpr unsigned char kMulticastTtl = 2;
// Replies to searches are rationed: a flood of searches (or of forged ones) gets at most this
// many answers, then this many a second.
constexpr double kReplyBurst = 64;
constexpr double kRepliesPerSecond = 32;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The lines of a message head up to the empty line, each ended by CRLF; false when a line
// ends otherwise, a byte is a control character other than tab, or the empty line is missing.
bool SplitHead(std::string_view message, std::vector<std::string_view>& lines) {
    const auto end = message.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return false;
    const std::string_view head = message.substr(0, end + 2);
    for (const char c : head) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n') || u == 0x7f)
            return false;
    }
    std::size_t from = 0;
    while (from < head.size()) {
        const auto at = head.find("\r\n", from);
        const std::string_view line = head.substr(from, at - from);
        if (line.find_first_of("\r\n") != std::string_view::npos)
            return false; // a bare CR or LF
        lines.push_back(line);
        from = at + 2;
    }
    return !lines.empty();
}

std::string ServerText() {
    utsname name{};
    std::string release = ::uname(&name) == 0 ? name.release : "";
    release = release.substr(0, release.find_first_of(" /"));
    return "Linux/" + (release.empty() ? std::string("1") : release) + " UPnP/1.0 Tarvolin/1.0";
}

// The date of an HTTP header, in English whatever the locale.
std::string HttpDate() {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    ::gmtime_r(&now, &t);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday % 7],
                  t.tm_mday, kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min,
                  t.tm_sec);
    return text;
}

std::string ContentType(std::string_view name) {
    if (name.size() >= 5 && EqualsNoCase(name.substr(name.size() - 5), ".html"))
        return "text/html";
    return "text/xml";
}

std::string Answer(std::string_view status, std::string_view type, std::string_view body,
                   bool withBody, const std::string& lastModified) {
    std::string out = "HTTP/1.1 ";
    out.append(status).append("\r\n");
    out.append("CONTENT-LENGTH: ").append(std::to_string(body.size())).append("\r\n");
    out.append("Accept-Ranges: bytes\r\n");
    out.append("CONTENT-TYPE: ").append(type).append("\r\n");
    out.append("DATE: ").append(HttpDate()).append("\r\n");
    if (!lastModified.empty())
        out.append("LAST-MODIFIED: ").append(lastModified).append("\r\n");
    out.append("SERVER: ").append(ServerText()).append("\r\n");
    out.append("CONNECTION: close\r\n\r\n");
    if (withBody)
        out.append(body);
    return out;
}

std::string Refusal(std::string_view status, bool withBody) {
    const std::string body = "<html><body><h1>" + std::string(status) + "</h1></body></html>";
    return Answer(status, "text/html", body, withBody, std::string());
}

sockaddr_in Endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_addr.s_addr = address;
    out.sin_port = htons(port);
    return out;
}

struct Connection {
    UniqueFd fd;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    Clock::time_point deadline;
};

} // namespace

std::optional<SsdpSearch> ParseSsdpSearch(std::string_view datagram) {
    if (datagram.size() > kLargestDatagram)
        return std::nullopt;
    std::vector<std::string_view> lines;
    if (!SplitHead(datagram, lines) || lines.front() != "M-SEARCH * HTTP/1.1")
        return std::nullopt;
    std::optional<std::string_view> target, man, mx;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto colon = lines[i].find(':');
        if (colon == std::string_view::npos || colon == 0)
            return std::nullopt;
        const std::string_view name = lines[i].substr(0, colon);
        const std::string_view value = Trim(lines[i].substr(colon + 1));
        std::optional<std::string_view>* slot = EqualsNoCase(name, "ST")    ? &target
                                                : EqualsNoCase(name, "MAN") ? &man
                                                : EqualsNoCase(name, "MX")  ? &mx
                                                                            : nullptr;
        if (slot == nullptr)
            continue;
        if (*slot)
            return std::nullopt; // said twice: which one counts is anybody's guess
        *slot = value;
    }
    if (!target || target->empty() || target->size() > kLargestTarget || !man ||
        *man != "\"ssdp:discover\"")
        return std::nullopt;
    SsdpSearch search{std::string(*target), 0};
    if (mx) {
        const auto end = mx->data() + mx->size();
        const auto [ptr, ec] = std::from_chars(mx->data(), end, search.maxWait);
        if (ec != std::errc() || ptr != end || search.maxWait < 0 || mx->empty())
            return std::nullopt;
    }
    return search;
}

std::vector<SsdpTarget> SsdpTargetsFor(const SsdpDevice& device, std::string_view target) {
    const std::string udn = "uuid:" + device.uuid;
    const std::vector<SsdpTarget> all = {
        {"upnp:rootdevice", udn + "::upnp:rootdevice"},
        {udn, udn},
        {device.deviceType, udn + "::" + device.deviceType},
        {device.serviceType, udn + "::" + device.serviceType},
    };
    if (target == "ssdp:all")
        return all;
    std::vector<SsdpTarget> found;
    for (const SsdpTarget& one : all) {
        // A UUID is compared without regard to case, the other targets as they are.
        const bool same = &one == &all[1] ? EqualsNoCase(one.st, target) : one.st == target;
        if (same)
            found.push_back(one);
    }
    return found;
}

std::string SsdpSearchReply(const SsdpDevice& device, const SsdpTarget& target,
                            const std::string& location, const std::string& date) {
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=" + std::to_string(device.lifetimeSeconds) +
           "\r\nDATE: " + date + "\r\nEXT:\r\nLOCATION: " + location +
           "\r\nSERVER: " + ServerText() + "\r\nST: " + target.st + "\r\nUSN: " + target.usn +
           "\r\n\r\n";
}

std::string SsdpNotify(const SsdpDevice& device, const SsdpTarget& target,
                       const std::string& location, bool alive) {
    std::string out = "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n";
    if (alive)
        out += "CACHE-CONTROL: max-age=" + std::to_string(device.lifetimeSeconds) +
               "\r\nLOCATION: " + location + "\r\n";
    out += "NT: " + target.st + "\r\nNTS: " + (alive ? "ssdp:alive" : "ssdp:byebye") + "\r\n";
    if (alive)
        out += "SERVER: " + ServerText() + "\r\n";
    out += "USN: " + target.usn + "\r\n\r\n";
    return out;
}

std::string SsdpServedDescription(std::string_view description, std::string_view urlBase) {
    std::string out;
    std::size_t from = 0;
    while (from < description.size()) {
        auto end = description.find('\n', from);
        if (end == std::string_view::npos)
            end = description.size();
        const std::string_view line = Trim(description.substr(from, end - from));
        from = end + 1;
        if (line.empty())
            continue;
        out.append(line).append("\r\n");
    }
    const std::string base = "<URLBase>" + std::string(urlBase) + "</URLBase>\r\n";
    const auto root = out.rfind("</root>");
    if (root != std::string::npos)
        out.insert(root, base);
    return out;
}

std::string SsdpHttpAnswer(const SsdpDevice& device, const std::string& description,
                           std::string_view request, const std::string& lastModified) {
    std::vector<std::string_view> lines;
    if (request.size() > kLargestRequestHead || !SplitHead(request, lines))
        return Refusal("400 Bad Request", true);
    const std::string_view line = lines.front();
    const auto space = line.find(' ');
    const auto second = space == std::string_view::npos ? space : line.find(' ', space + 1);
    if (space == std::string_view::npos || second == std::string_view::npos ||
        line.find(' ', second + 1) != std::string_view::npos ||
        line.substr(second + 1).rfind("HTTP/1.", 0) != 0)
        return Refusal("400 Bad Request", true);
    const std::string_view method = line.substr(0, space);
    const std::string_view path = line.substr(space + 1, second - space - 1);
    if (method != "GET" && method != "HEAD")
        return Refusal("405 Method Not Allowed", true);
    const bool withBody = method == "GET";
    if (path == kDescriptionPath)
        return Answer("200 OK", "text/xml; charset=\"utf-8\"", description, withBody, lastModified);
    for (const UpnpServedFile& file : device.files) {
        if (path.size() == file.name.size() + 1 && path[0] == '/' && path.substr(1) == file.name)
            return Answer("200 OK", ContentType(file.name), file.content, withBody, lastModified);
    }
    return Refusal("404 Not Found", withBody);
}

std::unique_ptr<CSsdpResponder> CSsdpResponder::Start(const std::string& address, SsdpDevice device,
                                                      std::uint16_t ssdpPort) {
    in_addr wanted{};
    if (::inet_pton(AF_INET, address.c_str(), &wanted) != 1)
        return nullptr;
    std::unique_ptr<CSsdpResponder> self(new CSsdpResponder());
    unsigned interfaceIndex = 0;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return nullptr;
    for (const ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !it->ifa_netmask)
            continue;
        const auto* own = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (own->sin_addr.s_addr != wanted.s_addr)
            continue;
        const unsigned flags = it->ifa_flags;
        if ((flags & IFF_UP) && (flags & IFF_MULTICAST) && !(flags & IFF_LOOPBACK)) {
            self->localMask =
                reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr;
            interfaceIndex = ::if_nametoindex(it->ifa_name);
        }
        break;
    }
    ::freeifaddrs(list);
    if (interfaceIndex == 0)
        return nullptr;
    self->localAddress = wanted.s_addr;
    self->ssdpPort = ssdpPort;
    self->device = std::move(device);

    // The web server: on this interface's address only.
    self->listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in web = Endpoint(wanted.s_addr, 0);
    socklen_t length = sizeof web;
    if (!self->listener.Valid() ||
        ::bind(self->listener.Get(), reinterpret_cast<sockaddr*>(&web), sizeof web) != 0 ||
        ::listen(self->listener.Get(), 16) != 0 ||
        ::getsockname(self->listener.Get(), reinterpret_cast<sockaddr*>(&web), &length) != 0)
        return nullptr;
    const std::string base = "http://" + address + ":" + std::to_string(ntohs(web.sin_port));
    self->location = base + kDescriptionPath;
    self->served = SsdpServedDescription(self->device.description, base + "/");
    self->started = HttpDate();

    // The SSDP socket: the port of the group, shared with any other SSDP party of this machine,
    // member of the group on this interface alone.
    self->udp = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!self->udp.Valid())
        return nullptr;
    const int fd = self->udp.Get();
    const int on = 1, off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Only the groups this socket joined, not those other programs joined on other interfaces.
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    sockaddr_in any = Endpoint(htonl(INADDR_ANY), ssdpPort);
    ip_mreqn member{};
    ::inet_pton(AF_INET, kGroup, &member.imr_multiaddr);
    member.imr_address = wanted;
    member.imr_ifindex = static_cast<int>(interfaceIndex);
    const unsigned char ttl = kMulticastTtl;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &member, sizeof member) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &member, sizeof member) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
        return nullptr;

    self->wake = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!self->wake.Valid())
        return nullptr;
    try {
        self->thread = std::thread([raw = self.get()] { raw->Run(); });
    } catch (const std::system_error&) {
        return nullptr; // no thread to be had
    }
    self->Notify(true);
    return self;
}

CSsdpResponder::~CSsdpResponder() {
    if (thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake.Get(), &one, sizeof one);
        thread.join();
        Notify(false);
    }
}

void CSsdpResponder::Notify(bool alive) {
    std::uint32_t group = 0;
    ::inet_pton(AF_INET, kGroup, &group);
    const sockaddr_in to = Endpoint(group, ssdpPort);
    // Each datagram twice: SSDP goes over UDP, and one of them may be lost.
    for (int copy = 0; copy < 2; ++copy) {
        for (const SsdpTarget& target : SsdpTargetsFor(device, "ssdp:all")) {
            const std::string message = SsdpNotify(device, target, location, alive);
            ::sendto(udp.Get(), message.data(), message.size(), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }
}

void CSsdpResponder::Run() {
    std::vector<Connection> connections;
    // Announced again well before the control points' caches run out.
    const auto renewal = std::chrono::seconds(std::max(device.lifetimeSeconds / 2, 30));
    auto nextNotify = Clock::now() + renewal;
    double tokens = kReplyBurst;
    auto lastRefill = Clock::now();
    for (;;) {
        std::vector<pollfd> fds = {
            {wake.Get(), POLLIN, 0}, {udp.Get(), POLLIN, 0}, {listener.Get(), POLLIN, 0}};
        auto until = nextNotify;
        for (const Connection& c : connections) {
            fds.push_back({c.fd.Get(), static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
            until = std::min(until, c.deadline);
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        const int ready =
            ::poll(fds.data(), fds.size(),
                   static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, 60000)));
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[0].revents != 0)
            return;
        const auto now = Clock::now();
        if (now >= nextNotify) {
            Notify(true);
            nextNotify = now + renewal;
        }
        if (fds[1].revents & POLLIN) {
            tokens = std::min(kReplyBurst,
                              tokens + kRepliesPerSecond *
                                           std::chrono::duration<double>(now - lastRefill).count());
            lastRefill = now;
            const std::string date = HttpDate();
            for (int i = 0; i < kDatagramsPerWake; ++i) {
                char buffer[kLargestDatagram + 1];
                sockaddr_in from{};
                socklen_t fromLength = sizeof from;
                const ssize_t n =
                    ::recvfrom(udp.Get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n < 0)
                    break;
                // Answers go only to a port of a host of this interface's own subnet.
                if (static_cast<std::size_t>(n) > kLargestDatagram || from.sin_family != AF_INET ||
                    from.sin_port == 0 ||
                    (from.sin_addr.s_addr & localMask) != (localAddress & localMask) ||
                    (localMask != 0xffffffffu && (from.sin_addr.s_addr | localMask) == 0xffffffffu))
                    continue;
                const auto search =
                    ParseSsdpSearch(std::string_view(buffer, static_cast<std::size_t>(n)));
                if (!search)
                    continue;
                for (const SsdpTarget& target : SsdpTargetsFor(device, search->target)) {
                    if (tokens < 1)
                        break;
                    tokens -= 1;
                    const std::string reply = SsdpSearchReply(device, target, location, date);
                    ::sendto(udp.Get(), reply.data(), reply.size(), MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&from), sizeof from);
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            for (int i = 0; i < 16; ++i) {
                UniqueFd accepted(
                    ::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
                if (!accepted.Valid())
                    break;
                if (connections.size() >= kMostConnections)
                    continue; // closed at once
                connections.push_back({std::move(accepted), {}, {}, 0, now + kConnectionTime});
            }
        }
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            const short events = i + 3 < fds.size() && fds[i + 3].fd == c.fd.Get()
                                     ? fds[i + 3].revents
                                     : static_cast<short>(0);
            bool done = now >= c.deadline || (events & (POLLERR | POLLNVAL));
            if (!done && c.out.empty() && (events & (POLLIN | POLLHUP))) {
                char buffer[2048];
                const ssize_t n = ::recv(c.fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    c.in.append(buffer, static_cast<std::size_t>(n));
                    if (c.in.find("\r\n\r\n") != std::string::npos ||
                        c.in.size() > kLargestRequestHead)
                        c.out = SsdpHttpAnswer(device, served, c.in, started);
                } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    done = true;
                }
            }
            if (!done && !c.out.empty() && (events & POLLOUT)) {
                const ssize_t n = ::send(c.fd.Get(), c.out.data() + c.sent, c.out.size() - c.sent,
                                         MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0)
                    c.sent += static_cast<std::size_t>(n);
                else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    done = true;
                if (c.sent == c.out.size()) {
                    ::shutdown(c.fd.Get(), SHUT_WR);
                    done = true;
                }
            }
            if (done)
                c.fd.Reset();
        }
        std::erase_if(connections, [](const Connection& c) { return !c.fd.Valid(); });
    }
}

} // namespace tvn
