// Pictures made in memory and written to a temporary folder, and readers for what the
// thumbnail cache hands back.
#pragma once

#include "pages/thumbnail_cache.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <cstdio>
#include <string>

namespace tvn::test {

inline QByteArray EncodePicture(const QImage& image, const char* format, bool progressive = false) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

inline std::string WriteFile(const QTemporaryDir& dir, const char* name, const QByteArray& bytes) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
    return path.toStdString();
}

// A picture whose left half is red and right half blue, so that turns can be seen.
inline QImage TwoColourPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, x < width / 2 ? qRgb(220, 20, 20) : qRgb(20, 20, 220));
    }
    return image;
}

struct ParsedTag {
    std::string url;
    int width = -1;
    int height = -1;
};

// Reads the URL, width and height back from a thumbnail tag; width -1 when it is no tag.
inline ParsedTag ParseTag(const std::string& tag) {
    char url[64] = {};
    ParsedTag parsed;
    if (std::sscanf(tag.c_str(),
                    "<img src=\"%63[^\"]\" width=\"%d\" height=\"%d\" border=0 vspace=3 hspace=3>",
                    url, &parsed.width, &parsed.height) != 3)
        return {};
    parsed.url = url;
    return parsed;
}

// The thumbnail that `url` names, decoded; a null image when it is not served.
inline QImage FetchThumbnail(const std::string& url) {
    std::string jpeg;
    std::string picture;
    if (!CopyThumbnail(url, jpeg, picture))
        return {};
    return QImage::fromData(QByteArray(jpeg.data(), static_cast<qsizetype>(jpeg.size())), "jpeg");
}

} // namespace tvn::test
