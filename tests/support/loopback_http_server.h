#pragma once

// An HTTP server on 127.0.0.1 for the clients of the program (the location reports, the
// dynamic DNS updates): answers each request with the next queued answer, or the one it was
// made with when none is queued, and keeps every request head.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvn::test {

struct HttpAnswer {
    int status = 200;
    std::string body;
    int delayMs = 0; // before the answer is sent
    std::string reason = "X";
};

class LoopbackHttpServer {
  public:
    explicit LoopbackHttpServer(HttpAnswer fallback) : usual(std::move(fallback)) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            ::listen(listener, 8) == 0)
            port = ntohs(address.sin_port);
        server = std::thread([this] { Serve(); });
    }
    ~LoopbackHttpServer() {
        stop = true;
        server.join();
        ::close(listener);
    }
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int Port() const { return port; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
    void Queue(HttpAnswer answer) {
        std::lock_guard guard(lock);
        answers.push_back(std::move(answer));
    }
    // Every request head so far (up to its empty line), in the order they came.
    std::vector<std::string> Heads() const {
        std::lock_guard guard(lock);
        return heads;
    }
    std::size_t Count() const { return Heads().size(); }
    // The first line of every request head.
    std::vector<std::string> RequestLines() const {
        std::vector<std::string> lines;
        for (const std::string& head : Heads())
            lines.push_back(head.substr(0, head.find("\r\n")));
        return lines;
    }

  private:
    void Serve() {
        while (!stop) {
            pollfd wait{listener, POLLIN, 0};
            if (::poll(&wait, 1, 20) <= 0)
                continue;
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                AnswerOne(client);
        }
    }
    void AnswerOne(int client) {
        std::string head;
        char buffer[1024];
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd in{client, POLLIN, 0};
            if (::poll(&in, 1, 2000) <= 0)
                break;
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            head.append(buffer, static_cast<std::size_t>(got));
        }
        HttpAnswer answer = usual;
        {
            std::lock_guard guard(lock);
            heads.push_back(head);
            if (!answers.empty()) {
                answer = answers.front();
                answers.pop_front();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
        const std::string bytes =
            "HTTP/1.0 " + std::to_string(answer.status) + " " + answer.reason +
            "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\n\r\n" + answer.body;
        ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ::close(client);
    }

    const HttpAnswer usual;
    int listener = -1;
    int port = -1;
    std::atomic<bool> stop = false;
    mutable std::mutex lock; // guards the two below
    std::deque<HttpAnswer> answers;
    std::vector<std::string> heads;
    std::thread server;
};

} // namespace tvn::test
