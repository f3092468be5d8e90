#pragma once

// What the dynamic DNS tests share: settings in a fresh folder, an update service on
// 127.0.0.1 that answers what the test says and keeps every request head, and a way to wait
// for an update's result on the event loop.
#include "config/settings_section.h"
#include "platform/ini_file.h"
#include "presence/dyn_dns.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <QCoreApplication>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <deque>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvn::test {

struct Answer {
    int status = 200;
    std::string body;
    int delayMs = 0;
};

// An update service on 127.0.0.1: answers each request with the next queued answer ("200
// good" when none is queued) and keeps the request heads.
class UpdateServer {
  public:
    UpdateServer() {
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
    ~UpdateServer() {
        stop = true;
        server.join();
        ::close(listener);
    }
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
    void Queue(Answer answer) {
        std::lock_guard guard(lock);
        answers.push_back(std::move(answer));
    }
    std::vector<std::string> Heads() const {
        std::lock_guard guard(lock);
        return heads;
    }
    std::size_t Count() const { return Heads().size(); }

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
        Answer answer{200, "good 10.1.2.3", 0};
        {
            std::lock_guard guard(lock);
            heads.push_back(head);
            if (!answers.empty()) {
                answer = answers.front();
                answers.pop_front();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
        const std::string bytes = "HTTP/1.0 " + std::to_string(answer.status) +
                                  " X\r\nContent-Length: " + std::to_string(answer.body.size()) +
                                  "\r\n\r\n" + answer.body;
        ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ::close(client);
    }

    int listener = -1;
    int port = -1;
    std::atomic<bool> stop = false;
    mutable std::mutex lock; // guards the two below
    std::deque<Answer> answers;
    std::vector<std::string> heads;
    std::thread server;
};

inline DynDnsAccount Home(std::string password = "secret", std::string address = "10.1.2.3") {
    return {"alice", std::move(password), "home", "example", std::move(address)};
}

// Settings in a folder of the test's own, the service at UpdateServer, no proxy between.
class DynDnsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        SettingsSection::OverrideFilePath(dir / "TVN.cfg");
        Set("DNS_UpdateURL", server.Url());
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            env.Unset(name);
    }
    void TearDown() override { SettingsSection::OverrideFilePath(""); }

    void Set(const char* key, const std::string& value) const {
        ini::WriteString(dir / "TVN.cfg", kSettingsSectionName, key, value);
    }
    std::string Get(const char* key) const {
        return ini::ReadString(dir / "TVN.cfg", kSettingsSectionName, key, "<missing>");
    }

    // Runs one update and waits on the event loop for its result.
    static DynDnsResult Run(CDynDns& client, const DynDnsAccount& account) {
        std::optional<DynDnsResult> result;
        EXPECT_TRUE(client.Update(account, [&](const DynDnsResult& r) { result = r; }));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!result && std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_TRUE(result.has_value());
        return result.value_or(DynDnsResult{-1, "<no result>", "<no result>"});
    }

    TempDir dir;
    EnvGuard env;
    UpdateServer server;
};

} // namespace tvn::test
