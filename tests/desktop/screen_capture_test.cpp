// Capturing the X screen, on an Xvfb of the test's own with a window of known pixels.
#include "pages/image/dib_image.h"
#include "platform/screen_capture.h"
#include "support/depth_pattern.h"
#include "support/desktop_session.h"
#include "support/desktop_windows.h"
#include "support/env_guard.h"

#include <QImage>
#include <atomic>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Screens of 16 and 8 bits were refused, so their screenshot was the placeholder: a screen
// of any depth is read, its pixels as the colours the screen shows (through the colormap on
// a palette screen), and those colours reach the PNG.
TEST(ScreenCapture, ReadsThePaintedPixelsAtEveryDepth) {
    constexpr int kWidth = 320, kHeight = 240;
    // Through shared memory, and over the wire.
    const std::vector<std::string> shared, wire = {"-extension", "MIT-SHM"};
    for (const auto& [depth, way] : {std::pair{test::kScreenDepths[0], shared},
                                     {test::kScreenDepths[1], shared},
                                     {test::kScreenDepths[1], wire},
                                     {test::kScreenDepths[2], shared},
                                     {test::kScreenDepths[2], wire}}) {
        SCOPED_TRACE(testing::Message() << depth.depth << (way.empty() ? " shared" : " wire"));
        test::XvfbScreen xvfb(kWidth, kHeight, way, depth.depth);
        if (!xvfb.Ok())
            GTEST_SKIP() << "Xvfb is not installed";
        test::DepthPatternWindow window;
        ASSERT_TRUE(window.Ok());
        auto expected = [&](int x, int y) {
            return 0xff000000u |
                   test::ShownColour(test::DepthPatternColour(x, y, kWidth, kHeight), depth);
        };
        CapturedScreen screen;
        std::string error;
        ASSERT_TRUE(CaptureScreen(screen, error)) << error;
        ASSERT_EQ(screen.width, kWidth);
        ASSERT_EQ(screen.height, kHeight);
        ASSERT_EQ(screen.bitsPerPixel, 32);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                ASSERT_EQ(PixelAt(screen, x, y), expected(x, y)) << x << "," << y;

        CDibImage image;
        ASSERT_TRUE(image.CreateFromScreen(screen)) << image.LastError();
        char* buffer = nullptr;
        std::size_t size = 0;
        ASSERT_TRUE(image.Encode(buffer, size, ImageKind::Png)) << image.LastError();
        const std::unique_ptr<char, CFreeDeleter> png(buffer);
        const QImage decoded = QImage::fromData(reinterpret_cast<const uchar*>(buffer), int(size))
                                   .convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(decoded.size(), QSize(kWidth, kHeight));
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                ASSERT_EQ(decoded.pixel(x, y), expected(x, y)) << x << "," << y;
    }
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

// An X server on an abstract socket of this network namespace that greets each client with
// the setup of one 16x16 TrueColor screen of 32-bit pixels and then answers nothing more.
// Deaf, it shuts its reading side before the greeting, so the client's first write fails as
// to a server that died; otherwise it takes the requests in and never answers, as a hung
// server does.
class CDeafServer {
  public:
    explicit CDeafServer(bool deaf = true) : shutReading(deaf) {
        for (number = 4100; number < 4200; ++number) {
            listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
            std::memcpy(address.sun_path + 1, path.data(), path.size());
            const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size());
            if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                listen(listener, 8) == 0)
                break;
            close(listener);
            listener = -1;
        }
        if (listener >= 0)
            serving = std::thread([this] { Serve(); });
    }
    ~CDeafServer() {
        if (listener < 0)
            return;
        shutdown(listener, SHUT_RDWR);
        serving.join();
        close(listener);
        for (const int client : clients)
            close(client);
    }
    bool Ok() const { return listener >= 0; }
    std::string Display() const { return ":" + std::to_string(number); }

  private:
    void Serve() {
        const std::vector<std::uint8_t> setup = Setup();
        for (;;) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            std::uint8_t request[12];
            if (recv(client, request, sizeof request, MSG_WAITALL) == sizeof request) {
                const int authBytes = ((request[6] | request[7] << 8) + 3) / 4 * 4 +
                                      ((request[8] | request[9] << 8) + 3) / 4 * 4;
                std::vector<std::uint8_t> auth(std::size_t(authBytes) + 1);
                if (authBytes == 0 ||
                    recv(client, auth.data(), std::size_t(authBytes), MSG_WAITALL) == authBytes) {
                    // Before the greeting: the client cannot have written a request yet.
                    if (shutReading)
                        shutdown(client, SHUT_RD);
                    (void)send(client, setup.data(), setup.size(), MSG_NOSIGNAL);
                }
            }
            clients.push_back(client);
        }
    }

    static std::vector<std::uint8_t> Setup() {
        std::vector<std::uint8_t> b;
        auto u8 = [&b](unsigned v) { b.push_back(std::uint8_t(v)); };
        auto u16 = [&](unsigned v) { u8(v & 255), u8(v >> 8); };
        auto u32 = [&](std::uint32_t v) { u16(v & 0xffff), u16(v >> 16); };
        u8(1), u8(0), u16(11), u16(0), u16(0);            // success, 11.0, length filled in below
        u32(0), u32(0x00200000), u32(0x001fffff), u32(0); // release, id base and mask, motion
        u16(4), u16(0xffff);                              // vendor length, max request length
        u8(1), u8(1), u8(0), u8(0), u8(32), u8(32), u8(8), u8(255); // one screen, one format, LSB
        u32(0);
        u8('t'), u8('e'), u8('s'), u8('t');                     // vendor
        u8(24), u8(32), u8(32), u8(0), u32(0);                  // depth 24 as 32 bits a pixel
        u32(0x1e), u32(0x20), u32(0xffffff), u32(0);            // root, colormap, white, black
        u32(0), u16(16), u16(16), u16(4), u16(4);               // input masks, pixels, millimetres
        u16(1), u16(1), u32(0x21), u8(0), u8(0), u8(24), u8(1); // maps, visual, depth 24
        u8(24), u8(0), u16(1), u32(0);                          // one depth with one visual
        u32(0x21), u8(4), u8(8), u16(256);                      // TrueColor
        u32(0xff0000), u32(0x00ff00), u32(0x0000ff), u32(0);
        const std::size_t words = (b.size() - 8) / 4;
        b[6] = std::uint8_t(words & 255);
        b[7] = std::uint8_t(words >> 8);
        return b;
    }

    bool shutReading;
    int number = 0;
    int listener = -1;
    std::vector<int> clients; // the serving thread's until it ends
    std::thread serving;
};

