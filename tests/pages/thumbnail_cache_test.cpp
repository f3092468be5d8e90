// Thumbnail keys, the box rule, the cache's life rules and the thumbnail URLs.
#include "pages/thumbnail_cache.h"
#include "thumbnail_test_support.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace tvn {
namespace {

using test::EncodePicture;
using test::FetchThumbnail;
using test::ParseTag;
using test::WriteFile;

TEST(ThumbnailKey, IsTheComplementOfTheUsualCrc32) {
    struct Case {
        std::string_view path;
        std::uint32_t key;
    };
    const Case cases[] = {
        {"123456789", ~0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", ~0x414FA339u},
        {"a", ~0xE8B7BE43u},
        {"", 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path));
        EXPECT_EQ(ThumbnailKey(c.path), c.key);
    }
    EXPECT_EQ(ThumbnailKey("123456789"), 0x340BC6D9u);
}

TEST(FitThumbnailBox, ScalesTheLongerSideTo100AndTruncates) {
    struct Case {
        int width, height;
        ThumbnailSize out;
    };
    const Case cases[] = {
        {400, 300, {100, 75}},   {300, 400, {75, 100}},
        {640, 640, {100, 100}},  {80, 60, {80, 60}},
        {100, 100, {100, 100}},  {1, 100, {1, 100}},
        {4000, 3000, {100, 75}}, {3000, 4000, {75, 100}},
        {150, 100, {100, 66}}, // 66.67 is cut, not rounded
        {101, 100, {100, 99}},   {100, 101, {99, 100}},
        {1, 1000, {1, 100}}, // 0.1 pixels wide would be no picture at all
        {1000, 1, {100, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        EXPECT_EQ(FitThumbnailBox(c.width, c.height), c.out);
    }
}

TEST(MakeThumbnailTag, SizesPicturesOfEachFormatToTheBox) {
    QTemporaryDir dir;
    struct Case {
        const char* name;
        const char* format;
        int width, height;
        int thumbWidth, thumbHeight;
    };
    const Case cases[] = {
        {"wide.jpg", "jpeg", 400, 300, 100, 75},     {"tall.png", "png", 300, 400, 75, 100},
        {"square.jpg", "jpeg", 640, 640, 100, 100},  {"small.png", "png", 80, 60, 80, 60},
        {"camera.jpg", "jpeg", 4000, 3000, 100, 75}, {"odd.bmp", "bmp", 150, 100, 100, 66},
        {"thin.png", "png", 1, 1000, 1, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QImage image(c.width, c.height, QImage::Format_RGB32);
        image.fill(qRgb(90, 140, 200));
        const std::string path = WriteFile(dir, c.name, EncodePicture(image, c.format));
        const auto tag = ParseTag(MakeThumbnailTag(path, "fallback"));
        EXPECT_EQ(tag.width, c.thumbWidth);
        EXPECT_EQ(tag.height, c.thumbHeight);
        EXPECT_EQ(FetchThumbnail(tag.url).size(), QSize(c.thumbWidth, c.thumbHeight));
    }
}

TEST(MakeThumbnailTag, SmallPictureKeepsItsPixels) {
    // One-pixel checks: any resampling or shift turns them into grey or inverts them.
    QImage image(80, 60, QImage::Format_RGB32);
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 80; ++x)
            image.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    }
    QTemporaryDir dir;
    const std::string path = WriteFile(dir, "checks.png", EncodePicture(image, "png"));
    const auto tag = ParseTag(MakeThumbnailTag(path, "checks"));
    ASSERT_EQ(tag.width, 80);
    ASSERT_EQ(tag.height, 60);
    const QImage thumb = FetchThumbnail(tag.url);
    ASSERT_EQ(thumb.size(), QSize(80, 60));
    int wrong = 0;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 80; ++x) {
            const bool white = qGray(thumb.pixel(x, y)) > 128;
            wrong += white != ((x + y) % 2 == 1);
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(MakeThumbnailTag, DecodesEachPathOnceAndKeepsTheFirstThumbnail) {
    QTemporaryDir dir;
    QImage wide(400, 300, QImage::Format_RGB32);
    wide.fill(Qt::darkGreen);
    const std::string path = WriteFile(dir, "kept.jpg", EncodePicture(wide, "jpeg"));

    const int before = ThumbnailDecodeCount();
    const std::string first = MakeThumbnailTag(path, "kept");
    char expectedUrl[32];
    std::snprintf(expectedUrl, sizeof expectedUrl, "/Thumbnail__%08X", ThumbnailKey(path));
    EXPECT_EQ(ParseTag(first).url, expectedUrl);

    // The file changes on disk: the run keeps the thumbnail it made first.
    QImage tall(300, 400, QImage::Format_RGB32);
    tall.fill(Qt::darkRed);
    WriteFile(dir, "kept.jpg", EncodePicture(tall, "jpeg"));
    EXPECT_EQ(MakeThumbnailTag(path, "kept"), first);
    EXPECT_EQ(ThumbnailDecodeCount(), before + 1);
}

TEST(MakeThumbnailTag, UndecodablePictureFallsBackAndIsTriedAgain) {
    QTemporaryDir dir;
    const std::string path = WriteFile(dir, "broken.jpg", "this is not a picture");
    const int before = ThumbnailDecodeCount();
    EXPECT_EQ(MakeThumbnailTag(path, "broken"), "broken");
    EXPECT_EQ(MakeThumbnailTag(path, "broken"), "broken");
    EXPECT_EQ(ThumbnailDecodeCount(), before + 2);

    QImage image(200, 100, QImage::Format_RGB32);
    image.fill(Qt::gray);
    WriteFile(dir, "broken.jpg", EncodePicture(image, "jpeg"));
    const auto tag = ParseTag(MakeThumbnailTag(path, "broken"));
    EXPECT_EQ(tag.width, 100);
    EXPECT_EQ(tag.height, 50);

    EXPECT_EQ(MakeThumbnailTag(dir.filePath("missing.jpg").toStdString(), "missing"), "missing");
}

// A listing makes the tags of all its pictures at once, decoding the new ones side by side:
// each tag stands at its picture's place, a path named twice is decoded once, and a broken
// picture shows its text.
TEST(MakeThumbnailTags, ManyPicturesInTheirOrder) {
    QTemporaryDir dir;
    std::vector<PictureRef> pictures;
    for (int i = 0; i < 6; ++i) {
        QImage image(200, 100 + 20 * i, QImage::Format_RGB32);
        image.fill(Qt::darkBlue);
        const std::string name = "p" + std::to_string(i) + ".jpg";
        pictures.push_back({WriteFile(dir, name.c_str(), EncodePicture(image, "jpeg")), name});
    }
    pictures.push_back(pictures[2]);
    pictures.push_back({WriteFile(dir, "bad.jpg", "no picture"), "bad"});
    const int before = ThumbnailDecodeCount();
    const std::vector<std::string> tags = MakeThumbnailTags(pictures);
    ASSERT_EQ(tags.size(), pictures.size());
    EXPECT_EQ(ThumbnailDecodeCount(), before + 7);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tags[i], MakeThumbnailTag(pictures[i].path, "cached"));
        EXPECT_EQ(ParseTag(tags[i]).height, (100 + 20 * i) / 2);
    }
    EXPECT_EQ(tags[6], tags[2]);
    EXPECT_EQ(tags[7], "bad");
    EXPECT_EQ(ThumbnailDecodeCount(), before + 7); // the six were cached
    EXPECT_TRUE(MakeThumbnailTags({}).empty());
}

TEST(FindThumbnail, AcceptsOnlyThePrefixThenHexDigits) {
    QTemporaryDir dir;
    QImage image(300, 200, QImage::Format_RGB32);
    image.fill(Qt::blue);
    const std::string path = WriteFile(dir, "url.jpg", EncodePicture(image, "jpeg"));
    const auto tag = ParseTag(MakeThumbnailTag(path, "url"));
    ASSERT_GT(tag.width, 0);
    std::size_t size = 0;
    ASSERT_TRUE(FindThumbnail(tag.url, size));
    const std::size_t expectedSize = size;

    const std::uint32_t key = ThumbnailKey(path);
    char upper[16], lower[16];
    std::snprintf(upper, sizeof upper, "%08X", key);
    std::snprintf(lower, sizeof lower, "%08x", key);
    char unknown[16];
    std::snprintf(unknown, sizeof unknown, "%08X", key ^ 0x80000000u);
    struct Case {
        std::string url;
        bool found;
    };
    const Case cases[] = {
        {std::string("/Thumbnail__") + upper, true},
        {std::string("/Thumbnail__") + lower, true},
        {std::string("/Thumbnail__") + upper + ".jpg", true}, // parsing stops at the dot
        {std::string("/Thumbnail__0") + upper, true},         // a leading zero is still the key
        {std::string("/Thumbnail__1") + upper, false},        // over 32 bits: no key of ours
        {std::string("/thumbnail__") + upper, false},
        {std::string("Thumbnail__") + upper, false},
        {std::string("//Thumbnail__") + upper, false},
        {std::string("/Thumbnail_") + upper, false},
        {std::string("/Thumbnail__") + unknown, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::size_t found = 0;
        EXPECT_EQ(FindThumbnail(c.url, found), c.found);
        if (c.found) {
            EXPECT_EQ(found, expectedSize);
        }
    }
}

TEST(CopyThumbnail, GivesTheWholeJpegAndThePictureItShows) {
    QTemporaryDir dir;
    QImage image(120, 90, QImage::Format_RGB32);
    image.fill(Qt::yellow);
    const std::string path = WriteFile(dir, "read.jpg", EncodePicture(image, "jpeg"));
    const std::string url = ParseTag(MakeThumbnailTag(path, "read")).url;
    std::size_t size = 0;
    ASSERT_TRUE(FindThumbnail(url, size));

    std::string jpeg;
    std::string picture;
    ASSERT_TRUE(CopyThumbnail(url, jpeg, picture));
    EXPECT_EQ(jpeg.size(), size);
    EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
    // The picture's folder decides who may see the thumbnail: it must be the path listed.
    EXPECT_EQ(picture, path);
    EXPECT_FALSE(CopyThumbnail("/thumbnail__" + url.substr(12), jpeg, picture));
}

} // namespace
} // namespace tvn
