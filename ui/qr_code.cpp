#include "ui/qr_code.h"

#include <QPainter>
#include <memory>
#include <qrencode.h>

namespace tvn::ui {
namespace {

struct QrFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

// The standard asks for four light modules around the symbol; fewer and phone cameras miss it.
constexpr int kQuietModules = 4;

} // namespace

std::string AccessAddress(std::string_view line) {
    const std::size_t end = line.find_first_of(" \t\r\n");
    const std::string_view word = line.substr(0, end);
    if (word.starts_with("http://") || word.starts_with("https://"))
        return std::string(word);
    return {};
}

QImage QrCodeImage(const std::string& text, int scale) {
    if (text.empty() || scale < 1)
        return QImage();
    // 8-bit mode keeps the text byte for byte (a URL's path may hold any byte).
    const std::unique_ptr<QRcode, QrFree> code(
        QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M));
    if (!code)
        return QImage();
    const int width = code->width;
    const int side = (width + 2 * kQuietModules) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    for (int y = 0; y < width; ++y) {
        for (int x = 0; x < width; ++x) {
            // Bit 0 of each byte of the symbol is the module: 1 dark, 0 light.
            if (code->data[y * width + x] & 1)
                p.fillRect((x + kQuietModules) * scale, (y + kQuietModules) * scale, scale, scale,
                           Qt::black);
        }
    }
    return image;
}

} // namespace tvn::ui
