// The screenshot pages over loopback, on an Xvfb of the test's own showing a known picture:
// the picture's size for each box, its pixels, the placeholder when no picture can be made,
// one capture shared by visitors who ask together, and nobody waiting for the encoding.
#include "pages/page_stages.h"
#include "pages/pages_fixture.h"
#include "pages/screenshot.h"
#include "support/answer_bytes.h"
#include "support/depth_pattern.h"
#include "support/desktop_session.h"
#include "support/desktop_windows.h"
#include "support/server_fixture.h"

#include <QImage>
#include <thread>

namespace tvn::test {
namespace {

const std::string kPlaceholder = "the placeholder picture";

class ScreenShotRequests : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        doc->SetContentStages(&pageStages);
        Put("ScreenShot/screenshot.png", kPlaceholder);
        Put("ScreenShot/index.html", "<html><body>the screen below</body></html>");
        Put("ScreenShot/.file", "[<tvnbody></tvnbody>]");
        Put("small.dat", "small");
    }

    // The picture of an answer; a null image when the body is no PNG.
    static QImage Picture(const Answer& answer) {
        return QImage::fromData(reinterpret_cast<const uchar*>(answer.body.data()),
                                static_cast<int>(answer.body.size()), "PNG");
    }

    // The full picture, once the pattern window shows on it: the window says it painted, but
    // the server may show it a moment later.
    Answer FullPictureOfPattern() {
        Answer answer;
        for (int tries = 0; tries < 50; ++tries) {
            answer = Get("/ScreenShot/screenshot.png");
            if (Picture(answer).pixel(10, 10) == qRgb(255, 0, 0))
                break;
            std::this_thread::sleep_for(100ms);
        }
        return answer;
    }

    CPageStages pageStages;
};

TEST_F(ScreenShotRequests, PictureIsTheScreenFittedIntoTheBox) {
    XvfbScreen screen(1280, 1024);
    if (!screen.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    PatternWindow pattern;
    ASSERT_TRUE(pattern.Ok());

    const Answer full = FullPictureOfPattern();
    EXPECT_EQ(full.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(full.Header("Content-Type"), "image/png");
    EXPECT_EQ(full.Header("Content-Length"), std::to_string(full.body.size()));
    EXPECT_FALSE(full.Has("Last-Modified")) << "a fresh picture has no date of its own";
    const QImage image = Picture(full).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(1280, 1024));
    for (int x = 0; x < 1280; ++x)
        ASSERT_EQ(image.pixel(x, 512), qRgb(x & 255, (x * 3) & 255, 255 - (x & 255))) << x;
    EXPECT_EQ(image.pixel(10, 10), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(1270, 10), qRgb(0, 255, 0));

    struct Case {
        const char* query;
        QSize size;
    };
    for (const Case& c :
         {Case{"?width=100&height=100", {100, 80}}, Case{"?width=2000&height=2000", {1280, 1024}},
          Case{"?width=100", {1280, 1024}}, Case{"?width=-5&height=-5", {1280, 1024}},
          Case{"?width=640&height=100000", {640, 512}}}) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(Picture(Get(std::string("/ScreenShot/screenshot.png") + c.query)).size(), c.size);
    }
    // A shrunk picture is the mean of the pixels it covers: the red quadrant stays red.
    const QImage small = Picture(Get("/ScreenShot/screenshot.png?width=100&height=100"));
    EXPECT_EQ(small.pixel(5, 5), qRgb(255, 0, 0));
}

// On a 16- or 8-bit screen the placeholder went out: the capture refused any screen but a
// 24- or 32-bit TrueColor one. Every depth gives its picture, in the colours it shows.
TEST_F(ScreenShotRequests, ScreenOfEveryDepthGivesItsPicture) {
    constexpr int kWidth = 400, kHeight = 300;
    for (const ScreenDepth& depth : kScreenDepths) {
        SCOPED_TRACE(depth.depth);
        XvfbScreen screen(kWidth, kHeight, {}, depth.depth);
        if (!screen.Ok())
            GTEST_SKIP() << "Xvfb is not installed";
        DepthPatternWindow pattern;
        ASSERT_TRUE(pattern.Ok());
        const Answer full = Get("/ScreenShot/screenshot.png");
        EXPECT_EQ(full.Header("Content-Type"), "image/png");
        ASSERT_NE(full.body, kPlaceholder);
        const QImage image = Picture(full).convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(image.size(), QSize(kWidth, kHeight));
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                ASSERT_EQ(image.pixel(x, y) & 0xffffff,
                          ShownColour(DepthPatternColour(x, y, kWidth, kHeight), depth))
                    << x << "," << y;
        // Fitted into a box, each quadrant keeps its colour.
        const QImage small = Picture(Get("/ScreenShot/screenshot.png?width=100&height=100"));
        ASSERT_EQ(small.size(), QSize(100, 75));
        EXPECT_EQ(small.pixel(5, 5) & 0xffffff, ShownColour(0xff0000, depth));
        EXPECT_EQ(small.pixel(95, 70) & 0xffffff, ShownColour(0xc86432, depth));
    }
}

