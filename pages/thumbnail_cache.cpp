#include "pages/thumbnail_cache.h"

#include "pages/picture_formats.h"
#include "platform/unique_fd.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace tvn {
namespace {

constexpr int kBoxSide = 100;
constexpr std::string_view kUrlPrefix = "/Thumbnail__";

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        table[i] = value;
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

struct ThumbnailRecord {
    int width = 0;
    int height = 0;
    std::string jpeg;
    std::string picture; // the local path it was made from: its folder guards it
};

// The cache is shared by every thread that lists folders or answers thumbnail URLs, so all
// of it sits behind one lock. The lock is also held while a picture is decoded and encoded:
// requests are handled on one thread, so nobody waits in practice; a second listing of the
// same folder finds the thumbnail instead of decoding it again; and only one picture is
// being decoded at any moment, which keeps the memory a listing takes to one picture's.
//
// A listing that meets several new pictures at once decodes them side by side on worker
// threads outside the lock (MakeThumbnailTags), one picture per core: the decoding is most
// of a first listing's time, and the user waits for it.
std::mutex thumbnailLock;
std::map<std::uint32_t, ThumbnailRecord> thumbnailCache; // guarded by thumbnailLock
std::atomic<int> thumbnailDecodes = 0;

// The key named by a thumbnail URL: the hexadecimal digits after the prefix, up to the first
// other byte (none give 0). More than 32 bits of value name no key we ever made.
std::optional<std::uint32_t> ParseThumbnailUrl(std::string_view url) {
    if (!url.starts_with(kUrlPrefix))
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : url.substr(kUrlPrefix.size())) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

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

// Decodes the picture already at the size of its thumbnail where the decoder can: libjpeg
// then decodes at 1/2, 1/4 or 1/8 of the size (averaging each block), which is most of the
// speed, and Qt finishes with a smooth scale. EXIF orientation is applied, so the box rule
// works on the picture as the user sees it. Qt's allocation limit refuses a picture that
// would need more memory; it is not raised.
std::optional<QImage> DecodeForThumbnail(QIODevice& device) {
    QImageReader reader(&device);
    reader.setAutoTransform(true);
    if (!CanDecodePictureFormat(reader.format().toStdString()))
        return std::nullopt;
    const QSize stored = reader.size();
    QImage image;
    ThumbnailSize box;
    if (stored.isValid()) {
        const bool turned =
            reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
        const QSize oriented = turned ? stored.transposed() : stored;
        box = FitThumbnailBox(oriented.width(), oriented.height());
        const QSize target(box.width, box.height);
        if (target != oriented)
            reader.setScaledSize(turned ? target.transposed() : target);
        image = reader.read();
    } else {
        image = reader.read();
        box = FitThumbnailBox(image.width(), image.height());
    }
    if (image.isNull())
        return std::nullopt;
    const QSize target(box.width, box.height);
    if (image.size() != target)
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
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

std::optional<ThumbnailRecord> MakeThumbnail(const std::string& path) {
    ++thumbnailDecodes;
    // Opened without waiting: a named pipe called "x.jpg" must not block the server.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    QFile file;
    if (!file.open(fd.Get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    if (JpegExceedsMemoryLimit(file) || !file.seek(0))
        return std::nullopt;
    const std::optional<QImage> image = DecodeForThumbnail(file);
    if (!image)
        return std::nullopt;
    const QImage flat = Flatten(*image);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    if (!writer.write(flat))
        return std::nullopt;
    return ThumbnailRecord{flat.width(), flat.height(),
                           std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                           path};
}

std::string FormatTag(std::uint32_t key, int width, int height) {
    char url[32];
    std::snprintf(url, sizeof url, "/Thumbnail__%08X", static_cast<unsigned>(key));
    char tag[160];
    std::snprintf(tag, sizeof tag,
                  "<img src=\"%s\" width=\"%d\" height=\"%d\" border=0 vspace=3 hspace=3>", url,
                  width, height);
    return tag;
}

} // namespace

ThumbnailSize FitThumbnailBox(int width, int height) {
    const double a = width / double(kBoxSide);
    const double b = height / double(kBoxSide);
    const double e = std::max(a, b);
    if (e <= 1)
        return {width, height};
    // A very thin picture would come out 0 pixels wide, which no image can be.
    if (a != e)
        return {std::max(1, static_cast<int>(a / b * kBoxSide)), kBoxSide};
    return {kBoxSide, std::max(1, static_cast<int>(b / a * kBoxSide))};
}

std::uint32_t ThumbnailKey(std::string_view fullLocalPath) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : fullLocalPath)
        crc = (crc >> 8) ^ kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xFF];
    return crc;
}

