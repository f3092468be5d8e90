// The cache's bound: the least recently used thumbnails go first, and what a listing shows,
// or a visitor fetches, counts as used.
#include "file_opens.h"
#include "pages/thumbnail_cache.h"
#include "thumbnail_test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <utility>

namespace tvn {
namespace {

using test::EncodePicture;
using test::FileOpens;
using test::ParseTag;
using test::WriteFile;

// Sets the cache's bound for one test and puts the old one back.
class ScopedCacheLimit {
  public:
    explicit ScopedCacheLimit(std::size_t bytes) : saved(SetThumbnailCacheLimit(bytes)) {}
    ~ScopedCacheLimit() { SetThumbnailCacheLimit(saved); }

  private:
    std::size_t saved;
};

// A picture of noise, so that its thumbnail takes a few kilobytes of JPEG.
QByteArray NoisePicture(std::uint32_t seed) {
    QImage image(200, 150, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            image.setPixel(x, y, seed >> 8);
        }
    }
    return EncodePicture(image, "jpeg");
}

// 466 requests grew the server by 130 MB: every thumbnail was kept for the whole run. The
// cache holds a bounded number of bytes, dropping the least recently used first, and a
// thumbnail that was dropped is made again by the next listing that shows it.
TEST(ThumbnailCache, LeastRecentlyUsedGoFirstAndTheBytesStayBounded) {
    constexpr std::size_t kLimit = 48 * 1024;
    {
        const ScopedCacheLimit empty(0);
        EXPECT_EQ(ThumbnailCacheBytes(), 0u);
    }
    const ScopedCacheLimit limit(kLimit);
    QTemporaryDir dir;
    std::uint32_t seed = 0;
    auto write = [&](const std::string& name) {
        return WriteFile(dir, name.c_str(), NoisePicture(++seed));
    };
    auto make = [&](const std::string& path) {
        const std::string url = ParseTag(MakeThumbnailTag(path, "none")).url;
        EXPECT_FALSE(url.empty()) << path;
        return std::pair{path, url};
    };
    // Three thumbnails kept in use, each in one of the ways a thumbnail is used: fetched by
    // a visitor, looked up for a listing on the main thread, and listed.
    const auto fetched = make(write("fetched.jpg"));
    const auto checked = make(write("checked.jpg"));
    const auto listed = make(write("listed.jpg"));
    std::vector<std::string> freshFiles;
    for (int i = 0; i < 30; ++i)
        freshFiles.push_back(write("fresh" + std::to_string(i) + ".jpg"));
    std::vector<std::string> watched = freshFiles;
    watched.insert(watched.end(), {fetched.first, checked.first, listed.first});
    FileOpens opens(watched);
    ASSERT_TRUE(opens.Watching(watched.size()));
    std::vector<std::pair<std::string, std::string>> fresh;
    for (const std::string& path : freshFiles) {
        fresh.push_back(make(path));
        std::string jpeg, picture;
        EXPECT_TRUE(CopyThumbnail(fetched.second, jpeg, picture));
        const auto found = CachedThumbnailTags({{checked.first, "checked"}});
        EXPECT_EQ(found ? ParseTag(found->front()).url : "", checked.second);
        EXPECT_EQ(ParseTag(MakeThumbnailTags({{listed.first, "listed"}}).front()).url,
                  listed.second);
        EXPECT_LE(ThumbnailCacheBytes(), kLimit);
    }
    EXPECT_EQ(opens.Count(), 30) << "one in use was dropped";
    // The fresh ones still held are the newest, and they hold at least their JPEG bytes.
    std::size_t jpegBytes = 0;
    std::vector<bool> held;
    for (const auto& [path, url] : fresh) {
        std::string jpeg, picture;
        held.push_back(CopyThumbnail(url, jpeg, picture));
        jpegBytes += jpeg.size();
    }
    EXPECT_FALSE(held.front());
    EXPECT_TRUE(held.back());
    EXPECT_TRUE(std::is_sorted(held.begin(), held.end())) << "a newer one went before an older";
    EXPECT_LE(jpegBytes, ThumbnailCacheBytes());
    EXPECT_LE(ThumbnailCacheBytes(), kLimit);

    // The next listing makes a dropped thumbnail again, under the same URL.
    EXPECT_EQ(ParseTag(MakeThumbnailTag(fresh.front().first, "none")).url, fresh.front().second);
    EXPECT_EQ(opens.Count(), 31);
    std::string jpeg, picture;
    EXPECT_TRUE(CopyThumbnail(fresh.front().second, jpeg, picture));
}

} // namespace
} // namespace tvn
