// Thumbnails kept on disk: read back after a restart without decoding, bounded with the least
// recently used going first, never served from a file that is not exactly what was asked
// for, and never kept in the shared folder.
#include "file_opens.h"
#include "pages/thumbnail_cache.h"
#include "pages/thumbnail_disk_cache.h"
#include "support/temp_dir.h"
#include "thumbnail_test_support.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

using test::EncodePicture;
using test::FetchThumbnail;
using test::FileOpens;
using test::ParseTag;
using test::TempDir;

std::string Jpeg(int width, int height, Qt::GlobalColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    const QByteArray bytes = EncodePicture(image, "jpeg");
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The names of the files in `folder`.
std::set<std::string> FilesIn(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.insert(entry.path().filename().string());
    return names;
}

std::string OnlyFileIn(const std::string& folder) {
    const std::set<std::string> names = FilesIn(folder);
    return names.size() == 1 ? folder + "/" + *names.begin() : std::string();
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Drops every thumbnail held in memory, as a restart does.
void ForgetThumbnailsInMemory() { SetThumbnailCacheLimit(SetThumbnailCacheLimit(0)); }

// Opens the process' disk cache on a folder of the test and closes it when the test ends.
class ScopedDiskCache {
  public:
    explicit ScopedDiskCache(const std::string& folder) {
        EXPECT_EQ(ThumbnailDiskCache().Open(folder, "/nowhere/shared"), DiskCacheRefusal::kNone);
    }
    ~ScopedDiskCache() { ThumbnailDiskCache().Close(); }
};

// A picture file in one state, as the memory cache names it: path, zero, time and size.
const std::string kIdentity = std::string("/pics/sea.jpg") + '\0' + std::string(24, '\1');

TEST(DiskThumbnailFile, ReadsBackWhatWasWritten) {
    const std::string jpeg = Jpeg(100, 75, Qt::red);
    const std::optional<DiskThumbnail> back =
        DecodeDiskThumbnail(EncodeDiskThumbnail(kIdentity, 100, 100, 75, jpeg), kIdentity, 100);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 100);
    EXPECT_EQ(back->height, 75);
    EXPECT_EQ(back->jpeg, jpeg);
}

// A file cut short by a crash or a full disk is never taken, at any length.
TEST(DiskThumbnailFile, EveryPrefixIsRefused) {
    const std::string file = EncodeDiskThumbnail(kIdentity, 100, 60, 40, Jpeg(60, 40, Qt::blue));
    for (std::size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(DecodeDiskThumbnail(std::string_view(file).substr(0, length), kIdentity, 100));
    }
}

// A file that is whole but not of this key, or not what it claims, is refused.
TEST(DiskThumbnailFile, ForeignOrDamagedFilesAreRefused) {
    const std::string jpeg = Jpeg(60, 40, Qt::blue);
    const std::string good = EncodeDiskThumbnail(kIdentity, 100, 60, 40, jpeg);
    std::string otherIdentity(kIdentity);
    otherIdentity.back() = '\4'; // the same file at another size
    const QByteArray png = EncodePicture(QImage(60, 40, QImage::Format_RGB32), "png");
    auto flipped = [&](std::size_t at) {
        std::string bytes = good;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        return bytes;
    };
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"another magic", flipped(0)},
        {"a byte of the JPEG changed", flipped(good.size() - 10)},
        {"a byte of the identity changed", flipped(40)},
        {"a byte too many", good + "x"},
        {"the key of another state of the file",
         EncodeDiskThumbnail(otherIdentity, 100, 60, 40, jpeg)},
        {"the key of another box", EncodeDiskThumbnail(kIdentity, 200, 60, 40, jpeg)},
        {"wider than its JPEG", EncodeDiskThumbnail(kIdentity, 100, 61, 40, jpeg)},
        {"wider than its box",
         EncodeDiskThumbnail(kIdentity, 100, 101, 40, Jpeg(101, 40, Qt::red))},
        {"no pixels", EncodeDiskThumbnail(kIdentity, 100, 0, 0, "")},
        {"a PNG", EncodeDiskThumbnail(kIdentity, 100, 60, 40,
                                      std::string_view(png.constData(), png.size()))},
        {"a JPEG start and nothing else",
         EncodeDiskThumbnail(kIdentity, 100, 60, 40, "\xFF\xD8\xFF\xE0 not a picture")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(DecodeDiskThumbnail(c.bytes, kIdentity, 100));
    }
    EXPECT_TRUE(DecodeDiskThumbnail(good, kIdentity, 100));
}

