// Capturing the X screen, on an Xvfb of the test's own with a window of known pixels.
#include "pages/image/dib_image.h"
#include "platform/screen_capture.h"
#include "support/desktop_session.h"
#include "support/env_guard.h"

#include <QImage>
#include <bit>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <thread>

namespace tvn {
namespace {

using namespace std::chrono_literals;

// The colour of pixel (x, y), top row first, decoded through the capture's masks.
QRgb PixelAt(const CapturedScreen& screen, int x, int y) {
    std::uint32_t word;
    std::memcpy(&word, screen.pixels.data() + screen.stride * y + x * 4, sizeof word);
    auto channel = [word](std::uint32_t mask) {
        return int((word & mask) >> std::countr_zero(mask)) & 255;
    };
    return qRgb(channel(screen.redMask), channel(screen.greenMask), channel(screen.blueMask));
}

// Reads one line from `fd`, giving up after `limit`.
std::string ReadLineWithin(int fd, std::chrono::milliseconds limit) {
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

// The pattern window on the current DISPLAY; Ok() once it said it has painted.
class PatternWindow {
  public:
    PatternWindow() {
        env.Set("QT_QPA_PLATFORM", "xcb");
        int readEnd = -1;
        pid = test::SpawnWithOutput({TVN_TOOL_pattern_window}, readEnd);
        if (pid > 0) {
            ready = ReadLineWithin(readEnd, 10s) == "ready\n";
            ::close(readEnd);
        }
    }
    ~PatternWindow() { test::EndProcess(pid); }
    bool Ok() const { return ready; }

  private:
    test::EnvGuard env;
    pid_t pid = -1;
    bool ready = false;
};

TEST(ScreenCapture, FailsCleanlyWithoutAScreen) {
    test::EnvGuard env;
    for (const char* display : {"", ":4242"}) {
        SCOPED_TRACE(display);
        if (*display)
            env.Set("DISPLAY", display);
        else
            env.Unset("DISPLAY");
        CapturedScreen screen;
        std::string error;
        EXPECT_FALSE(CaptureScreen(screen, error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(screen.pixels.empty());
    }
}

// Xvfb without the shared-memory extension, so that captures read the screen over the wire.
class XvfbWithoutShm {
  public:
    XvfbWithoutShm() {
        int readEnd = -1;
        pid = test::SpawnWithOutput({"Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24",
                                     "-nolisten", "tcp", "-noreset", "-extension", "MIT-SHM"},
                                    readEnd, 3);
        if (pid <= 0)
            return;
        const std::string number = ReadLineWithin(readEnd, 10s);
        ::close(readEnd);
        if (!number.empty() && number[0] >= '0' && number[0] <= '9')
            env.Set("DISPLAY", ":" + number.substr(0, number.find('\n')));
        else
            pid = (test::EndProcess(pid), -1);
    }
    ~XvfbWithoutShm() { test::EndProcess(pid); }
    bool Ok() const { return pid > 0; }

  private:
    pid_t pid = -1;
    test::EnvGuard env;
};

// Captures until the pattern window's corners show: it said it painted, but the server may
// show it a moment later.
CapturedScreen CapturePattern() {
    CapturedScreen screen;
    std::string error;
    for (int tries = 0; tries < 50; ++tries) {
        EXPECT_TRUE(CaptureScreen(screen, error)) << error;
        if (screen.pixels.empty() ||
            (PixelAt(screen, 0, 0) == qRgb(255, 0, 0) &&
             PixelAt(screen, screen.width - 1, screen.height - 1) == qRgb(200, 100, 50)))
            break;
        std::this_thread::sleep_for(100ms);
    }
    return screen;
}

void ExpectPattern(const CapturedScreen& screen, int width, int height) {
    ASSERT_EQ(screen.width, width);
    ASSERT_EQ(screen.height, height);
    EXPECT_EQ(screen.bitsPerPixel, 32);
    EXPECT_EQ(PixelAt(screen, 10, 10), qRgb(255, 0, 0));
    EXPECT_EQ(PixelAt(screen, width - 10, 10), qRgb(0, 255, 0));
    EXPECT_EQ(PixelAt(screen, 10, height - 4), qRgb(0, 0, 255));
    EXPECT_EQ(PixelAt(screen, width - 1, height - 1), qRgb(200, 100, 50));
    for (int x = 0; x < width; ++x)
        ASSERT_EQ(PixelAt(screen, x, height / 2), qRgb(x & 255, (x * 3) & 255, 255 - (x & 255)))
            << x;
}

TEST(ScreenCapture, ReadsOverTheWireWithoutSharedMemory) {
    XvfbWithoutShm xvfb;
    if (!xvfb.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    PatternWindow window;
    ASSERT_TRUE(window.Ok());
    ExpectPattern(CapturePattern(), 640, 480);
}

TEST(ScreenCapture, ReadsThePaintedPixels) {
    test::XvfbScreen xvfb(1280, 1024);
    if (!xvfb.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    PatternWindow window;
    ASSERT_TRUE(window.Ok());
    const CapturedScreen screen = CapturePattern();
    ExpectPattern(screen, 1280, 1024);

    // As a picture: rows bottom-up, blue-green-red, every pixel as captured.
    CDibImage image;
    ASSERT_TRUE(image.CreateFromScreen(screen)) << image.LastError();
    EXPECT_EQ(image.BitsPerPixel(), 24);
    for (int y = 0; y < 1024; ++y) {
        const std::uint8_t* row = image.Row(1023 - y);
        for (int x = 0; x < 1280; ++x, row += 3)
            ASSERT_EQ(qRgb(row[2], row[1], row[0]), PixelAt(screen, x, y)) << x << "," << y;
    }

    // Fitted into 100 by 100 and sent as PNG: 100 by 80, each quadrant still its colour.
    ASSERT_TRUE(image.BoxShrink(100, 80));
    char* buffer = nullptr;
    std::size_t size = 0;
    ASSERT_TRUE(image.Encode(buffer, size, ImageKind::Png)) << image.LastError();
    const std::unique_ptr<char, CFreeDeleter> png(buffer);
    const QImage decoded = QImage::fromData(reinterpret_cast<const uchar*>(buffer), int(size));
    ASSERT_EQ(decoded.size(), QSize(100, 80));
    EXPECT_EQ(decoded.pixel(5, 5), qRgb(255, 0, 0));
    EXPECT_EQ(decoded.pixel(95, 5), qRgb(0, 255, 0));
    EXPECT_EQ(decoded.pixel(5, 75), qRgb(0, 0, 255));
    EXPECT_EQ(decoded.pixel(95, 75), qRgb(200, 100, 50));
}

TEST(ScreenCapture, PortraitScreenKeepsItsShape) {
    test::XvfbScreen xvfb(1024, 1280);
    if (!xvfb.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    CapturedScreen screen;
    std::string error;
    ASSERT_TRUE(CaptureScreen(screen, error)) << error;
    EXPECT_EQ(screen.width, 1024);
    EXPECT_EQ(screen.height, 1280);
    EXPECT_GE(screen.pixels.size(), screen.stride * 1280);
    CDibImage image;
    ASSERT_TRUE(image.CreateFromScreen(screen));
    EXPECT_EQ(image.Width(), 1024);
    EXPECT_EQ(image.Height(), 1280);
}

TEST(ScreenCapture, PictureRefusesACaptureWithoutPixels) {
    CapturedScreen screen;
    screen.width = 4;
    screen.height = 4;
    screen.bitsPerPixel = 32;
    screen.stride = 16;
    screen.pixels.resize(63); // one byte short
    CDibImage image;
    EXPECT_FALSE(image.CreateFromScreen(screen));
    EXPECT_STREQ(image.LastError(), "GetDIBits failed");
}

} // namespace
} // namespace tvn
