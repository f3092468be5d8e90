// The picture class: its memory layout, its memory file, the box shrink and the PNG it writes.
#include "pages/image/dib_image.h"
#include "pages/image/img_file.h"
#include "pages/image/png_encoder.h"

#include <QImage>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tvn {
namespace {

TEST(DibImageCreate, NormalisesDepthAndLaysOutRows) {
    struct Case {
        int width, askedDepth, depth, colors;
        std::size_t stride;
    };
    const Case cases[] = {
        {5, 0, 1, 2, 4},   {5, 1, 1, 2, 4},       {5, 2, 4, 16, 4},      {5, 4, 4, 16, 4},
        {5, 5, 8, 256, 8}, {5, 8, 8, 256, 8},     {5, 9, 24, 0, 16},     {5, 32, 24, 0, 16},
        {33, 1, 1, 2, 8},  {100, 24, 24, 0, 300}, {101, 24, 24, 0, 304},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x3 at " + std::to_string(c.askedDepth));
        CDibImage image;
        ASSERT_TRUE(image.Create(c.width, 3, c.askedDepth));
        EXPECT_EQ(image.BitsPerPixel(), c.depth);
        EXPECT_EQ(image.NumColors(), c.colors);
        EXPECT_EQ(image.Stride(), c.stride);
        EXPECT_EQ(image.Header().size, 40u);
        EXPECT_EQ(image.Header().planes, 1);
        EXPECT_EQ(image.Header().sizeImage, c.stride * 3);
        EXPECT_EQ(image.Header().xPelsPerMeter, 3780);
        EXPECT_EQ(image.Header().yPelsPerMeter, 3780);
        EXPECT_EQ(image.Row(1), image.Bits() + c.stride);
        EXPECT_EQ(image.Row(3), nullptr);
        const std::vector<std::uint8_t> zeros(c.stride * 3, 0);
        EXPECT_EQ(std::memcmp(image.Bits(), zeros.data(), zeros.size()), 0);
    }
}

TEST(DibImageCreate, RefusesEmptyAndHugePictures) {
    struct Case {
        int width, height, depth;
        const char* error;
    };
    const char* kZero = "CDibImage::Create : width and height must be greater than zero";
    const char* kHuge = "DIBIMAGE_MAX_MEMORY exceeded";
    const Case cases[] = {
        {0, 5, 24, kZero},         {5, 0, 24, kZero},
        {-1, 5, 8, kZero},         {17, 15790321, 8, kHuge}, // 17 * 15790321 * 8 = 0x80000008 bits
        {65536, 65536, 1, kHuge},                            // width x height overflows 32 bits
        {46341, 46341, 24, kHuge}, // the product in bits wraps around 32 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        CDibImage image;
        EXPECT_FALSE(image.Create(c.width, c.height, c.depth));
        EXPECT_FALSE(image.IsValid());
        EXPECT_STREQ(image.LastError(), c.error);
    }
}

TEST(DibImageCreate, ResolutionIsStoredAsPixelsPerMetre) {
    const std::pair<int, int> cases[] = {
        {96, 3780}, {0, 3780}, {-5, 3780}, {72, 2835}, {300, 11811}};
    for (const auto& [dpi, perMetre] : cases) {
        CDibImage image;
        image.SetDpi(dpi);
        ASSERT_TRUE(image.Create(2, 2, 24));
        EXPECT_EQ(image.Header().xPelsPerMeter, perMetre) << dpi;
        EXPECT_EQ(image.Header().yPelsPerMeter, perMetre) << dpi;
    }
}

TEST(ImgMemFile, GrowsInWholeStepsAboveWhatAWriteNeeds) {
    const std::pair<std::size_t, std::size_t> cases[] = {
        {1, 1}, {2, 65536}, {65535, 65536}, {65536, 131072}, {131071, 131072}, {131072, 196608},
    };
    for (const auto& [bytes, capacity] : cases) {
        CImgMemFile file;
        ASSERT_TRUE(file.Open());
        EXPECT_EQ(file.Capacity(), 1u);
        const std::vector<char> data(bytes, 'x');
        EXPECT_EQ(file.Write(data.data(), 1, bytes), bytes);
        EXPECT_EQ(file.Capacity(), capacity) << bytes;
        EXPECT_EQ(file.Size(), static_cast<long>(bytes));
    }
}

TEST(ImgMemFile, SeeksReadsAndEndsAtTheWrittenSize) {
    CImgMemFile file;
    EXPECT_EQ(file.Tell(), -1);
    EXPECT_EQ(file.Size(), -1);
    EXPECT_TRUE(file.Eof());
    EXPECT_FALSE(file.Flush());
    EXPECT_EQ(file.Write("a", 1, 1), 0u);
    ASSERT_TRUE(file.Open());
    EXPECT_FALSE(file.Open());
    EXPECT_EQ(file.Write("hello\nworld", 1, 11), 11u);
    EXPECT_TRUE(file.PutC('!'));
    EXPECT_EQ(file.Size(), 12);
    EXPECT_TRUE(file.Eof());
    EXPECT_TRUE(file.Seek(-100, 1));
    EXPECT_EQ(file.Tell(), 0);
    char line[32];
    EXPECT_STREQ(file.GetS(line, sizeof line), "hello\n");
    EXPECT_EQ(file.GetC(), 'w');
    EXPECT_TRUE(file.Seek(-2, 2));
    char tail[8] = {};
    EXPECT_EQ(file.Read(tail, 1, sizeof tail), 2u); // stops at the size
    EXPECT_STREQ(tail, "d!");
    EXPECT_EQ(file.GetC(), -1);
    EXPECT_TRUE(file.Seek(1, 0));
    EXPECT_EQ(file.Read(tail, 4, 2), 2u); // whole items only
    EXPECT_FALSE(file.Seek(0, 3));
}

TEST(ImgMemFile, DetachedBufferOutlivesTheFile) {
    std::unique_ptr<std::uint8_t, CFreeDeleter> kept;
    {
        CImgMemFile file;
        ASSERT_TRUE(file.Open());
        file.Write("picture", 1, 7);
        kept.reset(file.GetBuffer(true));
        file.Close();
    }
    EXPECT_EQ(std::memcmp(kept.get(), "picture", 7), 0);

    std::uint8_t fixed[4] = {};
    CImgMemFile over(fixed, sizeof fixed);
    EXPECT_EQ(over.Write("abcd", 1, 4), 4u);
    EXPECT_EQ(over.Write("e", 1, 1), 0u); // a caller's buffer never grows
    EXPECT_EQ(std::memcmp(fixed, "abcd", 4), 0);
}

// A 24-bit picture whose channels differ per pixel and whose sums do not divide evenly.
void Fill(CDibImage& image) {
    for (int y = 0; y < image.Height(); ++y)
        for (int x = 0; x < image.Width(); ++x)
            image.SetPixelColor(x, y,
                                DibRgbQuad{std::uint8_t(x * 31 + y), std::uint8_t(y * 29 + x * 3),
                                           std::uint8_t((x * 7 + y * 13) % 256), 0});
}

struct Span {
    int begin, end;
};

// The mean of the source pixels in the given columns and rows, worked out cell by cell.
void ExpectCellMeans(const CDibImage& source, const CDibImage& shrunk,
                     const std::vector<Span>& columns, const std::vector<Span>& rows) {
    ASSERT_EQ(shrunk.Width(), static_cast<int>(columns.size()));
    ASSERT_EQ(shrunk.Height(), static_cast<int>(rows.size()));
    for (std::size_t oy = 0; oy < rows.size(); ++oy) {
        for (std::size_t ox = 0; ox < columns.size(); ++ox) {
            unsigned b = 0, g = 0, r = 0, n = 0;
            for (int y = rows[oy].begin; y < rows[oy].end; ++y)
                for (int x = columns[ox].begin; x < columns[ox].end; ++x, ++n) {
                    const DibRgbQuad c = source.GetPixelColor(x, y);
                    b += c.blue, g += c.green, r += c.red;
                }
            SCOPED_TRACE("cell " + std::to_string(ox) + "," + std::to_string(oy));
            EXPECT_EQ(
                shrunk.GetPixelColor(int(ox), int(oy)),
                (DibRgbQuad{std::uint8_t(b / n), std::uint8_t(g / n), std::uint8_t(r / n), 0}));
        }
    }
}

TEST(BoxShrink, HalvingEightGroupsColumnsByTheAccumulator) {
    CDibImage source;
    ASSERT_TRUE(source.Create(8, 8, 24));
    Fill(source);
    CDibImage shrunk;
    ASSERT_TRUE(source.BoxShrink(4, 4, &shrunk));
    ExpectCellMeans(source, shrunk, {{0, 3}, {3, 5}, {5, 7}, {7, 8}},
                    {{0, 2}, {2, 4}, {4, 6}, {6, 8}});
    // Column 7 makes a cell of its own: rows 0 and 1 give blue 217 and 218, mean 217.
    EXPECT_EQ(shrunk.GetPixelColor(3, 0).blue, 217);
    EXPECT_EQ(source.Width(), 8); // the source stays as it was
    EXPECT_EQ(source.Progress(), 100);
}

TEST(BoxShrink, UnevenRatiosAndInPlace) {
    CDibImage source, original;
    ASSERT_TRUE(source.Create(10, 6, 24));
    Fill(source);
    ASSERT_TRUE(original.Copy(source));
    ASSERT_TRUE(source.BoxShrink(3, 4));
    ExpectCellMeans(original, source, {{0, 4}, {4, 7}, {7, 10}}, {{0, 2}, {2, 3}, {3, 5}, {5, 6}});
}

// Regression: with the width unchanged the accumulator only moves on after two columns, so
// the last cell stayed empty and its mean divided by zero.
TEST(BoxShrink, KeptWidthGivesEveryColumnItsOwnCell) {
    CDibImage source;
    ASSERT_TRUE(source.Create(4, 4, 24));
    Fill(source);
    CDibImage shrunk;
    ASSERT_TRUE(source.BoxShrink(4, 2, &shrunk));
    ExpectCellMeans(source, shrunk, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}, {{0, 2}, {2, 4}});
}