// The folder and its files are the user's alone, whatever the umask lets through.
TEST(ThumbnailDiskCache, FolderIsPrivateAndKeepsAcrossReopening) {
    TempDir temp;
    const std::string folder = temp / "thumbnails";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const mode_t umaskBefore = ::umask(0);
    CThumbnailDiskCache cache;
    EXPECT_EQ(cache.Open(folder, temp / "share"), DiskCacheRefusal::kNone);
    const std::string jpeg = Jpeg(30, 20, Qt::green);
    cache.Store(kIdentity, 100, 30, 20, jpeg);
    ::umask(umaskBefore);
    EXPECT_EQ(ModeOf(folder), 0700u);
    const std::string file = OnlyFileIn(folder);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(ModeOf(file), 0600u);

    CThumbnailDiskCache restarted;
    ASSERT_EQ(restarted.Open(folder, temp / "share"), DiskCacheRefusal::kNone);
    const std::optional<DiskThumbnail> back = restarted.Load(kIdentity, 100);
    EXPECT_EQ(restarted.Bytes(), std::filesystem::file_size(file));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->jpeg, jpeg);
    EXPECT_FALSE(restarted.Load(kIdentity, 200)) << "another box is another thumbnail";
}

// Files of a write that never finished are removed; files the cache does not name are left.
TEST(ThumbnailDiskCache, LeftoverTemporaryFilesGo) {
    TempDir temp;
    const std::string folder = temp / "thumbnails";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_TRUE(test::WriteFile(folder + "/0123456789abcdef.thumb.tmp77-0", "half"));
    ASSERT_TRUE(test::WriteFile(folder + "/notes.txt", "mine"));
    CThumbnailDiskCache cache;
    ASSERT_EQ(cache.Open(folder, temp / "share"), DiskCacheRefusal::kNone);
    EXPECT_FALSE(cache.Load(kIdentity, 100));
    EXPECT_EQ(FilesIn(folder), std::set<std::string>{"notes.txt"});
    EXPECT_EQ(cache.Bytes(), 0u);
}

// The bound counts the files' bytes; the least recently written or read go first, and the
// order survives a restart.
TEST(ThumbnailDiskCache, BoundDropsTheLeastRecentlyUsed) {
    TempDir temp;
    const std::string folder = temp / "thumbnails";
    const std::string jpeg = Jpeg(40, 40, Qt::cyan);
    auto identity = [](char name) { return std::string("/pics/") + name; };
    const std::uint64_t fileBytes = EncodeDiskThumbnail(identity('a'), 100, 40, 40, jpeg).size();
    const std::uint64_t bound = 3 * fileBytes + fileBytes / 2;
    auto kept = [&](CThumbnailDiskCache& cache) {
        std::string names;
        for (char name : std::string("abcdef"))
            names += cache.Load(identity(name), 100) ? std::string(1, name) : "";
        return names;
    };

    CThumbnailDiskCache cache;
    ASSERT_EQ(cache.Open(folder, temp / "share", bound), DiskCacheRefusal::kNone);
    for (char name : std::string("abc"))
        cache.Store(identity(name), 100, 40, 40, jpeg);
    EXPECT_EQ(cache.Bytes(), 3 * fileBytes);
    ASSERT_TRUE(cache.Load(identity('a'), 100)); // now b is the least recently used
    cache.Store(identity('d'), 100, 40, 40, jpeg);
    EXPECT_EQ(FilesIn(folder).size(), 3u);
    EXPECT_EQ(cache.Bytes(), 3 * fileBytes);
    EXPECT_EQ(kept(cache), "acd");
    ASSERT_TRUE(cache.Load(identity('a'), 100));
    cache.Close();

    // Used last: c, d, a, which the files' times tell the next run: c goes for e.
    CThumbnailDiskCache restarted;
    ASSERT_EQ(restarted.Open(folder, temp / "share", bound), DiskCacheRefusal::kNone);
    restarted.Store(identity('e'), 100, 40, 40, jpeg);
    EXPECT_EQ(kept(restarted), "ade");

    // A smaller bound at the next start is kept at once.
    CThumbnailDiskCache smaller;
    ASSERT_EQ(smaller.Open(folder, temp / "share", fileBytes), DiskCacheRefusal::kNone);
    EXPECT_EQ(smaller.Bytes(), 0u) << "nothing read yet";
    EXPECT_EQ(kept(smaller).size(), 1u);
    EXPECT_EQ(FilesIn(folder).size(), 1u);
}

