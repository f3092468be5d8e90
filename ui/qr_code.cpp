#include "ui/qr_code.h"

#include <QPainter>

namespace tvn::ui {

QImage QrCodeImage(const std::string& text, int scale) {
    if (text.empty() || scale < 1)
        return QImage();
    const QrSymbol code = EncodeQr(text);
    if (code.width == 0)
        return QImage();
    const int width = code.width;
    const int side = (width + 2 * kQrQuietModules) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    for (int y = 0; y < width; ++y) {
        for (int x = 0; x < width; ++x) {
            if (code.Dark(x, y))
                p.fillRect((x + kQrQuietModules) * scale, (y + kQrQuietModules) * scale, scale,
                           scale, Qt::black);
        }
    }
    return image;
}

} // namespace tvn::ui
