// Pictures made in memory and written to a temporary folder, and readers for what the
// thumbnail cache hands back.
#pragma once

#include "pages/thumbnail_cache.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
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

inline void AppendBigEndian(QByteArray& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The usual CRC-32, as PNG chunks carry it.
inline std::uint32_t Crc32(const QByteArray& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

inline void AppendPngChunk(QByteArray& png, const char* type, const QByteArray& data) {
    AppendBigEndian(png, static_cast<std::uint32_t>(data.size()), 4);
    const QByteArray typed = QByteArray(type, 4) + data;
    png += typed;
    AppendBigEndian(png, Crc32(typed), 4);
}

// Bits of a deflate stream: fields go least significant bit first, Huffman codes most
// significant bit first.
class DeflateBits {
  public:
    void Put(std::uint32_t value, int count) {
        pending |= std::uint64_t(value) << pendingBits;
        for (pendingBits += count; pendingBits >= 8; pendingBits -= 8, pending >>= 8)
            bytes.append(static_cast<char>(pending & 0xFF));
    }
    void PutCode(std::uint32_t code, int length) {
        std::uint32_t reversed = 0;
        for (int i = 0; i < length; ++i)
            reversed |= ((code >> i) & 1) << (length - 1 - i);
        Put(reversed, length);
    }
    QByteArray Finish() {
        if (pendingBits > 0)
            bytes.append(static_cast<char>(pending & 0xFF));
        pending = 0;
        pendingBits = 0;
        return bytes;
    }

  private:
    QByteArray bytes;
    std::uint64_t pending = 0;
    int pendingBits = 0;
};

// A black PNG of `width` by `height` RGB pixels, made without a compressor: its rows are all
// zero bytes, which deflate's fixed codes give as one literal and then copies of 258 bytes
// from 1 back, 13 bits each: 20000 by 13000 pixels take 5 MB, made in a moment.
inline QByteArray BlackPng(std::uint32_t width, std::uint32_t height) {
    const std::uint64_t total = (1 + 3 * std::uint64_t(width)) * height; // filter byte 0 first
    DeflateBits bits;
    bits.Put(1, 1);        // the last block
    bits.Put(1, 2);        // with the fixed codes
    bits.PutCode(0x30, 8); // literal 0
    std::uint64_t left = total - 1;
    for (; left >= 258; left -= 258) {
        bits.PutCode(0xC5, 8); // length 258
        bits.PutCode(0, 5);    // distance 1
    }
    for (; left > 0; --left)
        bits.PutCode(0x30, 8);
    bits.PutCode(0, 7); // end of block
    QByteArray zlib("\x78\x01", 2);
    zlib += bits.Finish();
    AppendBigEndian(zlib, static_cast<std::uint32_t>(total % 65521) << 16 | 1, 4); // Adler-32

    QByteArray header;
    AppendBigEndian(header, width, 4);
    AppendBigEndian(header, height, 4);
    header.append("\x08\x02\x00\x00\x00", 5); // 8-bit RGB, not interlaced
    QByteArray png("\x89PNG\r\n\x1A\n", 8);
    AppendPngChunk(png, "IHDR", header);
    AppendPngChunk(png, "IDAT", zlib);
    AppendPngChunk(png, "IEND", QByteArray());
    return png;
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

inline bool IsRed(QRgb pixel) { return qRed(pixel) > 150 && qBlue(pixel) < 100; }
inline bool IsBlue(QRgb pixel) { return qBlue(pixel) > 150 && qRed(pixel) < 100; }

// The thumbnail of the two-colour picture at `path` (TwoColourPicture, red half then blue
// half): of `width` by `height`, with the red half first (left, or top when it stands) when
// `redFirst`. Adds failures to the test (call through ASSERT_NO_FATAL_FAILURE).
inline void ExpectTwoColourThumbnail(const std::string& path, int width, int height,
                                     bool redFirst) {
    const auto tag = ParseTag(MakeThumbnailTag(path, "fallback"));
    ASSERT_EQ(tag.width, width);
    ASSERT_EQ(tag.height, height);
    const QImage thumb = FetchThumbnail(tag.url);
    ASSERT_EQ(thumb.size(), QSize(width, height));
    const bool turned = height > width;
    const int w = thumb.width(), h = thumb.height();
    const QRgb first = turned ? thumb.pixel(w / 2, h / 8) : thumb.pixel(w / 8, h / 2);
    const QRgb second = turned ? thumb.pixel(w / 2, h - h / 8) : thumb.pixel(w - w / 8, h / 2);
    EXPECT_TRUE(redFirst ? IsRed(first) && IsBlue(second) : IsBlue(first) && IsRed(second));
}

} // namespace tvn::test
