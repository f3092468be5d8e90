#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// Thumbnails of the pictures that folder listings show: each picture is decoded once, scaled
// to fit a 100 by 100 box, encoded as JPEG and kept in memory for the rest of the run under
// a key made from its path. Every function may be called from any thread.

// The width and height of the thumbnail of a `width` by `height` picture: the picture's own
// size when it fits the box, else scaled so that its longer side is 100 (at least 1 pixel).
struct ThumbnailSize {
    int width = 0;
    int height = 0;
    bool operator==(const ThumbnailSize&) const = default;
};
ThumbnailSize FitThumbnailBox(int width, int height);

// The key of the picture at `fullLocalPath`: the CRC-32 register over the path's bytes
// without the final inversion (the complement of the usual CRC-32).
std::uint32_t ThumbnailKey(std::string_view fullLocalPath);

// The <img> tag that shows the thumbnail of the picture at `fullLocalPath`, making the
// thumbnail on first use; `fallbackText` when the picture cannot be decoded (nothing is
// cached then, so the next call tries again).
std::string MakeThumbnailTag(const std::string& fullLocalPath, std::string_view fallbackText);

// A picture of a listing: its full local path and the text shown when it has no thumbnail.
struct PictureRef {
    std::string path;
    std::string fallbackText;
};

// True when every picture of `pictures` has its thumbnail in the cache (MakeThumbnailTags
// then decodes nothing).
bool ThumbnailsCached(const std::vector<PictureRef>& pictures);

// The tags of several pictures at once, as MakeThumbnailTag gives them; the pictures not
// yet cached are decoded side by side, one per core.
std::vector<std::string> MakeThumbnailTags(const std::vector<PictureRef>& pictures);

// True when `url` is "/Thumbnail__" with the key of a cached thumbnail in hexadecimal;
// `size` is then its JPEG byte count.
bool FindThumbnail(std::string_view url, std::size_t& size);

// Copies the thumbnail of `url` (as FindThumbnail names it) into `jpeg`, and the local path of
// the picture it shows into `picture`, in one look under the cache's lock; false when the
// thumbnail is unknown.
bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture);

// How many times a picture file has been decoded for a thumbnail in this run, successful or
// not. Tests use it to tell a cache hit from a fresh decode.
int ThumbnailDecodeCount();

} // namespace tvn
