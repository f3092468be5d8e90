// Decoding pictures for thumbnails: orientation, memory limits, files that are no pictures.
#include "pages/thumbnail_cache.h"
#include "thumbnail_test_support.h"

#include <QImageReader>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tvn {
namespace {

using test::AppendBigEndian;
using test::EncodePicture;
using test::FetchThumbnail;
using test::ParseTag;
using test::TwoColourPicture;
using test::WriteFile;

// Inserts an EXIF segment whose only entry is the orientation (tag 0x0112) after the SOI.
QByteArray WithOrientation(QByteArray jpeg, int orientation) {
    QByteArray exif("Exif\0\0MM\0\x2A", 10);
    AppendBigEndian(exif, 8, 4); // the first directory follows the TIFF header
    AppendBigEndian(exif, 1, 2); // one entry
    AppendBigEndian(exif, 0x0112, 2);
    AppendBigEndian(exif, 3, 2); // SHORT
    AppendBigEndian(exif, 1, 4); // one value
    AppendBigEndian(exif, static_cast<std::uint32_t>(orientation), 2);
    AppendBigEndian(exif, 0, 2);
    AppendBigEndian(exif, 0, 4); // no further directory
    QByteArray segment("\xFF\xE1", 2);
    AppendBigEndian(segment, static_cast<std::uint32_t>(exif.size() + 2), 2);
    jpeg.insert(2, segment + exif);
    return jpeg;
}

TEST(MakeThumbnailTag, TurnsPicturesAsTheirExifOrientationSays) {
    // The stored picture is red on the left and blue on the right.
    struct Case {
        const char* name;
        int width, height, orientation;
        int thumbWidth, thumbHeight;
        bool redFirst; // red at the left (unturned) or at the top (turned)
    };
    const Case cases[] = {
        {"o1.jpg", 400, 300, 1, 100, 75, true},
        {"o3.jpg", 400, 300, 3, 100, 75, false}, // half a turn
        {"o6.jpg", 400, 300, 6, 75, 100, true},  // a quarter clockwise: left goes to the top
        {"o8.jpg", 400, 300, 8, 75, 100, false}, // a quarter the other way
        {"o6-big.jpg", 4000, 3000, 6, 75, 100, true},
        {"o6-small.jpg", 80, 60, 6, 60, 80, true}, // turned, but not scaled
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray jpeg = WithOrientation(
            EncodePicture(TwoColourPicture(c.width, c.height), "jpeg"), c.orientation);
        ASSERT_NO_FATAL_FAILURE(test::ExpectTwoColourThumbnail(
            WriteFile(dir, c.name, jpeg), c.thumbWidth, c.thumbHeight, c.redFirst));
    }
}

// Sets Qt's image allocation limit for one test and puts the old one back.
class ScopedAllocationLimit {
  public:
    explicit ScopedAllocationLimit(int megabytes) : saved(QImageReader::allocationLimit()) {
        QImageReader::setAllocationLimit(megabytes);
    }
    ~ScopedAllocationLimit() { QImageReader::setAllocationLimit(saved); }

  private:
    int saved;
};

QImage Gradient(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, 128));
    }
    return image;
}

TEST(MakeThumbnailTag, PicturesNeedingMoreThanTheAllocationLimitFallBack) {
    // 1 MB: a 1000 by 1000 picture needs 4 MB at full size, 60 KB decoded at 1/8.
    const ScopedAllocationLimit limit(1);
    const QImage picture = Gradient(1000, 1000);
    struct Case {
        const char* name;
        QByteArray bytes;
        bool decoded;
    };
    const Case cases[] = {
        {"full.bmp", EncodePicture(picture, "bmp"), false}, // BMP is decoded at full size
        {"rows.png", EncodePicture(picture, "png"), true},  // PNG is scaled row by row
        {"baseline.jpg", EncodePicture(picture, "jpeg"), true},
        // A progressive JPEG keeps every coefficient of the picture, 3 MB here.
        {"progressive.jpg", EncodePicture(picture, "jpeg", true), false},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = MakeThumbnailTag(WriteFile(dir, c.name, c.bytes), "name");
        EXPECT_EQ(tag != "name", c.decoded) << tag;
    }
}

// A progressive JPEG made small, then relabelled as `side` by `side` pixels.
QByteArray HugeProgressiveJpeg(int side) {
    QByteArray jpeg = EncodePicture(Gradient(64, 64), "jpeg", true);
    const auto frame = jpeg.indexOf(QByteArray("\xFF\xC2", 2));
    if (frame < 0)
        return {};
    for (int i : {5, 7}) {
        jpeg[frame + i] = static_cast<char>(side >> 8);
        jpeg[frame + i + 1] = static_cast<char>(side & 0xFF);
    }
    return jpeg;
}

