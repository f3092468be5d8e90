// Capturing the X screen, on an Xvfb of the test's own with a window of known pixels.
#include "pages/image/dib_image.h"
#include "platform/screen_capture.h"
#include "support/desktop_session.h"
#include "support/desktop_windows.h"
#include "support/env_guard.h"

#include <QImage>
#include <atomic>
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

using test::PatternWindow;

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
    test::XvfbScreen xvfb(640, 480, {"-extension", "MIT-SHM"}); // read over the wire
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

// The X server going away in the middle of captures (the desktop session ends) fails the
// capture under way; the process lives on.
TEST(ScreenCapture, ServerThatGoesAwayMeanwhileOnlyFailsTheCapture) {
    auto xvfb = std::make_unique<test::XvfbScreen>(1920, 1080);
    if (!xvfb->Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    std::atomic<bool> stop{false};
    std::atomic<int> made{0};
    std::thread capturing([&] {
        while (!stop) {
            CapturedScreen screen;
            std::string error;
            if (CaptureScreen(screen, error))
                ++made;
        }
    });
    while (made == 0)
        std::this_thread::sleep_for(1ms);
    xvfb.reset(); // ends the server, whatever the capture is doing
    std::this_thread::sleep_for(200ms);
    stop = true;
    capturing.join();
    CapturedScreen screen;
    std::string error;
    EXPECT_FALSE(CaptureScreen(screen, error));
}

} // namespace
} // namespace tvn