TEST(BoxShrink, RefusesToEnlargeAndCopiesTheSameSize) {
    CDibImage source;
    ASSERT_TRUE(source.Create(6, 4, 24));
    Fill(source);
    EXPECT_FALSE(source.BoxShrink(7, 4));
    EXPECT_STREQ(source.LastError(), "BoxShrink can't enlarge image");
    EXPECT_FALSE(source.BoxShrink(6, 5));
    CDibImage copy;
    ASSERT_TRUE(source.BoxShrink(6, 4, &copy));
    ASSERT_EQ(copy.Width(), 6);
    EXPECT_EQ(std::memcmp(copy.Bits(), source.Bits(), source.Header().sizeImage), 0);
    CDibImage empty;
    EXPECT_FALSE(empty.BoxShrink(1, 1));
    source.SetEscape(true);
    EXPECT_FALSE(source.BoxShrink(3, 2));
    EXPECT_EQ(source.Width(), 6);
}

TEST(BoxShrink, PalettedPicturesAndAlphaAverageToo) {
    CDibImage source;
    ASSERT_TRUE(source.Create(4, 4, 8));
    source.SetGrayPalette();
    ASSERT_TRUE(source.AlphaCreate());
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            source.Row(y)[x] = std::uint8_t(x * 40 + y * 9);
            source.AlphaPlane()[y * 4 + x] = std::uint8_t(x * 60 + y);
        }
    // 4 to 2 columns: cells 0-2 and 3; rows 0-1 and 2-3.
    CDibImage grey, deep;
    ASSERT_TRUE(source.BoxShrink(2, 2, &grey));
    ASSERT_TRUE(source.BoxShrink(2, 2, &deep, true));
    EXPECT_EQ(grey.BitsPerPixel(), 8);
    EXPECT_EQ(deep.BitsPerPixel(), 24);
    const int level = (0 + 40 + 80 + 9 + 49 + 89) / 6; // cell 0 of the bottom row
    EXPECT_EQ(grey.Row(0)[0], level);
    EXPECT_EQ(deep.GetPixelColor(0, 0),
              (DibRgbQuad{std::uint8_t(level), std::uint8_t(level), std::uint8_t(level), 0}));
    EXPECT_EQ(grey.Row(1)[1], (120 + 18 + 120 + 27) / 2);
    EXPECT_EQ(grey.AlphaPlane()[0], (0 + 60 + 120 + 1 + 61 + 121) / 6);
}

