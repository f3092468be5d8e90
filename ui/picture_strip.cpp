#include "ui/picture_strip.h"

#include <QPainter>
#include <QPainterPath>

namespace tvn::ui {
namespace {

const QColor kInk(40, 60, 110);
const QColor kGreen(40, 160, 70);

// The program: a yellow folder with a blue globe in front of it, drawn on a `size` square.
void DrawProgram(QPainter& p, qreal size) {
    const qreal u = size / 16.0;
    p.setPen(QPen(QColor(150, 110, 20), u * 0.8));
    p.setBrush(QColor(250, 200, 70));
    QPainterPath folder;
    folder.moveTo(1 * u, 3 * u);
    folder.lineTo(6 * u, 3 * u);
    folder.lineTo(7.5 * u, 4.5 * u);
    folder.lineTo(14 * u, 4.5 * u);
    folder.lineTo(14 * u, 12 * u);
    folder.lineTo(1 * u, 12 * u);
    folder.closeSubpath();
    p.drawPath(folder);
    p.setPen(QPen(kInk, u * 0.8));
    p.setBrush(QColor(80, 150, 230));
    const QRectF globe(7 * u, 7 * u, 8.5 * u, 8.5 * u);
    p.drawEllipse(globe);
    p.drawLine(QPointF(globe.left(), globe.center().y()),
               QPointF(globe.right(), globe.center().y()));
    p.drawEllipse(globe.adjusted(2.2 * u, 0, -2.2 * u, 0));
}

// Enable: a green power sign.
void DrawEnable(QPainter& p) {
    p.setPen(QPen(kGreen, 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5, 3, 11, 11), 120 * 16, 300 * 16);
    p.drawLine(QPointF(8, 1.5), QPointF(8, 7.5));
}

// Open: a small window with a blue title bar.
void DrawOpen(QPainter& p) {
    p.setPen(QPen(kInk, 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(1.5, 2.5, 13, 11));
    p.fillRect(QRectF(2, 3, 12, 3), QColor(80, 120, 210));
}

// Exit: a red cross.
void DrawExit(QPainter& p) {
    p.setPen(QPen(QColor(200, 40, 40), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
    p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
}

// A round badge holding one letter: About ("i") and Help ("?").
void DrawBadge(QPainter& p, const QColor& fill, const QString& letter) {
    p.setPen(QPen(fill.darker(140), 1));
    p.setBrush(fill);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(11);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, letter);
}

// More: a blue arrow leaving a box, as for a link to the outside.
void DrawMore(QPainter& p) {
    p.setPen(QPen(kInk, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(1.5, 4.5, 10, 10));
    p.setPen(QPen(QColor(30, 110, 220), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(6, 10), QPointF(14, 2));
    p.drawPolyline(QPolygonF{QPointF(9, 2), QPointF(14, 2), QPointF(14, 7)});
}

QPixmap DrawStrip() {
    QPixmap strip(kPictureSize * kPictureCount, kPictureSize);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing);
    for (int index = 0; index < kPictureCount; ++index) {
        p.save();
        p.translate(index * kPictureSize, 0);
        switch (index) {
        case kPictureProgram:
            DrawProgram(p, kPictureSize);
            break;
        case kPictureEnable:
            DrawEnable(p);
            break;
        case 2:
            DrawOpen(p);
            break;
        case 3:
            DrawExit(p);
            break;
        case kPictureAbout:
            DrawBadge(p, QColor(40, 110, 200), QStringLiteral("i"));
            break;
        case kPictureHelp:
            DrawBadge(p, QColor(40, 150, 90), QStringLiteral("?"));
            break;
        case kPictureMore:
            DrawMore(p);
            break;
        }
        p.restore();
    }
    return strip;
}

} // namespace

const QPixmap& PictureStrip() {
    static const QPixmap strip = DrawStrip();
    return strip;
}

QIcon StripPicture(int index) {
    if (index < 0 || index >= kPictureCount)
        return QIcon();
    return QIcon(PictureStrip().copy(index * kPictureSize, 0, kPictureSize, kPictureSize));
}

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32, 64}) {
        QPixmap picture(size, size);
        picture.fill(Qt::transparent);
        QPainter p(&picture);
        p.setRenderHint(QPainter::Antialiasing);
        DrawProgram(p, size);
        p.end();
        icon.addPixmap(picture);
    }
    return icon;
}

} // namespace tvn::ui
