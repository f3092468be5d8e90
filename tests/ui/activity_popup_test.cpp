#include "ui/activity_popup.h"
#include "ui_fixture.h"

#include <QScreen>
#include <string>

namespace tvn::ui {
namespace {

using test::SpinUntil;

QString Caption() { return QString::fromLatin1(kActivityCaption); }

std::string Request(int n) { return "\n127.0.0.1 GET /page" + std::to_string(n) + ".html"; }

TEST(ActivityPopup, ShowsTheLastSixteenLinesOfABurst) {
    CInfoTool popup(300);
    QString expected;
    for (int n = 1; n <= 20; ++n)
        popup.ShowActivity(Request(n));
    for (int n = 5; n <= 20; ++n)
        expected += QString::fromStdString(Request(n));
    EXPECT_EQ(popup.Text(), Caption() + expected);
    EXPECT_TRUE(popup.isVisible());
    EXPECT_EQ(popup.Text().count(QLatin1Char('\n')), 16);
}

// The pop-up goes a while after the last line (each line restarts the wait), and the next
// line after that starts a new list.
TEST(ActivityPopup, HidesAfterTheLastLineAndStartsAgainEmpty) {
    CInfoTool popup(400);
    popup.ShowActivity(Request(1));
    test::Spin(250);
    popup.ShowActivity(Request(2));
    test::Spin(250);
    EXPECT_TRUE(popup.isVisible()); // 500 ms after the first line, 250 after the last
    EXPECT_TRUE(SpinUntil([&] { return !popup.isVisible(); }, 1000));
    popup.ShowActivity(Request(3));
    EXPECT_TRUE(popup.isVisible());
    EXPECT_EQ(popup.Text(), Caption() + QString::fromStdString(Request(3)));
}

TEST(ActivityPopup, IsALightYellowToolWindowInTheCorner) {
    CInfoTool popup(1000);
    const Qt::WindowFlags flags = popup.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(popup.windowType(), Qt::Tool); // not in the task bar
    EXPECT_TRUE(popup.testAttribute(Qt::WA_ShowWithoutActivating));

    // Whether it takes the focus is for a real X screen (the offscreen platform activates
    // every window it shows): see the tray test.
    popup.ShowActivity(Request(1));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(popup.geometry().bottomRight(), area.bottomRight());
    // Two lines of text (the caption and the request), so it is taller than one.
    const QSize one = popup.size();
    popup.ShowActivity(Request(2));
    EXPECT_GT(popup.height(), one.height());
    EXPECT_EQ(popup.geometry().bottomRight(), area.bottomRight());
    // Light yellow.
    const QImage picture = popup.grab().toImage();
    EXPECT_EQ(picture.pixelColor(picture.width() - 1, picture.height() - 1), QColor(255, 255, 225));
}

} // namespace
} // namespace tvn::ui
