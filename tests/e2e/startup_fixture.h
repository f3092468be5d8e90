#pragma once

#include "support/file_bytes.h"
#include "support/loopback_client.h"
// Runs the built program in a folder of its own: settings, executable, documents, runtime
// and home folders below one temporary folder, no display, a loopback port of its own.

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn::test {

// Every wait of these tests ends after this long.
inline constexpr int kWaitMs = 10000;

// Sends a GET on a fresh connection and returns everything the server sent back.
inline std::string HttpGet(int port, const std::string& path) {
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return {};
    const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    [[maybe_unused]] const auto sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    pollfd poller{fd, POLLIN, 0};
    char buffer[4096];
    while (::poll(&poller, 1, kWaitMs) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

class StartupTest : public ::testing::Test {
  protected:
    struct Finished {
        bool exited = false; // within the wait, on its own
        int exitCode = -1;
        std::string out;
        std::string err;
    };

    void SetUp() override {
        ASSERT_TRUE(temp.isValid());
        base = temp.path().toStdString();
        for (const char* folder : {"app", "exec", "docs", "run", "home", "site"})
            std::filesystem::create_directories(base + "/" + folder);
        ::chmod((base + "/run").c_str(), 0700);
        port = FreeLoopbackPort();
    }

    std::string Path(const std::string& relative) const { return base + "/" + relative; }
    std::string SettingsFile() const { return Path("app/TVN.cfg"); }
    std::string Settings() const { return ReadFileBytes(SettingsFile()).value_or(""); }

    // Writes TVN.cfg: no network presence, this test's port and the folder "site" as root,
    // then `extra` (which may override any of them).
    void WriteSettings(const std::map<std::string, std::string>& extra = {}) const {
        std::map<std::string, std::string> keys = {{"Port", std::to_string(port)},
                                                   {"Root", Path("site")},
                                                   {"uPnPDiscovery", "0"},
                                                   {"uPnPRouter", "0"},
                                                   {"HideLog", "1"},
                                                   {"HttpsPort", "0"}};
        for (const auto& [key, value] : extra)
            keys[key] = value;
        std::string text = "[SOFTWARE\\Tarvolin\\1.0]\n";
        for (const auto& [key, value] : keys)
            text += key + "=" + value + "\n";
        WriteFileBytes(SettingsFile(), text);
    }

    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                                 "XDG_CACHE_HOME", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("U3_APP_DATA_PATH", QString::fromStdString(Path("app")));
        env.insert("U3_DEVICE_EXEC_PATH", QString::fromStdString(Path("exec")));
        env.insert("U3_DEVICE_DOCUMENT_PATH", QString::fromStdString(Path("docs")));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(Path("run")));
        env.insert("HOME", QString::fromStdString(Path("home")));
        env.insert("TVN_FIREWALL_BUS", "none"); // the host's firewall is not the test's
        return env;
    }

    // Starts the program in the background; standard input is closed at once (no terminal).
    std::unique_ptr<QProcess> Start(const QStringList& arguments = {}) const {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(Environment());
        process->setWorkingDirectory(QString::fromStdString(base));
        process->start(TVN_PROGRAM, arguments);
        process->waitForStarted(kWaitMs);
        process->closeWriteChannel();
        return process;
    }

    // Waits for the end of `process`; a process still running afterwards is killed.
    static Finished Wait(QProcess& process, int timeoutMs = kWaitMs) {
        Finished result;
        result.exited =
            process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kWaitMs);
        }
        result.exitCode = process.exitCode();
        result.out = process.readAllStandardOutput().toStdString();
        result.err = process.readAllStandardError().toStdString();
        return result;
    }

    // Runs the program to its end.
    Finished Run(const QStringList& arguments) const {
        auto process = Start(arguments);
        return Wait(*process);
    }

    static int Occurrences(const std::string& text, const std::string& needle) {
        int count = 0;
        for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++count;
        return count;
    }

    // Reads standard output of `process` into `seen` until it holds `needle` `count` times.
    // True when that happened within the wait.
    static bool WaitForOutput(QProcess& process, const std::string& needle, std::string& seen,
                              int count = 1) {
        QElapsedTimer clock;
        clock.start();
        while (Occurrences(seen, needle) < count && clock.elapsed() < kWaitMs &&
               process.state() == QProcess::Running) {
            process.waitForReadyRead(100);
            seen += process.readAllStandardOutput().toStdString();
        }
        seen += process.readAllStandardOutput().toStdString();
        return Occurrences(seen, needle) >= count;
    }

    // True once something accepts connections on the port, within the wait.
    static bool WaitForListening(int onPort) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < kWaitMs) {
            const int fd = ConnectLoopback(onPort);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            QThread::msleep(20);
        }
        return false;
    }

    QTemporaryDir temp;
    std::string base;
    int port = 0;
};

} // namespace tvn::test
