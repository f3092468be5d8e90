// Thumbnails made on several threads at once: listings on worker threads, thumbnail URLs and
// cache checks on the main thread.
#include "file_opens.h"
#include "pages/thumbnail_cache.h"
#include "thumbnail_test_support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace tvn {
namespace {

using test::BlackPng;
using test::EncodePicture;
using test::FileOpens;
using test::ParseTag;
using test::WriteFile;

// The cache's lock was held while a picture was decoded, so a thumbnail URL asked for then
// waited for the whole decode. Asked while a big PNG is being decoded on another thread, a
// thumbnail is found, and the cache says the big one is not made yet: a look-up that had
// waited would have found it made.
TEST(CopyThumbnail, AnsweredWhileAnotherThreadDecodes) {
    QTemporaryDir dir;
    QImage small(120, 90, QImage::Format_RGB32);
    small.fill(Qt::cyan);
    const std::string url =
        ParseTag(MakeThumbnailTag(WriteFile(dir, "small.jpg", EncodePicture(small, "jpeg")), "s"))
            .url;
    const std::string slow = WriteFile(dir, "slow.png", BlackPng(8000, 6000)); // PNG: no scaling
    FileOpens opens({slow});
    ASSERT_TRUE(opens.Watching(1));
    std::string slowTag;
    std::thread listing([&] { slowTag = MakeThumbnailTag(slow, "slow"); });
    opens.WaitBeyond(0, std::chrono::seconds(5)); // the decoding began
    std::string jpeg;
    std::string picture;
    const bool found = CopyThumbnail(url, jpeg, picture);
    const bool cached = CachedThumbnailTags({{slow, "slow"}}).has_value();
    listing.join();
    EXPECT_TRUE(found);
    EXPECT_FALSE(cached) << "the look-ups waited for the decode";
    EXPECT_EQ(ParseTag(slowTag).width, 100);
    EXPECT_EQ(ParseTag(slowTag).height, 75);
    EXPECT_EQ(CachedThumbnailTags({{slow, "slow"}}), std::vector<std::string>{slowTag});
}

// Two listings of the same new folder at once each decoded every picture. A picture that
// one listing is decoding is waited for by the other: each is decoded once, and both
// listings show the same thumbnails.
TEST(MakeThumbnailTags, ListingsAtOnceDecodeEachPictureOnce) {
    QTemporaryDir dir;
    std::vector<PictureRef> pictures;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "p" + std::to_string(i) + ".png";
        pictures.push_back({WriteFile(dir, name.c_str(), BlackPng(3000, 2000 + 100 * i)), name});
    }
    std::vector<std::string> paths;
    for (const PictureRef& picture : pictures)
        paths.push_back(picture.path);
    FileOpens opens(paths);
    ASSERT_TRUE(opens.Watching(6));
    std::vector<std::string> tags[3];
    std::vector<std::thread> listings;
    for (auto& listed : tags)
        listings.emplace_back([&] { listed = MakeThumbnailTags(pictures); });
    for (std::thread& listing : listings)
        listing.join();
    EXPECT_EQ(opens.Count(), 6);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ParseTag(tags[0][i]).height, (2000 + 100 * i) / 30);
        EXPECT_EQ(tags[1][i], tags[0][i]);
        EXPECT_EQ(tags[2][i], tags[0][i]);
    }
}

} // namespace
} // namespace tvn
