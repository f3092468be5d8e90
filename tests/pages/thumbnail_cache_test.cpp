// Thumbnail keys, the box rule, the cache's life rules and the thumbnail URLs.
#include "file_opens.h"
#include "pages/thumbnail_cache.h"
#include "support/temp_dir.h"
#include "thumbnail_test_support.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

using test::EncodePicture;
using test::FetchThumbnail;
using test::FileOpens;
using test::ParseTag;
using test::WriteFile;

// A thumbnail belongs to a file, not to a spelling of its path: every way of naming the file
// gives its key, and another file of the same bytes has a key of its own.
TEST(ThumbnailKey, NamesTheFileWhicheverPathReachesIt) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::darkYellow);
    const QByteArray bytes = EncodePicture(image, "jpeg");
    ASSERT_EQ(::mkdir((root + "/real").c_str(), 0700), 0);
    WriteFile(dir, "real/pic.jpg", bytes);
    WriteFile(dir, "real/twin.jpg", bytes);
    ASSERT_EQ(::symlink("real", (root + "/link").c_str()), 0);
    ASSERT_EQ(::symlink("pic.jpg", (root + "/real/alias.jpg").c_str()), 0);
    ASSERT_EQ(::symlink("link/alias.jpg", (root + "/chain.jpg").c_str()), 0);
    const std::uint32_t key = ThumbnailKey(root + "/real/pic.jpg");
    struct Case {
        const char* path;
        bool same;
    };
    const Case cases[] = {
        {"/real//pic.jpg", true},    {"/real/./pic.jpg", true}, {"/real/../real/pic.jpg", true},
        {"/link/pic.jpg", true},     {"/real/alias.jpg", true}, {"/chain.jpg", true},
        {"/link/./alias.jpg", true}, {"/real/twin.jpg", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ThumbnailKey(root + c.path) == key, c.same);
    }
}