TEST_F(ScreenShotRequests, PortraitScreenFitsByItsHeight) {
    XvfbScreen screen(1024, 1280);
    if (!screen.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    EXPECT_EQ(Picture(Get("/ScreenShot/screenshot.png?width=100&height=100")).size(),
              QSize(80, 100));
}

TEST_F(ScreenShotRequests, FolderPageIsAPageAndNoScreenMeansThePlaceholder) {
    EnvGuard env;
    env.Unset("DISPLAY");
    const Answer page = Get("/ScreenShot/index.html");
    EXPECT_EQ(page.Header("Content-Type"), "text/html");
    EXPECT_EQ(page.body, "[<body>the screen below</body>]");
    const Answer placeholder = Get("/ScreenShot/screenshot.png?width=100&height=100");
    EXPECT_EQ(placeholder.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(placeholder.body, kPlaceholder);
    EXPECT_TRUE(placeholder.Has("Last-Modified"));
    // Other folders' pictures are files, whatever their name.
    Put("Other/screenshot.png", "just a file");
    EXPECT_EQ(Get("/Other/screenshot.png").body, "just a file");
}

// Visitors asking at the same moment share one capture, and a small file asked for meanwhile
// is answered before the pictures: the order of arrival of the answers, not a time limit.
TEST_F(ScreenShotRequests, VisitorsTogetherShareACaptureAndNobodyWaitsForIt) {
    XvfbScreen screen(1920, 1080);
    if (!screen.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    PatternWindow pattern;
    ASSERT_TRUE(pattern.Ok());
    constexpr int kVisitors = 6;
    const int before = ScreenCaptureCount();
    std::vector<std::string> pictures(kVisitors);
    std::string small;
    bool picturesStillComing = false;
    ASSERT_TRUE(RunWhileServing(
        [&] {
            std::vector<LoopbackClient> visitors(kVisitors);
            for (auto& visitor : visitors) {
                ASSERT_TRUE(visitor.Connect(port));
                visitor.Send("GET /ScreenShot/screenshot.png HTTP/1.0\r\n\r\n");
            }
            while (ScreenCaptureCount() == before)
                std::this_thread::sleep_for(1ms);
            LoopbackClient other;
            ASSERT_TRUE(other.Connect(port));
            other.Send("GET /small.dat HTTP/1.0\r\n\r\n");
            small = other.ReadAll();
            picturesStillComing = visitors.back().StaysQuiet(std::chrono::milliseconds(0));
            for (int i = 0; i < kVisitors; ++i)
                pictures[i] = visitors[i].ReadAll(30000ms);
        },
        60s));
    EXPECT_EQ(ParseAnswer(small).body, "small");
    EXPECT_TRUE(picturesStillComing) << "the small file waited for the pictures";
    for (const std::string& raw : pictures)
        EXPECT_EQ(Picture(ParseAnswer(raw)).size(), QSize(1920, 1080));
    // The first visitor's capture, and at most one more for those who came while it ran.
    EXPECT_LE(ScreenCaptureCount() - before, 2);
}

// Without a way to wait (no event loop behind the request) the picture is made in place;
// a visitor from outside the owner's networks, or through the relay, gets the file unless
// the folder's password let them in.
class ScreenShotStranger : public PagesFixture {};

TEST_F(ScreenShotStranger, OnlyLocalOrAdmittedVisitorsSeeTheScreen) {
    XvfbScreen screen(640, 480);
    if (!screen.Ok())
        GTEST_SKIP() << "Xvfb is not installed";
    Write("ScreenShot/screenshot.png", kPlaceholder);
    auto local = Context("/ScreenShot/screenshot.png", "ScreenShot/screenshot.png");
    EXPECT_EQ(HandleScreenShot(*local), StageResult::kAnswered);
    EXPECT_EQ(QImage::fromData(QByteArray::fromStdString(Body(*local))).size(), QSize(640, 480));

    for (const bool relayed : {false, true}) {
        auto stranger = Context("/ScreenShot/screenshot.png", "ScreenShot/screenshot.png",
                                relayed ? "127.0.0.1:4000" : "203.0.113.9:4000", relayed);
        EXPECT_EQ(HandleScreenShot(*stranger), StageResult::kGoOn) << relayed;
        EXPECT_TRUE(LeftAlone(*stranger));
    }
    Write("ScreenShot/.pass", "guest,secret\n");
    auto admitted = Context("/ScreenShot/screenshot.png", "ScreenShot/screenshot.png",
                            "203.0.113.9:4000", true);
    EXPECT_EQ(HandleScreenShot(*admitted), StageResult::kAnswered);
}

} // namespace
} // namespace tvn::test
