#pragma once

// What the LAN lab tests share: entering a network namespace the test made, an SSDP search
// and a plain HTTP GET from inside it.
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tvn::test {

inline bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

inline std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Moves the calling thread into a named network namespace and back out when it goes.
class NetnsGuard {
  public:
    explicit NetnsGuard(const std::string& name)
        : home(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
        const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        entered = home >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            ::close(target);
    }
    ~NetnsGuard() {
        if (entered)
            ::setns(home, CLONE_NEWNET);
        if (home >= 0)
            ::close(home);
    }
    NetnsGuard(const NetnsGuard&) = delete;
    NetnsGuard& operator=(const NetnsGuard&) = delete;
    bool Entered() const { return entered; }

  private:
    int home;
    bool entered = false;
};

using Headers = std::map<std::string, std::string>; // names in upper case

// An SSDP search for `target` from `from` (an address of this namespace): the headers of
// every answer that comes within `waitMs`.
inline std::vector<Headers> Search(const std::string& target, int waitMs, const std::string& from) {
    std::vector<Headers> answers;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return answers;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    const unsigned char ttl = 2;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof local.sin_addr);
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(1900);
    ::inet_pton(AF_INET, "239.255.255.250", &group.sin_addr);
    const std::string request = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                                "MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: " +
                                target + "\r\n\r\n";
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&group),
                 sizeof group) < 0) {
        ::close(fd);
        return answers;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (auto now = std::chrono::steady_clock::now(); now < end;
         now = std::chrono::steady_clock::now()) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            continue;
        Headers headers;
        std::string text(buffer, static_cast<std::size_t>(n));
        for (std::size_t at = text.find("\r\n"); at != std::string::npos;) {
            const std::size_t next = text.find("\r\n", at + 2);
            const std::string line = text.substr(at + 2, next - at - 2);
            if (const std::size_t colon = line.find(':'); colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (char& c : name)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                std::string value = line.substr(colon + 1);
                value.erase(0, value.find_first_not_of(' '));
                headers[name] = value;
            }
            at = next;
        }
        answers.push_back(std::move(headers));
    }
    ::close(fd);
    return answers;
}

struct Reply {
    int status = 0; // 0 when nothing came
    std::string body;
};

// GET `target`, sent byte for byte as given, from `host`:`port`; bounded to three seconds.
inline Reply Get(const std::string& host, int port, const std::string& target) {
    Reply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return reply;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &peer.sin_addr);
    const timeval limit{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + host + ":" +
                                std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    std::string bytes;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (bytes.rfind("HTTP/1.", 0) == 0 && bytes.size() > 12)
        reply.status = std::atoi(bytes.c_str() + 9);
    if (const std::size_t head = bytes.find("\r\n\r\n"); head != std::string::npos)
        reply.body = bytes.substr(head + 4);
    return reply;
}

// "http://host:port/path" split up; port 0 when the URL is not of that form.
struct Url {
    std::string host;
    int port = 0;
    std::string path;
};
inline Url SplitUrl(const std::string& url) {
    Url out;
    if (url.rfind("http://", 0) != 0)
        return out;
    const std::size_t colon = url.find(':', 7);
    const std::size_t slash = url.find('/', 7);
    if (colon == std::string::npos || slash == std::string::npos || colon > slash)
        return out;
    out.host = url.substr(7, colon - 7);
    out.port = std::atoi(url.substr(colon + 1, slash - colon - 1).c_str());
    out.path = url.substr(slash);
    return out;
}

} // namespace tvn::test