std::string MakeThumbnailTag(const std::string& fullLocalPath, std::string_view fallbackText) {
    const std::uint32_t key = ThumbnailKey(fullLocalPath);
    std::lock_guard lock(thumbnailLock);
    auto it = thumbnailCache.find(key);
    if (it == thumbnailCache.end()) {
        std::optional<ThumbnailRecord> record = MakeThumbnail(fullLocalPath);
        if (!record)
            return std::string(fallbackText);
        it = thumbnailCache.emplace(key, std::move(*record)).first;
    }
    return FormatTag(key, it->second.width, it->second.height);
}

bool FindThumbnail(std::string_view url, std::size_t& size) {
    const std::optional<std::uint32_t> key = ParseThumbnailUrl(url);
    if (!key)
        return false;
    std::lock_guard lock(thumbnailLock);
    const auto it = thumbnailCache.find(*key);
    if (it == thumbnailCache.end())
        return false;
    size = it->second.jpeg.size();
    return true;
}

bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) {
    const std::optional<std::uint32_t> key = ParseThumbnailUrl(url);
    if (!key)
        return false;
    std::lock_guard lock(thumbnailLock);
    const auto it = thumbnailCache.find(*key);
    if (it == thumbnailCache.end())
        return false;
    jpeg = it->second.jpeg;
    picture = it->second.picture;
    return true;
}

bool ThumbnailsCached(const std::vector<PictureRef>& pictures) {
    std::lock_guard lock(thumbnailLock);
    for (const PictureRef& picture : pictures) {
        if (!thumbnailCache.contains(ThumbnailKey(picture.path)))
            return false;
    }
    return true;
}

std::vector<std::string> MakeThumbnailTags(const std::vector<PictureRef>& pictures) {
    std::vector<std::uint32_t> keys;
    keys.reserve(pictures.size());
    for (const PictureRef& picture : pictures)
        keys.push_back(ThumbnailKey(picture.path));
    // The pictures not yet in the cache, each key once.
    std::vector<std::size_t> missing;
    {
        std::lock_guard lock(thumbnailLock);
        std::set<std::uint32_t> seen;
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            if (!thumbnailCache.contains(keys[i]) && seen.insert(keys[i]).second)
                missing.push_back(i);
        }
    }
    std::vector<std::optional<ThumbnailRecord>> made(missing.size());
    std::atomic<std::size_t> next = 0;
    auto work = [&] {
        for (std::size_t n; (n = next++) < missing.size();)
            made[n] = MakeThumbnail(pictures[missing[n]].path);
    };
    const std::size_t threads =
        std::min<std::size_t>(missing.size(), std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> workers;
    for (std::size_t t = 1; t < threads; ++t)
        workers.emplace_back(work);
    work();
    for (std::thread& worker : workers)
        worker.join();

    std::lock_guard lock(thumbnailLock);
    for (std::size_t n = 0; n < missing.size(); ++n) {
        if (made[n])
            thumbnailCache.emplace(keys[missing[n]], std::move(*made[n])); // first one wins
    }
    std::vector<std::string> tags;
    tags.reserve(pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const auto it = thumbnailCache.find(keys[i]);
        tags.push_back(it == thumbnailCache.end()
                           ? std::string(pictures[i].fallbackText)
                           : FormatTag(keys[i], it->second.width, it->second.height));
    }
    return tags;
}

int ThumbnailDecodeCount() { return thumbnailDecodes; }

} // namespace tvn