// Kept in the shared folder, thumbnails would be published, those of protected folders too:
// a cache folder in the share, however it is reached, keeps nothing.
TEST(ThumbnailDiskCache, NeverInsideTheSharedFolder) {
    TempDir temp;
    const std::string share = temp / "share";
    ASSERT_EQ(::mkdir(share.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((temp / "share/cache").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((temp / "share-not").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((temp / "home").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("share/cache", (temp / "xdg-link").c_str()), 0);
    ASSERT_EQ(::symlink("home", (temp / "share-link").c_str()), 0);
    ASSERT_EQ(::symlink("home", (temp / "home/thumbnails-link").c_str()), 0);
    ASSERT_TRUE(test::WriteFile(temp / "file", "a file"));
    struct Case {
        std::string folder;
        std::string share;
        DiskCacheRefusal refusal;
    };
    const Case cases[] = {
        {share, share, DiskCacheRefusal::kInsideShare},
        {temp / "share/cache/thumbnails", share, DiskCacheRefusal::kInsideShare},
        {temp / "share/cache/thumbnails", share + "/", DiskCacheRefusal::kInsideShare},
        {temp / "share//./cache/thumbnails", share, DiskCacheRefusal::kInsideShare},
        {temp / "xdg-link/thumbnails", share, DiskCacheRefusal::kInsideShare},
        {temp / "home/thumbnails", temp / "share-link", DiskCacheRefusal::kInsideShare},
        {temp / "home/thumbnails", "/", DiskCacheRefusal::kInsideShare},
        {temp / "home/thumbnails-link", share, DiskCacheRefusal::kNoFolder},
        {temp / "file/thumbnails", share, DiskCacheRefusal::kNoFolder},
        {temp / "missing/../share/thumbnails", share, DiskCacheRefusal::kNoFolder},
        {"relative/thumbnails", share, DiskCacheRefusal::kNoFolder},
        {temp / "share/new/thumbnails", share, DiskCacheRefusal::kInsideShare},
        {temp / "xdg-link/new/thumbnails", share, DiskCacheRefusal::kInsideShare},
        {temp / "home/new/thumbnails", share, DiskCacheRefusal::kNone},
        {temp / "share-not/thumbnails", share, DiskCacheRefusal::kNone},
        {temp / "home/thumbnails", share, DiskCacheRefusal::kNone},
    };
    const std::string jpeg = Jpeg(20, 20, Qt::yellow);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " sharing " + c.share);
        CThumbnailDiskCache cache;
        ASSERT_EQ(cache.Open(temp / "home/thumbnails", share), DiskCacheRefusal::kNone);
        // A refusal also closes the folder open before: the root changed to one that holds it.
        EXPECT_EQ(cache.Open(c.folder, c.share), c.refusal);
        cache.Store(c.folder, 100, 20, 20, jpeg);
        EXPECT_EQ(cache.Load(c.folder, 100).has_value(), c.refusal == DiskCacheRefusal::kNone);
    }
    EXPECT_EQ(FilesIn(share), std::set<std::string>{"cache"});
    EXPECT_TRUE(FilesIn(temp / "share/cache").empty()) << "made in the share";
    EXPECT_EQ(ModeOf(temp / "home/new"), 0700u);
}

// A restart loses what memory held; the next listing reads the thumbnails back and decodes
// no picture.
TEST(ThumbnailDiskCache, SecondRunDecodesNothing) {
    TempDir temp;
    const ScopedDiskCache disk(temp / "thumbnails");
    std::vector<PictureRef> pictures;
    std::vector<std::string> paths;
    const Qt::GlobalColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::magenta};
    for (int i = 0; i < 4; ++i) {
        paths.push_back(temp / ("pic" + std::to_string(i) + ".jpg"));
        const std::string bytes = Jpeg(300 + 10 * i, 200, colours[i]);
        ASSERT_TRUE(test::WriteFile(paths.back(), bytes));
        pictures.push_back({paths.back(), "no thumbnail"});
    }
    FileOpens opens(paths);
    ASSERT_TRUE(opens.Watching(paths.size()));
    const std::uint64_t decodes = ThumbnailDecodeCount();
    const std::vector<std::string> first = MakeThumbnailTags(pictures);
    EXPECT_EQ(ThumbnailDecodeCount() - decodes, 4u);
    EXPECT_EQ(opens.Count(), 4);
    std::vector<QImage> firstImages;
    for (const std::string& tag : first)
        firstImages.push_back(FetchThumbnail(ParseTag(tag).url));

    ForgetThumbnailsInMemory();
    ASSERT_FALSE(CachedThumbnailTags(pictures)) << "memory still holds them";
    ThumbnailDiskCache().Close(); // the program ends and starts again
    ASSERT_EQ(ThumbnailDiskCache().Open(temp / "thumbnails", "/nowhere/shared"),
              DiskCacheRefusal::kNone);
    const std::vector<std::string> second = MakeThumbnailTags(pictures);
    EXPECT_EQ(ThumbnailDecodeCount() - decodes, 4u) << "decoded again";
    EXPECT_EQ(opens.Count(), 4) << "a picture was read again";
    EXPECT_EQ(second, first);
    for (std::size_t i = 0; i < second.size(); ++i) {
        SCOPED_TRACE(i);
        const QImage image = FetchThumbnail(ParseTag(second[i]).url);
        EXPECT_EQ(image, firstImages[i]);
        EXPECT_EQ(image.width(), 100);
    }
}

// A file that is not what the cache wrote is not served: the picture is decoded again, the
// right thumbnail shown, and the file replaced by a good one.
TEST(ThumbnailDiskCache, DamagedFileIsReplacedAndTheRightThumbnailServed) {
    TempDir temp;
    const std::string folder = temp / "thumbnails";
    const ScopedDiskCache disk(folder);
    const std::string path = temp / "red.jpg";
    const std::string other = temp / "blue.jpg";
    ASSERT_TRUE(test::WriteFile(path, Jpeg(200, 100, Qt::red)));
    ASSERT_TRUE(test::WriteFile(other, Jpeg(80, 80, Qt::blue)));
    // The file that another picture's thumbnail is kept in.
    MakeThumbnailTag(other, "none");
    const std::string foreign = test::ReadFile(OnlyFileIn(folder));
    ASSERT_FALSE(foreign.empty());
    std::filesystem::remove(OnlyFileIn(folder));
    ASSERT_EQ(ParseTag(MakeThumbnailTag(path, "none")).width, 100);
    const std::string file = OnlyFileIn(folder);
    ASSERT_FALSE(file.empty());
    const std::string good = test::ReadFile(file);

    using Damage = std::function<void()>;
    struct Case {
        const char* what;
        Damage damage;
    };
    const Case cases[] = {
        {"cut short", [&] { std::filesystem::resize_file(file, good.size() / 2); }},
        {"empty", [&] { std::filesystem::resize_file(file, 0); }},
        {"another magic", [&] { test::WriteFile(file, "GIF89a" + good.substr(6)); }},
        {"another picture's file", [&] { test::WriteFile(file, foreign); }},
        {"a JPEG without the cache's frame",
         [&] { test::WriteFile(file, good.substr(good.find("\xFF\xD8\xFF"))); }},
        {"a link to another picture's file",
         [&] {
             test::WriteFile(temp / "elsewhere", foreign);
             std::filesystem::remove(file);
             std::filesystem::create_symlink(temp / "elsewhere", file);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.damage();
        ForgetThumbnailsInMemory();
        const std::uint64_t decodes = ThumbnailDecodeCount();
        const test::ParsedTag tag = ParseTag(MakeThumbnailTag(path, "none"));
        EXPECT_EQ(ThumbnailDecodeCount() - decodes, 1u) << "served from the damaged file";
        EXPECT_EQ(tag.width, 100);
        EXPECT_EQ(tag.height, 50);
        const QImage image = FetchThumbnail(tag.url);
        ASSERT_FALSE(image.isNull());
        EXPECT_GT(qRed(image.pixel(50, 25)), 200);
        EXPECT_LT(qBlue(image.pixel(50, 25)), 60);
        EXPECT_EQ(test::ReadFile(file), good) << "not replaced";
        EXPECT_FALSE(std::filesystem::is_symlink(file));
    }
}

TEST(ThumbnailDiskCache, ClosedKeepsNothing) {
    TempDir temp;
    const std::string path = temp / "pic.jpg";
    ASSERT_TRUE(test::WriteFile(path, Jpeg(50, 50, Qt::gray)));
    ThumbnailDiskCache().Close();
    const std::uint64_t decodes = ThumbnailDecodeCount();
    MakeThumbnailTag(path, "none");
    ForgetThumbnailsInMemory();
    MakeThumbnailTag(path, "none");
    EXPECT_EQ(ThumbnailDecodeCount() - decodes, 2u);
}

} // namespace
} // namespace tvn