// A server that stops taking requests after the setup makes our first request's write fail,
// which raises SIGPIPE: it fails the capture and, even with SIGPIPE's default action (the
// program's listening sockets ignore it, a test alone does not), nothing else.
TEST(ScreenCapture, ServerThatStopsReadingAfterTheSetupOnlyFailsTheCapture) {
    CDeafServer server;
    ASSERT_TRUE(server.Ok());
    test::EnvGuard env;
    env.Set("DISPLAY", server.Display().c_str());
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    struct sigaction before {};
    sigaction(SIGPIPE, &defaultAction, &before);
    for (int round = 0; round < 5; ++round) {
        CapturedScreen screen;
        std::string error;
        EXPECT_FALSE(CaptureScreen(screen, error));
        // Past the connection setup: the setup above was taken for a usable screen.
        EXPECT_NE(error.find("connection to the X server broke"), std::string::npos) << error;
        EXPECT_TRUE(screen.pixels.empty());
    }
    sigaction(SIGPIPE, &before, nullptr);
}

// A server that takes requests in and never answers (hung, or stopped in a debugger) fails
// the capture after a while instead of holding the capturing thread for ever.
TEST(ScreenCapture, ServerThatNeverAnswersFailsTheCapture) {
    CDeafServer server(false);
    ASSERT_TRUE(server.Ok());
    test::EnvGuard env;
    env.Set("DISPLAY", server.Display().c_str());
    CapturedScreen screen;
    std::string error;
    EXPECT_FALSE(CaptureScreen(screen, error));
    EXPECT_EQ(error, "the X server did not answer in time");
}

} // namespace
} // namespace tvn
