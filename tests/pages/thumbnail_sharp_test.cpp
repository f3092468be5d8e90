// The sharp thumbnails of the built-in listing: their own box and URL form, their tag, and
// the ordinary thumbnails left as they were.
#include "heif_test_support.h"
#include "pages/thumbnail_cache.h"
#include "thumbnail_test_support.h"

#include <gtest/gtest.h>
#include <regex>

namespace tvn {
namespace {

using test::EncodeHeif;
using test::EncodePicture;
using test::FetchThumbnail;
using test::ParseTag;
using test::TwoColourPicture;
using test::WriteFile;

// A sharp tag read back; `ordinary` empty when it is no such tag, `sharp` empty when it offers
// no sharp thumbnail.
struct SharpTag {
    std::string ordinary;
    std::string sharp;
    int width = -1;
    int height = -1;
};

SharpTag ParseSharpTag(const std::string& tag) {
    static const std::regex shape(
        R"re(<img src="(/Thumbnail__[0-9A-F]{8})"(?: srcset="(/Thumbnail2x__[0-9A-F]{8}) 2x")? )re"
        R"re(width="(\d+)" height="(\d+)" loading="lazy" decoding="async">)re");
    std::smatch match;
    if (!std::regex_match(tag, match, shape))
        return {};
    return {match[1], match[2], std::stoi(match[3]), std::stoi(match[4])};
}

std::string Jpeg(const std::string& url) {
    std::string jpeg;
    std::string picture;
    return CopyThumbnail(url, jpeg, picture) ? jpeg : std::string();
}

TEST(SharpThumbnail, FitsTheDoubleBoxBesideTheOrdinaryOne) {
    struct Case {
        const char* name;
        QByteArray bytes;
        QSize ordinary;
        QSize sharp; // empty: none offered, it would be no sharper
    };
    const Case cases[] = {
        {"wide.jpg", EncodePicture(TwoColourPicture(400, 300), "jpeg"), {100, 75}, {200, 150}},
        {"tall.png", EncodePicture(TwoColourPicture(300, 600), "png"), {50, 100}, {100, 200}},
        {"between.jpg", EncodePicture(TwoColourPicture(150, 120), "jpeg"), {100, 80}, {150, 120}},
        {"small.jpg", EncodePicture(TwoColourPicture(80, 60), "jpeg"), {80, 60}, {}},
        {"thin.png", EncodePicture(TwoColourPicture(1000, 4), "png"), {100, 1}, {200, 1}},
        {"phone.heic",
         EncodeHeif(TwoColourPicture(400, 300), heif_compression_HEVC),
         {100, 75},
         {200, 150}},
        {"turned.avif",
         EncodeHeif(TwoColourPicture(400, 300), heif_compression_AV1,
                    heif_orientation_rotate_90_cw),
         {75, 100},
         {150, 200}},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = WriteFile(dir, c.name, c.bytes);
        std::vector<std::string> sharpTags;
        const std::vector<std::string> tags = MakeThumbnailTags({{path, "fallback"}}, &sharpTags);
        ASSERT_EQ(sharpTags.size(), 1u);
        const SharpTag tag = ParseSharpTag(sharpTags[0]);
        ASSERT_FALSE(tag.ordinary.empty()) << sharpTags[0];
        // The ordinary tag is the one every other template gets, for the same thumbnail.
        EXPECT_EQ(tags[0], MakeThumbnailTag(path, "fallback"));
        EXPECT_EQ(ParseTag(tags[0]).url, tag.ordinary);
        EXPECT_EQ(QSize(tag.width, tag.height), c.ordinary);
        EXPECT_EQ(FetchThumbnail(tag.ordinary).size(), c.ordinary);
        EXPECT_EQ(tag.sharp.empty(), c.sharp.isEmpty()) << sharpTags[0];
        if (!tag.sharp.empty()) {
            const QImage sharp = FetchThumbnail(tag.sharp);
            EXPECT_EQ(sharp.size(), c.sharp);
            // Red on the left (or, turned, at the top) as in the ordinary thumbnail.
            const QRgb first = std::string_view(c.name).starts_with("turned")
                                   ? sharp.pixel(sharp.width() / 2, sharp.height() / 8)
                                   : sharp.pixel(sharp.width() / 8, sharp.height() / 2);
            EXPECT_GT(qRed(first), 150);
            EXPECT_LT(qBlue(first), 100);
        }
    }
}

// The ordinary thumbnail is decoded on its own even where the sharp one is made beside it:
// its bytes do not depend on which listing came first.
TEST(SharpThumbnail, OrdinaryThumbnailIsTheSameBytesWhicheverListingMadeIt) {
    QTemporaryDir dir;
    const QByteArray jpeg = EncodePicture(TwoColourPicture(1600, 1200), "jpeg");
    const QByteArray heic = EncodeHeif(TwoColourPicture(640, 480), heif_compression_HEVC);
    for (const auto& [name, bytes] : {std::pair{"a.jpg", jpeg}, std::pair{"a.heic", heic}}) {
        SCOPED_TRACE(name);
        const std::string plain = WriteFile(dir, (std::string("plain-") + name).c_str(), bytes);
        const std::string built = WriteFile(dir, (std::string("built-") + name).c_str(), bytes);
        std::vector<std::string> sharpTags;
        const std::string builtUrl = ParseTag(MakeThumbnailTags({{built, "x"}}, &sharpTags)[0]).url;
        const std::string plainUrl = ParseTag(MakeThumbnailTag(plain, "x")).url;
        ASSERT_FALSE(builtUrl.empty());
        ASSERT_FALSE(plainUrl.empty());
        EXPECT_EQ(Jpeg(builtUrl), Jpeg(plainUrl));
        EXPECT_NE(Jpeg(builtUrl), Jpeg(ParseSharpTag(sharpTags[0]).sharp));
    }
}

// Each URL form names the thumbnails of its own box: a key of the other box is unknown.
TEST(SharpThumbnail, EachUrlFormServesItsOwnBoxOnly) {
    QTemporaryDir dir;
    const std::string path =
        WriteFile(dir, "p.jpg", EncodePicture(TwoColourPicture(400, 300), "jpeg"));
    std::vector<std::string> sharpTags;
    MakeThumbnailTags({{path, "x"}}, &sharpTags);
    const SharpTag tag = ParseSharpTag(sharpTags[0]);
    ASSERT_FALSE(tag.sharp.empty());
    const std::string ordinaryKey = tag.ordinary.substr(std::string("/Thumbnail__").size());
    const std::string sharpKey = tag.sharp.substr(std::string("/Thumbnail2x__").size());
    std::string lowerSharp = tag.sharp;
    for (char& c : lowerSharp)
        c = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    lowerSharp.replace(1, 11, "Thumbnail2x"); // the prefix keeps its case
    struct Case {
        std::string url;
        int width; // 0: not served
    };
    const Case cases[] = {
        {"/Thumbnail__" + ordinaryKey, 100},
        {"/Thumbnail2x__" + sharpKey, 200},
        {"/Thumbnail2x__" + sharpKey + ".jpg", 200}, // parsing stops at the first other byte
        {lowerSharp, 200},
        {"/Thumbnail__" + sharpKey, 0},
        {"/Thumbnail2x__" + ordinaryKey, 0},
        {"/Thumbnail2X__" + sharpKey, 0},
        {"/Thumbnail2x_" + sharpKey, 0},
        {"/Thumbnail2x__1" + sharpKey, 0}, // more than 32 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(FetchThumbnail(c.url).width(), c.width == 0 ? 0 : c.width);
    }
}

TEST(SharpThumbnail, CachedTagsNeedTheSharpThumbnailsToo) {
    QTemporaryDir dir;
    const std::string path =
        WriteFile(dir, "p.jpg", EncodePicture(TwoColourPicture(400, 300), "jpeg"));
    const std::string broken = WriteFile(dir, "broken.jpg", QByteArray("\xFF\xD8 no more", 10));
    const std::vector<PictureRef> pictures = {{path, "p"}, {broken, "broken"}};
    // Made for another template: the ordinary thumbnail alone.
    const std::vector<std::string> ordinary = MakeThumbnailTags(pictures);
    EXPECT_EQ(CachedThumbnailTags({pictures[0]}), std::vector<std::string>{ordinary[0]});
    std::vector<std::string> sharpTags;
    EXPECT_EQ(CachedThumbnailTags({pictures[0]}, &sharpTags), std::nullopt);

    const std::vector<std::string> again = MakeThumbnailTags(pictures, &sharpTags);
    EXPECT_EQ(again, ordinary);
    ASSERT_EQ(sharpTags.size(), 2u);
    EXPECT_FALSE(ParseSharpTag(sharpTags[0]).sharp.empty()) << sharpTags[0];
    EXPECT_EQ(sharpTags[1], "broken"); // a picture without a thumbnail shows its text
    std::vector<std::string> cachedSharp;
    const auto cached = CachedThumbnailTags({pictures[0]}, &cachedSharp);
    ASSERT_TRUE(cached.has_value());
    EXPECT_EQ(cachedSharp, std::vector<std::string>{sharpTags[0]});
}

} // namespace
} // namespace tvn
