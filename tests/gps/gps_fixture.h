#pragma once

// What the receiver's tests share: settings and logs in a fresh folder, sentences with their
// checksums, a pseudo-terminal standing in for the receiver's serial line, a report server
// on 127.0.0.1 and a locale that writes decimal commas.
#include "config/settings_section.h"
#include "gps/detail/nmea.h"
#include "platform/ini_file.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvn::test {

// `body` ("GPGGA,...") as a sentence with its checksum: "$" body "*" two hex digits.
inline std::string Sentence(const std::string& body) {
    char sum[3];
    std::snprintf(sum, sizeof sum, "%02X", gps::SentenceChecksum("$" + body));
    return "$" + body + "*" + sum;
}

inline constexpr const char* kExample =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";

inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    for (int waited = 0; waited < ms && !done(); waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

inline std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Settings, GPS log and history in a folder of the test's own; no proxy between the
// reports and the test's server.
class GpsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Valid());
        SettingsSection::OverrideFilePath(dir / "TVN.cfg");
        Set("GpsLogFileName", LogPath());
        Set("NMEAPortTemplate", dir / "none%d");
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
    std::string LogPath() const { return dir / "gps.log"; }
    std::string LogText() const { return ReadFile(LogPath()); }

    TempDir dir;
    EnvGuard env;
};

// Both ends of a pseudo-terminal; the reader opens the slave by name.
class Pty {
  public:
    Pty() {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
            slaveName = name;
    }
    ~Pty() {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Valid() const { return !slaveName.empty(); }
    const std::string& SlaveName() const { return slaveName; }
    int SlaveFd() const { return slave; }
    bool Write(const std::string& bytes) const {
        return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

  private:
    int master = -1;
    int slave = -1;
    std::string slaveName;
};

// An HTTP server on 127.0.0.1 that answers every request "200 ok" and keeps its request
// lines.
class ReportServer {
  public:
    ReportServer() {
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
    ~ReportServer() {
        stop = true;
        server.join();
        ::close(listener);
    }
    ReportServer(const ReportServer&) = delete;
    ReportServer& operator=(const ReportServer&) = delete;

    int Port() const { return port; }
    std::vector<std::string> Requests() const {
        std::lock_guard guard(lock);
        return requests;
    }
    // A report URL template aimed at this server.
    std::string UrlTemplate() const {
        return "http://127.0.0.1:" + std::to_string(port) +
               "/zadizo/update.php?server=%s&time=%d&lon=%f&lat=%f&port=%d";
    }

  private:
    void Serve() {
        while (!stop) {
            pollfd wait{listener, POLLIN, 0};
            if (::poll(&wait, 1, 20) <= 0)
                continue;
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
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
            {
                std::lock_guard guard(lock);
                requests.push_back(head.substr(0, head.find("\r\n")));
            }
            const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
            ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    int listener = -1;
    int port = -1;
    std::atomic<bool> stop = false;
    mutable std::mutex lock;
    std::vector<std::string> requests;
    std::thread server;
};

// Switches the process to a German locale (decimal comma) for one scope, compiling it into a
// private folder when the system has none; Active() is false when that cannot be done.
class DecimalCommaLocale {
  public:
    DecimalCommaLocale() {
        active = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        if (!active && !PrivateFolder().empty()) {
            env.Set("LOCPATH", PrivateFolder());
            active = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        }
        char text[16];
        std::snprintf(text, sizeof text, "%.1f", 1.5);
        active = active && std::string(text) == "1,5";
    }
    ~DecimalCommaLocale() { std::setlocale(LC_ALL, "C"); }
    DecimalCommaLocale(const DecimalCommaLocale&) = delete;
    DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;
    bool Active() const { return active; }

  private:
    // A folder holding de_DE.UTF-8 made by localedef once per run, or empty.
    static const std::string& PrivateFolder() {
        static TempDir folder;
        static const std::string made = [] {
            const std::string command =
                "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8") + "' >/dev/null 2>&1";
            return folder.Valid() && std::system(command.c_str()) == 0 ? folder.Path()
                                                                       : std::string();
        }();
        return made;
    }
    EnvGuard env;
    bool active = false;
};

} // namespace tvn::test
