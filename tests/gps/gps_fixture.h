#pragma once

// What the receiver's tests share: settings and logs in a fresh folder, sentences with their
// checksums, a pseudo-terminal standing in for the receiver's serial line, a report server
// on 127.0.0.1 and a locale that writes decimal commas.
#include "gps/detail/nmea.h"
#include "support/env_guard.h"
#include "support/loopback_http_server.h"
#include "support/settings_folder.h"
#include "support/spin.h"
#include "support/temp_dir.h"

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <termios.h>
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

inline std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Settings, GPS log and history in a folder of the test's own; no proxy between the
// reports and the test's server.
class GpsTest : public SettingsFolderTest {
  protected:
    void SetUp() override {
        SettingsFolderTest::SetUp();
        Set("GpsLogFileName", LogPath());
        Set("NMEAPortTemplate", dir / "none%d");
    }
    std::string LogPath() const { return dir / "gps.log"; }
    std::string LogText() const { return ReadFile(LogPath()); }
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

// The report server on 127.0.0.1: answers every request "200 ok".
class ReportServer : public LoopbackHttpServer {
  public:
    ReportServer() : LoopbackHttpServer({200, "ok", 0, "OK"}) {}
    std::vector<std::string> Requests() const { return RequestLines(); }
    // A report URL template aimed at this server.
    std::string UrlTemplate() const {
        return Url() + "/zadizo/update.php?server=%s&time=%d&lon=%f&lat=%f&port=%d";
    }
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