// A path that names no file is keyed by the CRC-32 register over its own bytes: the
// well-known CRC-32 check values, inverted.
TEST(ThumbnailKey, PathOfNoFileIsTheCrcRegisterOfItsBytes) {
    struct Case {
        const char* path;
        std::uint32_t key;
    };
    const Case cases[] = {
        {"", 0xFFFFFFFFu},
        {"123456789", ~0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", ~0x414FA339u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ThumbnailKey(c.path), c.key);
    }
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

// An edited picture kept the thumbnail first made of it for the whole run: the key was the
// path's alone. The file's modification time and size are part of it, so a change of any
// one of them makes a fresh thumbnail. BMPs of 400 by 300 and of 300 by 400 pixels are of
// the same size, and the times are set by hand, so that each edit changes one thing only.
TEST(MakeThumbnailTag, EditedPictureGetsAFreshThumbnail) {
    QTemporaryDir dir;
    auto bmp = [](int width, int height) {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        return EncodePicture(image, "bmp");
    };
    const std::string path = WriteFile(dir, "edited.bmp", bmp(400, 300));
    ASSERT_TRUE(test::SetModified(path, 1'600'000'000, 500));
    const std::string first = MakeThumbnailTag(path, "edited");
    ASSERT_EQ(ParseTag(first).height, 75);
    FileOpens opens({path});
    ASSERT_TRUE(opens.Watching(1));
    struct Case {
        const char* edit;
        int width, height;
        std::int64_t seconds;
        long nanoseconds;
        int thumbHeight;
    };
    const Case cases[] = {
        {"the nanoseconds only", 300, 400, 1'600'000'000, 501, 100},
        {"the seconds only", 400, 300, 1'600'000'001, 501, 75},
        {"the size only", 400, 200, 1'600'000'001, 501, 50},
    };
    std::string before = first;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.edit);
        WriteFile(dir, "edited.bmp", bmp(c.width, c.height));
        ASSERT_TRUE(test::SetModified(path, c.seconds, c.nanoseconds));
        const int decodes = opens.Count(); // the edit's own opening is behind
        EXPECT_EQ(CachedThumbnailTags({{path, "edited"}}), std::nullopt);
        const std::string tag = MakeThumbnailTag(path, "edited");
        EXPECT_NE(ParseTag(tag).url, ParseTag(before).url);
        EXPECT_EQ(ParseTag(tag).height, c.thumbHeight);
        EXPECT_EQ(FetchThumbnail(ParseTag(tag).url).height(), c.thumbHeight);
        // Unchanged since, it is made no more.
        EXPECT_EQ(MakeThumbnailTag(path, "edited"), tag);
        EXPECT_EQ(opens.Count(), decodes + 1);
        before = tag;
    }
}

// A folder reached through a link, or a path with "//" or "/./" in it, made the same picture
// once more for every spelling, and kept each copy. One file is one thumbnail, and the
// picture it names is the path it was first listed by, the link included: the server checks
// that path's folder and the folder it leads to.
TEST(MakeThumbnailTags, SamePictureThroughLinksIsDecodedOnce) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    ASSERT_EQ(::mkdir((root + "/album").c_str(), 0700), 0);
    QImage image(300, 200, QImage::Format_RGB32);
    image.fill(Qt::darkMagenta);
    WriteFile(dir, "album/sea.jpg", EncodePicture(image, "jpeg"));
    ASSERT_EQ(::symlink("album", (root + "/shortcut").c_str()), 0);
    ASSERT_EQ(::symlink("album/sea.jpg", (root + "/sea.jpg").c_str()), 0);
    std::vector<PictureRef> pictures;
    for (const char* spelling :
         {"/shortcut/sea.jpg", "/album/sea.jpg", "/album//sea.jpg", "/album/./sea.jpg", "/sea.jpg"})
        pictures.push_back({root + spelling, spelling});

    FileOpens opens({root + "/album/sea.jpg"});
    ASSERT_TRUE(opens.Watching(1));
    const std::vector<std::string> tags = MakeThumbnailTags(pictures);
    EXPECT_EQ(opens.Count(), 1);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(pictures[i].fallbackText);
        EXPECT_EQ(ParseTag(tags[i]).width, 100);
        EXPECT_EQ(tags[i], tags[0]);
        EXPECT_EQ(MakeThumbnailTag(pictures[i].path, "again"), tags[0]);
    }
    EXPECT_EQ(CachedThumbnailTags(pictures), tags);
    EXPECT_EQ(opens.Count(), 1);
    std::string jpeg;
    std::string picture;
    ASSERT_TRUE(CopyThumbnail(ParseTag(tags[0]).url, jpeg, picture));
    EXPECT_EQ(picture, root + "/shortcut/sea.jpg");
}

TEST(MakeThumbnailTag, UndecodablePictureFallsBackAndIsTriedAgain) {
    QTemporaryDir dir;
    const std::string path = WriteFile(dir, "broken.jpg", "this is not a picture");
    FileOpens opens({path});
    ASSERT_TRUE(opens.Watching(1));
    EXPECT_EQ(MakeThumbnailTag(path, "broken"), "broken");
    EXPECT_EQ(MakeThumbnailTag(path, "broken"), "broken");
    EXPECT_EQ(opens.Count(), 2);

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
    std::vector<std::string> files;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (i != 6) // the second naming of p2
            files.push_back(pictures[i].path);
    }
    FileOpens opens(files);
    ASSERT_TRUE(opens.Watching(7));
    const std::vector<std::string> tags = MakeThumbnailTags(pictures);
    ASSERT_EQ(tags.size(), pictures.size());
    EXPECT_EQ(opens.Count(), 7);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tags[i], MakeThumbnailTag(pictures[i].path, "cached"));
        EXPECT_EQ(ParseTag(tags[i]).height, (100 + 20 * i) / 2);
    }
    EXPECT_EQ(tags[6], tags[2]);
    EXPECT_EQ(tags[7], "bad");
    EXPECT_EQ(opens.Count(), 7); // the six were cached
    EXPECT_TRUE(MakeThumbnailTags({}).empty());
}

TEST(CopyThumbnail, UrlIsThePrefixThenHexDigits) {
    QTemporaryDir dir;
    QImage image(300, 200, QImage::Format_RGB32);
    image.fill(Qt::blue);
    const std::string path = WriteFile(dir, "url.jpg", EncodePicture(image, "jpeg"));
    const auto tag = ParseTag(MakeThumbnailTag(path, "url"));
    ASSERT_GT(tag.width, 0);
    std::string expected;
    std::string picture;
    ASSERT_TRUE(CopyThumbnail(tag.url, expected, picture));

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
        std::string jpeg;
        EXPECT_EQ(CopyThumbnail(c.url, jpeg, picture), c.found);
        if (c.found) {
            EXPECT_EQ(jpeg, expected);
        }
    }
}

TEST(CopyThumbnail, GivesTheWholeJpegAndThePictureItShows) {
    QTemporaryDir dir;
    QImage image(120, 90, QImage::Format_RGB32);
    image.fill(Qt::yellow);
    const std::string path = WriteFile(dir, "read.jpg", EncodePicture(image, "jpeg"));
    const std::string url = ParseTag(MakeThumbnailTag(path, "read")).url;

    std::string jpeg;
    std::string picture;
    ASSERT_TRUE(CopyThumbnail(url, jpeg, picture));
    const QImage whole =
        QImage::fromData(QByteArray(jpeg.data(), static_cast<qsizetype>(jpeg.size())), "jpeg");
    EXPECT_EQ(whole.size(), QSize(100, 75));
    EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
    // The picture's folder decides who may see the thumbnail: it must be the path listed.
    EXPECT_EQ(picture, path);
    EXPECT_FALSE(CopyThumbnail("/thumbnail__" + url.substr(12), jpeg, picture));
}

} // namespace
} // namespace tvn
