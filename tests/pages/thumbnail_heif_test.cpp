// Thumbnails of HEIC and AVIF pictures, decoded by libheif: size, colours, orientation, and
// files that are broken or declare more than may be decoded.
#include "heif_test_support.h"
#include "pages/image/heif_picture.h"
#include "pages/picture_formats.h"
#include "pages/thumbnail_cache.h"
#include "platform/unique_fd.h"
#include "thumbnail_test_support.h"

#include <QImageReader>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string_view>

namespace tvn {
namespace {

using test::EncodeHeif;
using test::FetchThumbnail;
using test::ParseTag;
using test::TwoColourPicture;
using test::WithDeclaredSize;
using test::WriteFile;

TEST(HeifThumbnail, IsTheShownPictureScaledIntoTheBox) {
    // The stored picture is red on the left and blue on the right.
    struct Case {
        const char* name;
        heif_compression_format format;
        int width, height;
        heif_orientation orientation;
        int thumbWidth, thumbHeight;
        bool redFirst; // red at the left (unturned) or at the top (turned)
    };
    const Case cases[] = {
        {"plain.heic", heif_compression_HEVC, 400, 300, heif_orientation_normal, 100, 75, true},
        {"plain.avif", heif_compression_AV1, 400, 300, heif_orientation_normal, 100, 75, true},
        {"small.heic", heif_compression_HEVC, 80, 60, heif_orientation_normal, 80, 60, true},
        // irot: a quarter clockwise takes the left side to the top.
        {"turned.heic", heif_compression_HEVC, 400, 300, heif_orientation_rotate_90_cw, 75, 100,
         true},
        {"turned.avif", heif_compression_AV1, 400, 300, heif_orientation_rotate_270_cw, 75, 100,
         false},
        {"half.heic", heif_compression_HEVC, 400, 300, heif_orientation_rotate_180, 100, 75, false},
        // imir: mirrored left to right.
        {"mirrored.heic", heif_compression_HEVC, 400, 300, heif_orientation_flip_horizontally, 100,
         75, false},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray heif =
            EncodeHeif(TwoColourPicture(c.width, c.height), c.format, c.orientation);
        ASSERT_FALSE(heif.isEmpty());
        ASSERT_NO_FATAL_FAILURE(test::ExpectTwoColourThumbnail(
            WriteFile(dir, c.name, heif), c.thumbWidth, c.thumbHeight, c.redFirst));
    }
}

TEST(HeifThumbnail, BrokenAndOversizedFilesFallBack) {
    const QByteArray good = EncodeHeif(TwoColourPicture(400, 300), heif_compression_HEVC);
    ASSERT_GT(good.size(), 200);
    const QByteArray avif = EncodeHeif(TwoColourPicture(400, 300), heif_compression_AV1);
    ASSERT_GT(avif.size(), 200);
    // The boxes that say where the picture is, overwritten (damaged pixels are decoded as
    // well as they go: that is no failure).
    QByteArray garbled = good;
    const auto meta = garbled.indexOf("meta");
    ASSERT_GT(meta, 0);
    for (qsizetype i = meta + 8; i < meta + 200 && i < garbled.size(); ++i)
        garbled[i] = static_cast<char>(i * 37);
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"half.heic", good.left(good.size() / 2)},
        {"header.heic", good.left(40)},
        {"half.avif", avif.left(avif.size() / 2)},
        {"garbled.heic", garbled},
        // 60000 by 60000 pixels: 14 GB decoded, refused from the header.
        {"huge.heic", WithDeclaredSize(good, 60000, 60000)},
        {"huge.avif", WithDeclaredSize(avif, 60000, 60000)},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.bytes.isEmpty());
        EXPECT_EQ(MakeThumbnailTag(WriteFile(dir, c.name, c.bytes), "fallback"), "fallback");
    }
    // A HEIC named as a JPEG is read by what it is.
    EXPECT_EQ(ParseTag(MakeThumbnailTag(WriteFile(dir, "renamed.jpg", good), "x")).width, 100);
}

// Qt's image allocation limit holds for HEIF as for the formats Qt reads: libheif decodes
// the whole picture, 4 bytes a pixel, whatever the thumbnail's size.
TEST(HeifThumbnail, PicturesNeedingMoreThanTheAllocationLimitFallBack) {
    struct ScopedLimit {
        int saved = QImageReader::allocationLimit();
        ScopedLimit() { QImageReader::setAllocationLimit(1); } // 1 MB
        ~ScopedLimit() { QImageReader::setAllocationLimit(saved); }
    } limit;
    struct Case {
        const char* name;
        int width, height;
        bool decoded;
    };
    const Case cases[] = {
        {"within.heic", 400, 300, true},    // 480 KB decoded
        {"beyond.heic", 1000, 1000, false}, // 4 MB decoded
        {"beyond.avif", 1000, 1000, false},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const heif_compression_format format = std::string_view(c.name).ends_with(".avif")
                                                   ? heif_compression_AV1
                                                   : heif_compression_HEVC;
        const QByteArray heif = EncodeHeif(TwoColourPicture(c.width, c.height), format);
        ASSERT_FALSE(heif.isEmpty());
        const std::string tag = MakeThumbnailTag(WriteFile(dir, c.name, heif), "refused");
        EXPECT_EQ(tag != "refused", c.decoded) << tag;
    }
}

// The limits are judged by the declared size, before anything is decoded.
TEST(HeifPicture, RefusesByTheDeclaredSize) {
    QTemporaryDir dir;
    const std::string path =
        WriteFile(dir, "p.heic", EncodeHeif(TwoColourPicture(400, 300), heif_compression_HEVC));
    const std::string huge =
        WriteFile(dir, "huge.heic",
                  WithDeclaredSize(EncodeHeif(TwoColourPicture(64, 64), heif_compression_HEVC),
                                   60000, 60000));
    const std::string jpeg =
        WriteFile(dir, "p.jpg", test::EncodePicture(TwoColourPicture(40, 30), "jpeg"));
    struct Case {
        const char* name;
        const std::string* path;
        HeifLimits limits;
        HeifOutcome outcome;
    };
    const Case cases[] = {
        {"no limits", &path, {0, 0}, HeifOutcome::Decoded},
        {"pixels just enough", &path, {120000, 0}, HeifOutcome::Decoded},
        {"one pixel short", &path, {119999, 0}, HeifOutcome::TooLarge},
        {"bytes just enough", &path, {0, 480000}, HeifOutcome::Decoded},
        {"one byte short", &path, {0, 479999}, HeifOutcome::TooLarge},
        {"huge declared", &huge, {250'000'000, 256u << 20}, HeifOutcome::TooLarge},
        {"no heif", &jpeg, {0, 0}, HeifOutcome::NotHeif},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UniqueFd fd(::open(c.path->c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd.Valid());
        CHeifPicture picture;
        EXPECT_EQ(picture.Decode(fd.Get(), c.limits), c.outcome);
        const bool decoded = c.outcome == HeifOutcome::Decoded;
        EXPECT_EQ(picture.Rows() != nullptr, decoded);
        EXPECT_EQ(picture.Width(), decoded ? 400 : 0);
        EXPECT_EQ(picture.Height(), decoded ? 300 : 0);
    }
}

TEST(IsPictureName, HeifAndAvifArePictures) {
    for (const char* name : {"IMG_0001.HEIC", "a.heic", "b.heif", "c.avif", "d.AVIF"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(IsPictureName(name));
    }
}

} // namespace
} // namespace tvn
