#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// Thumbnails of the pictures that folder listings show: each picture file is decoded once,
// scaled to fit a 100 by 100 box, encoded as JPEG and kept in memory, the least recently used
// going first when the cache outgrows its bound. The built-in listing also offers a sharp
// thumbnail, in a 200 by 200 box, to screens of two device pixels to the CSS pixel; it is a
// thumbnail of its own in the same cache. When the disk cache is open, a thumbnail it kept
// from an earlier run is read back instead of decoding the picture, and every new one is
// kept there too. Every function may be called from any thread.

// The width and height of the thumbnail of a `width` by `height` picture: the picture's own
// size when it fits the box of `side` pixels, else scaled so that its longer side is `side`
// (at least 1 pixel).
struct ThumbnailSize {
    int width = 0;
    int height = 0;
    bool operator==(const ThumbnailSize&) const = default;
};
ThumbnailSize FitThumbnailBox(int width, int height, int side = 100);

// The key of the thumbnail of the picture at `fullLocalPath`, which names it in the URL
// "/Thumbnail__" + 8 upper-case hex digits. A thumbnail belongs to a file in one state, not
// to a spelling of its path: the key is the CRC-32 register (without the final inversion)
// over the file's real path (every link, "." and ".." and doubled '/' resolved), a zero
// byte, then the file's modification time in seconds and its nanoseconds and the file's
// size, each as 8 bytes little-endian. So the same file listed through links is one
// thumbnail, and an edited file gets a fresh one. Should that key already hold another
// file's thumbnail, the next free key above it is used. For a path that names no regular
// file, the register over the path's own bytes.
std::uint32_t ThumbnailKey(std::string_view fullLocalPath);

// The <img> tag that shows the thumbnail of the picture at `fullLocalPath`, making the
// thumbnail on first use; `fallbackText` when the picture cannot be decoded, or is refused
// (nothing is cached then, so the next call tries again).
std::string MakeThumbnailTag(const std::string& fullLocalPath, std::string_view fallbackText);

// A picture of a listing: its full local path and the text shown when it has no thumbnail.
struct PictureRef {
    std::string path;
    std::string fallbackText;
};

// The tags MakeThumbnailTags would give, when every picture's thumbnail is in the cache or
// it names no file (one stat call per picture and one look under the lock, no decoding,
// cheap enough for the main thread); nothing otherwise. The thumbnails found count as used.
// With `sharpTags`, the sharp thumbnails must be in the cache too.
std::optional<std::vector<std::string>>
CachedThumbnailTags(const std::vector<PictureRef>& pictures,
                    std::vector<std::string>* sharpTags = nullptr);

// The tags of several pictures at once, as MakeThumbnailTag gives them; the thumbnails not
// yet cached are made side by side, one per core, and one that another call is already
// making is waited for, not made again. With `sharpTags`, each picture's sharp thumbnail is
// made too, from the same opening of the file (decoded apart where the decoder scales while it
// reads, so that the ordinary thumbnail is the same bytes whichever listing made it; a HEIF
// once for both), and `sharpTags` gets the built-in listing's tags: the ordinary thumbnail
// with the sharp one in srcset as "/Thumbnail2x__" and its key, for 2x, when it is larger;
// width, height, loading="lazy" and decoding="async"; the fallback text when the ordinary
// thumbnail cannot be made.
std::vector<std::string> MakeThumbnailTags(const std::vector<PictureRef>& pictures,
                                           std::vector<std::string>* sharpTags = nullptr);

// When `url` is "/Thumbnail__" with the key of a cached thumbnail in hexadecimal (parsing
// stops at the first other byte), or "/Thumbnail2x__" with the key of a sharp one, copies the
// thumbnail into `jpeg`, and into `picture` the local path of the picture as the listing that made
// the thumbnail gave it (it may be a link), in one look under the cache's lock; false when the
// thumbnail is unknown. A thumbnail found counts as used.
bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture);

// Bounds the cache to `bytes`, counting each thumbnail's JPEG, its paths and a fixed overhead;
// the least recently used thumbnails are dropped at once until it fits. Returns the bound
// before the call. The bound is 64 MiB until set.
std::size_t SetThumbnailCacheLimit(std::size_t bytes);

// The bytes the cache holds, as SetThumbnailCacheLimit counts them.
std::size_t ThumbnailCacheBytes();

// How many thumbnails the cache has dropped in this run (to stay within its bound), and how
// many pictures failed to become one. A page that names thumbnails is still right while
// neither count moved: every thumbnail it names is still there, and none it lacks was made.
std::uint64_t ThumbnailDropCount();
std::uint64_t ThumbnailFailureCount();

// How many pictures were decoded (or tried) in this run; a thumbnail the disk cache kept from
// an earlier one (see thumbnail_disk_cache.h) is not counted.
std::uint64_t ThumbnailDecodeCount();

} // namespace tvn
