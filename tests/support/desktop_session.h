#pragma once

// A desktop of the test's own: an Xvfb screen and a private session bus, each started for
// the test and ended with it. Both set their variable (DISPLAY, DBUS_SESSION_BUS_ADDRESS)
// while they live and put the old value back afterwards.
#include "support/env_guard.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tvn::test {

// Starts `argv` with its standard output into a pipe; the child's pid and the read end.
inline pid_t SpawnWithOutput(const std::vector<std::string>& argv, int& readEnd, int outputFd = 1) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], outputFd);
        const int devNull = ::open("/dev/null", O_RDWR);
        if (outputFd != 1)
            ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    readEnd = fds[0];
    return pid;
}

// Reads from `fd` until `lines` line feeds arrived or the writer closed.
inline std::string ReadLines(int fd, int lines) {
    std::string text;
    char c;
    while (lines > 0 && ::read(fd, &c, 1) == 1) {
        text.push_back(c);
        if (c == '\n')
            --lines;
    }
    return text;
}

inline void EndProcess(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// An Xvfb screen of the given size and depth (24: TrueColor in 32-bit pixels; 16: TrueColor
// 565; 8: PseudoColor with a colormap). Ok() is false when Xvfb is missing.
class XvfbScreen {
  public:
    // `extra` are further options of Xvfb (such as "-extension", "MIT-SHM" to turn one off).
    explicit XvfbScreen(int width = 1280, int height = 1024,
                        const std::vector<std::string>& extra = {}, int depth = 24) {
        int readEnd = -1;
        const std::string screen =
            std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
        // Xvfb writes the display number to descriptor 3.
        std::vector<std::string> argv{"Xvfb", "-displayfd", "3",   "-screen", "0",
                                      screen, "-nolisten",  "tcp", "-noreset"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid = SpawnWithOutput(argv, readEnd, 3);
        if (pid <= 0)
            return;
        const std::string number = ReadLines(readEnd, 1);
        ::close(readEnd);
        if (number.empty() || number[0] < '0' || number[0] > '9') {
            EndProcess(pid);
            pid = -1;
            return;
        }
        display = ":" + number.substr(0, number.find('\n'));
        env.Set("DISPLAY", display);
        env.Unset("WAYLAND_DISPLAY");
    }
    ~XvfbScreen() { EndProcess(pid); }
    XvfbScreen(const XvfbScreen&) = delete;
    XvfbScreen& operator=(const XvfbScreen&) = delete;

    bool Ok() const { return pid > 0; }
    const std::string& Display() const { return display; }

  private:
    pid_t pid = -1;
    std::string display;
    EnvGuard env;
};

// A private session bus. Ok() is false when dbus-daemon is missing.
class PrivateSessionBus {
  public:
    PrivateSessionBus() {
        int readEnd = -1;
        pid = SpawnWithOutput(
            {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, readEnd);
        if (pid <= 0)
            return;
        std::string line = ReadLines(readEnd, 1);
        ::close(readEnd);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.empty()) {
            EndProcess(pid);
            pid = -1;
            return;
        }
        address = line;
        env.Set("DBUS_SESSION_BUS_ADDRESS", address);
    }
    ~PrivateSessionBus() { EndProcess(pid); }
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    bool Ok() const { return pid > 0; }
    const std::string& Address() const { return address; }

  private:
    pid_t pid = -1;
    std::string address;
    EnvGuard env;
};

} // namespace tvn::test