// PNG chunks by type (the first of each), from the bytes after the signature.
std::map<std::string, std::string> Chunks(const char* png, std::size_t size) {
    std::map<std::string, std::string> chunks;
    const auto* bytes = reinterpret_cast<const unsigned char*>(png);
    for (std::size_t at = 8; at + 12 <= size;) {
        const std::size_t length =
            std::size_t(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
        chunks.emplace(std::string(png + at + 4, 4), std::string(png + at + 8, length));
        at += 12 + length;
    }
    return chunks;
}

struct Encoded {
    std::unique_ptr<char, CFreeDeleter> bytes;
    std::size_t size = 0;
    QImage decoded() const {
        return QImage::fromData(reinterpret_cast<const uchar*>(bytes.get()), int(size), "PNG");
    }
    std::map<std::string, std::string> chunks() const { return Chunks(bytes.get(), size); }
};

Encoded EncodeOrFail(CDibImage& image) {
    Encoded out;
    char* buffer = nullptr;
    EXPECT_TRUE(image.Encode(buffer, out.size, ImageKind::Png)) << image.LastError();
    out.bytes.reset(buffer);
    return out;
}

void ExpectSamePixels(const CDibImage& image, const QImage& decoded) {
    ASSERT_EQ(decoded.width(), image.Width());
    ASSERT_EQ(decoded.height(), image.Height());
    for (int y = 0; y < image.Height(); ++y)
        for (int x = 0; x < image.Width(); ++x) {
            const DibRgbQuad c = image.GetPixelColor(x, image.Height() - 1 - y); // PNG is top-down
            ASSERT_EQ(decoded.pixel(x, y), qRgb(c.red, c.green, c.blue)) << x << "," << y;
        }
}

TEST(PngEncode, TrueColourPictureIsEightBitRgbWithResolutionAndWhiteBackground) {
    CDibImage image;
    ASSERT_TRUE(image.Create(7, 5, 24));
    Fill(image);
    const Encoded png = EncodeOrFail(image);
    ExpectSamePixels(image, png.decoded());
    const auto chunks = png.chunks();
    // width 7, height 5, depth 8, RGB, deflate, adaptive filtering, not interlaced
    EXPECT_EQ(chunks.at("IHDR"), std::string("\0\0\0\7\0\0\0\5\x08\x02\0\0\0", 13));
    EXPECT_EQ(chunks.at("pHYs"), std::string("\0\0\x0e\xc4\0\0\x0e\xc4\x01", 9)); // 3780, metre
    EXPECT_EQ(chunks.at("bKGD"), std::string("\0\xff\0\xff\0\xff", 6));
    EXPECT_EQ(chunks.count("PLTE") + chunks.count("tRNS"), 0u);

    image.SetCodecOption(1);
    const Encoded interlaced = EncodeOrFail(image);
    EXPECT_EQ(interlaced.chunks().at("IHDR")[12], 1);
    ExpectSamePixels(image, interlaced.decoded());
}

TEST(PngEncode, PalettedPicturesKeepTheirPalette) {
    CDibImage image;
    ASSERT_TRUE(image.Create(5, 3, 4)); // odd width: the last byte of a row holds one pixel
    for (int i = 0; i < 16; ++i)
        image.Palette()[i] = DibRgbQuad{std::uint8_t(i * 16), std::uint8_t(255 - i), 7, 0};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            image.SetPixelColor(x, y, image.Palette()[(x * 3 + y * 5) % 16]);
    image.SetTransparentIndex(2);
    const Encoded png = EncodeOrFail(image);
    const auto chunks = png.chunks();
    EXPECT_EQ(chunks.at("IHDR").substr(8, 2), std::string("\x04\x03", 2));
    EXPECT_EQ(chunks.at("PLTE").size(), 48u);
    EXPECT_EQ(chunks.at("bKGD"), std::string("\x02", 1));
    EXPECT_EQ(chunks.at("tRNS"), std::string("\xff\xff\0", 3));
    const QImage decoded = png.decoded().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            const int index = (x * 3 + (2 - y) * 5) % 16;
            const DibRgbQuad c = image.Palette()[index];
            EXPECT_EQ(decoded.pixel(x, y), qRgba(c.red, c.green, c.blue, index == 2 ? 0 : 255));
        }

    CDibImage grey;
    ASSERT_TRUE(grey.Create(3, 2, 8));
    grey.SetGrayPalette();
    grey.Row(0)[1] = 200;
    const Encoded greyPng = EncodeOrFail(grey);
    EXPECT_EQ(greyPng.chunks().at("IHDR").substr(8, 2), std::string("\x08\x00", 2));
    EXPECT_EQ(greyPng.chunks().count("PLTE"), 0u);
    ExpectSamePixels(grey, greyPng.decoded());
}