// A PNG header that claims `side` by `side` RGBA pixels, with no pixel data behind it.
QByteArray HugePngHeader(std::uint32_t side) {
    QByteArray header;
    AppendBigEndian(header, side, 4);
    AppendBigEndian(header, side, 4);
    header.append("\x08\x06\x00\x00\x00", 5);
    QByteArray png("\x89PNG\r\n\x1A\n", 8);
    test::AppendPngChunk(png, "IHDR", header);
    return png;
}

TEST(MakeThumbnailTag, HugePicturesFallBackWithoutTakingTheMemory) {
    QTemporaryDir dir;
    const QByteArray progressive = HugeProgressiveJpeg(12000); // 430 MB of coefficients
    ASSERT_FALSE(progressive.isEmpty());
    EXPECT_EQ(MakeThumbnailTag(WriteFile(dir, "huge.jpg", progressive), "huge"), "huge");
    EXPECT_EQ(MakeThumbnailTag(WriteFile(dir, "huge.png", HugePngHeader(30000)), "huge png"),
              "huge png");

    // An ordinary progressive photograph is well inside the limit.
    const std::string ordinary =
        WriteFile(dir, "progressive.jpg", EncodePicture(Gradient(2000, 1500), "jpeg", true));
    EXPECT_EQ(ParseTag(MakeThumbnailTag(ordinary, "ordinary")).height, 75);
}

// A 2.6 MB PNG of 30000 by 30000 pixels took eight seconds to make a thumbnail of: Qt's PNG
// reader scales row by row, so the allocation limit let it through, and every row was
// decoded. A picture of more pixels than a camera makes is refused from its header.
// The PNGs here are valid (the small one, made the same way, is decoded): a huge one that
// got a thumbnail would have been decoded whole.
TEST(MakeThumbnailTag, PicturesOfMorePixelsThanACameraMakesFallBackUndecoded) {
    QByteArray baseline = EncodePicture(Gradient(64, 64), "jpeg");
    const auto frame = baseline.indexOf(QByteArray("\xFF\xC0", 2));
    ASSERT_GE(frame, 0);
    baseline[frame + 5] = static_cast<char>(13000 >> 8); // height
    baseline[frame + 6] = static_cast<char>(13000 & 0xFF);
    baseline[frame + 7] = static_cast<char>(20000 >> 8); // width
    baseline[frame + 8] = static_cast<char>(20000 & 0xFF);
    struct Case {
        const char* name;
        QByteArray bytes;
        int thumbHeight; // 0: the fallback text
    };
    const Case cases[] = {
        {"huge.png", test::BlackPng(20000, 13000), 0}, // 260 million pixels
        {"ordinary.png", test::BlackPng(2000, 1300), 65},
        // libjpeg decodes at an eighth of the size, so JPEG is held to the memory limit only.
        {"huge.jpg", baseline, 65},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = MakeThumbnailTag(WriteFile(dir, c.name, c.bytes), "refused");
        if (c.thumbHeight == 0) {
            EXPECT_EQ(tag, "refused");
        } else {
            EXPECT_EQ(ParseTag(tag).height, c.thumbHeight) << tag;
        }
    }
}

TEST(MakeThumbnailTag, FilesThatAreNoPicturesFallBack) {
    QTemporaryDir dir;
    // Rendering SVG text needs fonts, which a QCoreApplication lacks: Qt would abort.
    const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"300\">"
                           "<text x=\"10\" y=\"50\" font-size=\"40\">Hello</text></svg>";
    EXPECT_EQ(MakeThumbnailTag(WriteFile(dir, "text.svg", svg), "svg"), "svg");
    EXPECT_EQ(MakeThumbnailTag(WriteFile(dir, "disguised.png", svg), "disguised"), "disguised");

    // A named pipe must not block the server until someone writes to it.
    const std::string pipe = dir.filePath("pipe.jpg").toStdString();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(MakeThumbnailTag(pipe, "pipe"), "pipe");

    const std::string folder = dir.filePath("folder.jpg").toStdString();
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    EXPECT_EQ(MakeThumbnailTag(folder, "folder"), "folder");

    EXPECT_EQ(MakeThumbnailTag(WriteFile(dir, "empty.jpg", QByteArray()), "empty"), "empty");
}

TEST(MakeThumbnailTag, TransparentPartsComeOutWhite) {
    QImage clear(50, 50, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    QTemporaryDir dir;
    const std::string path = WriteFile(dir, "clear.png", EncodePicture(clear, "png"));
    const QImage thumb = FetchThumbnail(ParseTag(MakeThumbnailTag(path, "clear")).url);
    ASSERT_EQ(thumb.size(), QSize(50, 50));
    EXPECT_GT(qGray(thumb.pixel(25, 25)), 240);
}

} // namespace
} // namespace tvn
