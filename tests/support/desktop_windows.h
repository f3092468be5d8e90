#pragma once

// Windows of helper programs on the test's screen.
#include "support/desktop_session.h"
#include "support/env_guard.h"

#include <chrono>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace tvn::test {

// Reads one line from `fd`, giving up after `limit`.
inline std::string ReadLineWithin(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + limit;
    char c = 0;
    while (c != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0 || ::read(fd, &c, 1) != 1)
            break;
        line.push_back(c);
    }
    return line;
}

#ifdef TVN_TOOL_pattern_window
// The pattern window over the whole screen of the current DISPLAY: four quadrants (red,
// green, blue, and (200, 100, 50) at the bottom right) and across the middle a strip whose
// pixel in column x is (x mod 256, 3x mod 256, 255 - x mod 256). Ok() once it has painted.
class PatternWindow {
  public:
    PatternWindow() {
        env.Set("QT_QPA_PLATFORM", "xcb");
        int readEnd = -1;
        pid = SpawnWithOutput({TVN_TOOL_pattern_window}, readEnd);
        if (pid > 0) {
            ready = ReadLineWithin(readEnd, std::chrono::seconds(10)) == "ready\n";
            ::close(readEnd);
        }
    }
    ~PatternWindow() { EndProcess(pid); }
    PatternWindow(const PatternWindow&) = delete;
    PatternWindow& operator=(const PatternWindow&) = delete;
    bool Ok() const { return ready; }

  private:
    EnvGuard env;
    pid_t pid = -1;
    bool ready = false;
};
#endif

#ifdef TVN_TOOL_depth_pattern_window
// The depth tests' pattern (support/depth_pattern.h) over the whole screen of the current
// DISPLAY, whatever its depth. Ok() once the server holds it.
class DepthPatternWindow {
  public:
    DepthPatternWindow() {
        int readEnd = -1;
        pid = SpawnWithOutput({TVN_TOOL_depth_pattern_window}, readEnd);
        if (pid > 0) {
            ready = ReadLineWithin(readEnd, std::chrono::seconds(10)) == "ready\n";
            ::close(readEnd);
        }
    }
    ~DepthPatternWindow() { EndProcess(pid); }
    DepthPatternWindow(const DepthPatternWindow&) = delete;
    DepthPatternWindow& operator=(const DepthPatternWindow&) = delete;
    bool Ok() const { return ready; }

  private:
    pid_t pid = -1;
    bool ready = false;
};
#endif

} // namespace tvn::test