TEST(PngEncode, AlphaPlaneMakesRgba) {
    CDibImage image;
    ASSERT_TRUE(image.Create(3, 2, 24));
    Fill(image);
    ASSERT_TRUE(image.AlphaCreate());
    for (int i = 0; i < 6; ++i)
        image.AlphaPlane()[i] = std::uint8_t(i * 50);
    const Encoded png = EncodeOrFail(image);
    EXPECT_EQ(png.chunks().at("IHDR").substr(8, 2), std::string("\x08\x06", 2));
    const QImage decoded = png.decoded().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(qAlpha(decoded.pixel(2, 0)), 250); // top row = memory row 1
    EXPECT_EQ(qAlpha(decoded.pixel(0, 1)), 0);
}

TEST(PngEncode, FailuresSayWhy) {
    CDibImage image;
    char* buffer = nullptr;
    std::size_t size = 0;
    EXPECT_FALSE(image.Encode(buffer, size, ImageKind::Png));
    EXPECT_STREQ(image.LastError(), "null image!!!");
    ASSERT_TRUE(image.Create(4, 4, 24));
    EXPECT_FALSE(image.Encode(buffer, size, ImageKind::Unknown));
    EXPECT_STREQ(image.LastError(), "Encode: Unknown format");
    char busy[1];
    buffer = busy;
    EXPECT_FALSE(image.Encode(buffer, size, ImageKind::Png));
    EXPECT_STREQ(image.LastError(), "the buffer must be empty");
    EXPECT_EQ(buffer, busy);

    CDibImagePNG png;
    EXPECT_FALSE(png.Encode(nullptr));
    EXPECT_STREQ(png.LastError(), "null file handler");
    ASSERT_TRUE(png.Create(4, 4, 24));
    CImgMemFile closed;
    EXPECT_FALSE(png.Encode(&closed));
    EXPECT_STREQ(png.LastError(), "Write Error");
}

} // namespace
} // namespace tvn
