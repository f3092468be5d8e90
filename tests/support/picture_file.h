#pragma once

// A JPEG picture of one colour written to a file, for the listings and thumbnails.
#include <QColor>
#include <QImage>
#include <QString>
#include <filesystem>
#include <string>
#include <system_error>

namespace tvn::test {

// Writes a `width` by `height` JPEG filled with `fill` to `path`, making its folders first;
// false on failure.
inline bool WritePicture(const std::string& path, int width, int height, QColor fill) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(fill);
    return image.save(QString::fromStdString(path), "JPEG");
}

} // namespace tvn::test
