#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// Thumbnails kept on disk, so that a restart decodes no picture again. Each thumbnail is one
// file in a private folder (0700, files 0600), named by a hash of its key: the picture file
// in one state (its real path, modification time and size, as the memory cache names it)
// and the side of the box it was fitted to. The file repeats its key, so a file that does
// not hold exactly what was asked for -- damaged, cut short, of another key or no JPEG -- is
// removed and never served. The least recently used files go first when the folder outgrows
// its bound. Every function may be called from any thread; only Open and Close are meant
// for the main thread, and they touch the disk no more than a mkdir and an open.

// A thumbnail as it is kept: its size and its JPEG bytes.
struct DiskThumbnail {
    int width = 0;
    int height = 0;
    std::string jpeg;
};

// The bytes of the file that keeps `thumbnail` under the key (`identity`, `box`).
std::string EncodeDiskThumbnail(std::string_view identity, int box, int width, int height,
                                std::string_view jpeg);

// The thumbnail that `bytes` keep when they are a whole, intact file of EncodeDiskThumbnail
// for exactly the key (`identity`, `box`) and hold a JPEG of the size they name; nullopt
// otherwise.
std::optional<DiskThumbnail> DecodeDiskThumbnail(std::string_view bytes, std::string_view identity,
                                                 int box);

// Why Open refused a folder.
enum class DiskCacheRefusal { kNone, kNoFolder, kNotOurs, kInsideShare };

class CThumbnailDiskCache {
  public:
    static constexpr std::uint64_t kDefaultBound = std::uint64_t(256) << 20;

    CThumbnailDiskCache();
    ~CThumbnailDiskCache();
    CThumbnailDiskCache(const CThumbnailDiskCache&) = delete;
    CThumbnailDiskCache& operator=(const CThumbnailDiskCache&) = delete;

    // Keeps thumbnails in `folder` (made 0700 when missing, its parent must exist), at most
    // `bound` bytes of files, unless the folder lies in or is `sharedRoot` (links resolved),
    // which would publish thumbnails of protected pictures: then, as for a folder that cannot
    // be made or belongs to somebody else, nothing is kept. Returns why it refused, kNone
    // when it keeps. Opening the folder already open with the same bound keeps what it knows.
    DiskCacheRefusal Open(const std::string& folder, const std::string& sharedRoot,
                          std::uint64_t bound = kDefaultBound);
    // Keeps nothing from now on; a call already under way finishes with the old folder.
    void Close();

    // The thumbnail kept for (`identity`, `box`), now the most recently used; nullopt when
    // none is kept (a file found unfit is removed).
    std::optional<DiskThumbnail> Load(std::string_view identity, int box) noexcept;
    // Keeps the thumbnail for (`identity`, `box`) in place of any before it, then removes the
    // least recently used files beyond the bound. Failures only mean it is not kept.
    void Store(std::string_view identity, int box, int width, int height,
               std::string_view jpeg) noexcept;

    // The bytes of the files it knows of; 0 when closed.
    std::uint64_t Bytes() const;

    class CFolder; // an open folder and what is known of its files

  private:
    std::shared_ptr<CFolder> Current() const;

    mutable std::mutex currentLock;   // guards `current` alone, held only to swap or copy it
    std::shared_ptr<CFolder> current; // null when closed
};

// The disk cache of the process' thumbnails: closed until the program opens it.
CThumbnailDiskCache& ThumbnailDiskCache();

} // namespace tvn
