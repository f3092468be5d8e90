// The picture module (tarvolin-pictures.so): the thumbnails' decoders (Qt's image readers and
// libheif), their scaling and the JPEG encoder. The program loads it with the first thumbnail
// (pages/picture_codec.h); the rest of the pages, the HEIF decoder among them, it takes from
// the program.
#include "pages/image/heif_picture.h"
#include "pages/picture_codec.h"
#include "pages/picture_formats.h"
#include "pages/thumbnail_cache.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <algorithm>
#include <array>
#include <cstdint>
#include <unistd.h>

namespace tvn {
namespace {

std::uint64_t ImageByteLimit() {
    return static_cast<std::uint64_t>(QImageReader::allocationLimit()) * 1024 * 1024;
}

bool ReadBytes(QIODevice& device, unsigned char* out, qint64 count) {
    return device.read(reinterpret_cast<char*>(out), count) == count;
}

constexpr int kMaxJpegComponents = 10; // as many as libjpeg accepts

// What a JPEG's frame and first scan say about the memory its decoder will want.
struct JpegFrame {
    bool progressive = false;
    int width = 0;
    int height = 0;
    int components = 0;
    std::array<int, kMaxJpegComponents> hSampling{};
    std::array<int, kMaxJpegComponents> vSampling{};
    int firstScanComponents = 0;
};

// Walks the markers of a JPEG up to its first scan; nullopt when `device` holds no JPEG or
// the walk fails. Leaves the device at an arbitrary position.
std::optional<JpegFrame> ReadJpegFrame(QIODevice& device) {
    unsigned char head[4];
    if (!ReadBytes(device, head, 2) || head[0] != 0xFF || head[1] != 0xD8)
        return std::nullopt;
    std::optional<JpegFrame> frame;
    for (int segment = 0; segment < 4096; ++segment) {
        unsigned char marker = 0;
        if (!ReadBytes(device, &marker, 1) || marker != 0xFF)
            return std::nullopt;
        while (marker == 0xFF) { // fill bytes may stand before a marker
            if (!ReadBytes(device, &marker, 1))
                return std::nullopt;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // markers without a length
        if (marker == 0xD9 || !ReadBytes(device, head, 2))
            return std::nullopt;
        const int length = (head[0] << 8) | head[1];
        if (length < 2)
            return std::nullopt;
        const bool isFrame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (isFrame) {
            unsigned char body[6 + 3 * kMaxJpegComponents] = {};
            const int wanted = std::min(length - 2, static_cast<int>(sizeof body));
            if (wanted < 6 || !ReadBytes(device, body, wanted))
                return std::nullopt;
            frame.emplace();
            frame->progressive = (marker & 0x03) == 0x02; // SOF2, SOF6, SOF10, SOF14
            frame->height = (body[1] << 8) | body[2];
            frame->width = (body[3] << 8) | body[4];
            frame->components = std::min<int>(body[5], (wanted - 6) / 3);
            for (int i = 0; i < frame->components; ++i) {
                frame->hSampling[i] = std::max(1, body[6 + 3 * i + 1] >> 4);
                frame->vSampling[i] = std::max(1, body[6 + 3 * i + 1] & 0x0F);
            }
            if (!device.seek(device.pos() + (length - 2 - wanted)))
                return std::nullopt;
        } else if (marker == 0xDA) {
            if (!frame || !ReadBytes(device, head, 1))
                return std::nullopt;
            frame->firstScanComponents = head[0];
            return frame;
        } else if (!device.seek(device.pos() + length - 2)) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// A progressive JPEG, or one whose first scan lacks some components, makes libjpeg hold the
// DCT coefficients of the whole picture (two bytes each) however small the output is. That
// memory is outside Qt's image allocation limit, so it is held to the same limit here: a
// crafted picture of 65500 by 65500 pixels would otherwise ask for about 13 GB.
bool JpegExceedsMemoryLimit(QIODevice& device) {
    const std::optional<JpegFrame> frame = ReadJpegFrame(device);
    const std::uint64_t limit = ImageByteLimit();
    if (!frame || limit == 0 || frame->components == 0)
        return false;
    if (!frame->progressive && frame->firstScanComponents >= frame->components)
        return false;
    const int hMax = *std::max_element(frame->hSampling.begin(), frame->hSampling.end());
    const int vMax = *std::max_element(frame->vSampling.begin(), frame->vSampling.end());
    std::uint64_t bytes = 0;
    for (int i = 0; i < frame->components; ++i) {
        const std::uint64_t columns =
            (std::uint64_t(frame->width) * frame->hSampling[i] + 8 * hMax - 1) / (8 * hMax);
        const std::uint64_t rows =
            (std::uint64_t(frame->height) * frame->vSampling[i] + 8 * vMax - 1) / (8 * vMax);
        bytes += columns * rows * 64 * 2;
    }
    return bytes > limit;
}

// More pixels than a camera makes (about 200 million at most).
constexpr std::int64_t kMaxPixels = 250'000'000;

// True for a picture of more pixels than a camera makes that would be decoded whole even for
// a thumbnail. Qt's allocation limit does not stop it: the PNG
// reader, for one, scales row by row into a small image, and a 30000 by 30000 PNG of 2.6 MB
// then takes seconds. libjpeg scales while it reads, and its memory is held to the limit by
// JpegExceedsMemoryLimit, so JPEG is let through.
bool TooManyPixelsToDecode(const QByteArray& format, QSize stored) {
    if (format == "jpeg" || !stored.isValid())
        return false;
    return std::int64_t(stored.width()) * stored.height() > kMaxPixels;
}

// Decodes the picture already at the size of its thumbnail where the decoder can: libjpeg
// then decodes at 1/2, 1/4 or 1/8 of the size (averaging each block), which is most of the
// speed, and Qt finishes with a smooth scale. EXIF orientation is applied, so the box rule
// works on the picture as the user sees it. Qt's allocation limit refuses a picture that
// would need more memory; it is not raised.
std::optional<QImage> DecodeForThumbnail(QIODevice& device, int side) {
    QImageReader reader(&device);
    reader.setAutoTransform(true);
    const QByteArray format = reader.format();
    if (!CanDecodePictureFormat(format.toStdString()))
        return std::nullopt;
    const QSize stored = reader.size(); // from the header: nothing is decoded yet
    if (TooManyPixelsToDecode(format, stored))
        return std::nullopt;
    QImage image;
    ThumbnailSize box;
    if (stored.isValid()) {
        const bool turned =
            reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
        const QSize oriented = turned ? stored.transposed() : stored;
        box = FitThumbnailBox(oriented.width(), oriented.height(), side);
        const QSize target(box.width, box.height);
        if (target != oriented)
            reader.setScaledSize(turned ? target.transposed() : target);
        image = reader.read();
    } else {
        image = reader.read();
        box = FitThumbnailBox(image.width(), image.height(), side);
    }
    if (image.isNull())
        return std::nullopt;
    const QSize target(box.width, box.height);
    if (image.size() != target)
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

// The HEIF picture (HEIC, AVIF) in the file open at `fd`, scaled into each box of `sides`;
// none when the file is no HEIF (`isHeif` false), or is broken or refused. libheif decodes a
// picture whole, turned as its irot and imir boxes say, so the declared size is held to the
// pixel and memory limits of the other formats before anything is decoded, and every box is
// scaled from the one decoding.
std::vector<std::optional<QImage>> DecodeHeifForThumbnails(int fd, const std::vector<int>& sides,
                                                           bool& isHeif) {
    std::vector<std::optional<QImage>> images(sides.size());
    CHeifPicture picture;
    const HeifOutcome outcome = picture.Decode(fd, {kMaxPixels, ImageByteLimit()});
    isHeif = outcome != HeifOutcome::NotHeif;
    if (outcome != HeifOutcome::Decoded)
        return images;
    // Over libheif's rows without a copy: each scaled image is a picture of its own.
    const QImage rows(picture.Rows(), picture.Width(), picture.Height(), picture.Stride(),
                      QImage::Format_RGBA8888);
    const std::string& icc = picture.IccProfile();
    const QColorSpace space = icc.empty() ? QColorSpace()
                                          : QColorSpace::fromIccProfile(QByteArray::fromRawData(
                                                icc.data(), static_cast<qsizetype>(icc.size())));
    for (std::size_t n = 0; n < sides.size(); ++n) {
        const ThumbnailSize box = FitThumbnailBox(rows.width(), rows.height(), sides[n]);
        QImage image = QSize(box.width, box.height) == rows.size()
                           ? rows.copy()
                           : rows.scaled(box.width, box.height, Qt::IgnoreAspectRatio,
                                         Qt::SmoothTransformation);
        if (image.isNull())
            continue;
        if (space.isValid())
            image.setColorSpace(space);
        images[n] = std::move(image);
    }
    return images;
}

// The thumbnail as it is sent: opaque (transparent parts on white, as a page shows them),
// in sRGB without an embedded profile, and without the picture's text chunks.
QImage Flatten(const QImage& image) {
    QImage canvas(image.size(), QImage::Format_RGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        painter.drawImage(0, 0, image);
    }
    const QColorSpace space = image.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb)) {
        canvas.setColorSpace(space);
        canvas.convertToColorSpace(QColorSpace::SRgb);
    }
    canvas.setColorSpace(QColorSpace());
    return canvas;
}

// The picture in the file open at `fd`, decoded by Qt from its start at its thumbnail's size
// in the box of `side` pixels.
std::optional<QImage> DecodeQtForThumbnail(int fd, int side) {
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return std::nullopt;
    QFile qfile;
    if (!qfile.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    if (JpegExceedsMemoryLimit(qfile) || !qfile.seek(0))
        return std::nullopt;
    return DecodeForThumbnail(qfile, side);
}

// The thumbnails of the picture open at `fd`, as the program keeps them.
std::vector<std::optional<ThumbnailPicture>> MakeThumbnailPictures(int fd,
                                                                   const std::vector<int>& sides) {
    std::vector<std::optional<ThumbnailPicture>> made(sides.size());
    // Known by their first bytes, whatever the name: Qt has no reader for them.
    bool isHeif = false;
    std::vector<std::optional<QImage>> images = DecodeHeifForThumbnails(fd, sides, isHeif);
    // Each box is decoded on its own (libjpeg scales while it reads), so that a thumbnail is
    // the same bytes whether or not another box was made beside it.
    for (std::size_t n = 0; !isHeif && n < sides.size(); ++n)
        images[n] = DecodeQtForThumbnail(fd, sides[n]);
    for (std::size_t n = 0; n < sides.size(); ++n) {
        if (!images[n])
            continue;
        const QImage flat = Flatten(*images[n]);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        if (!writer.write(flat))
            continue;
        made[n] = ThumbnailPicture{
            flat.width(), flat.height(),
            std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()))};
    }
    return made;
}

// True when `jpeg` is a JPEG whose header names `width` by `height` pixels (the header alone
// is read, which is cheap).
bool IsJpegOfSize(std::string_view jpeg, int width, int height) {
    if (!jpeg.starts_with("\xFF\xD8\xFF"))
        return false;
    const QByteArray bytes =
        QByteArray::fromRawData(jpeg.data(), static_cast<qsizetype>(jpeg.size()));
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return false;
    QImageReader reader(&buffer, "jpeg");
    return reader.canRead() && reader.size() == QSize(width, height);
}

constexpr PictureCodec kCodec{MakeThumbnailPictures, IsJpegOfSize};

} // namespace
} // namespace tvn

extern "C" const tvn::PictureCodec* TvnPictureCodec() { return &tvn::kCodec; }
