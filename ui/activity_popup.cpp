#include "ui/activity_popup.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

namespace tvn::ui {
namespace {

constexpr std::size_t kMaxLines = 16;
constexpr int kPadding = 8; // added to the text's size in width and in height
const QColor kBackground(255, 255, 225);

} // namespace

CInfoTool::CInfoTool(int displayTime, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput),
      displayMs(displayTime) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setEnabled(false);
    setObjectName(QStringLiteral("activity"));
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] {
        timer.stop();
        hide();
    });
}

void CInfoTool::ShowActivity(std::string_view line) {
    if (!isVisible())
        lines.clear(); // a new burst starts a new list
    while (lines.size() >= kMaxLines)
        lines.pop_front();
    lines.emplace_back(line);
    std::string joined;
    for (const std::string& each : lines)
        joined += each;
    Show(QString::fromLocal8Bit(joined.data(), static_cast<qsizetype>(joined.size())));
}

void CInfoTool::Show(const QString& text) {
    timer.start(displayMs);
    const QString full = QString::fromLatin1(kActivityCaption) + text;
    if (full != shown || !isVisible()) {
        shown = full;
        const QSize size = QFontMetrics(font())
                               .boundingRect(QRect(0, 0, 10000, 10000), Qt::AlignLeft, shown)
                               .size() +
                           QSize(kPadding, kPadding);
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
        setGeometry(QRect(
            QPoint(area.right() + 1 - size.width(), area.bottom() + 1 - size.height()), size));
        update();
    }
    show();
    raise();
}

void CInfoTool::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    p.setPen(Qt::black); // on light yellow whatever the theme
    p.drawText(rect().adjusted(kPadding / 2, kPadding / 2, 0, 0), Qt::AlignLeft | Qt::AlignTop,
               shown);
}

} // namespace tvn::ui
