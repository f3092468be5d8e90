#include "pages/thumbnail_disk_cache.h"

#include "pages/picture_codec.h"
#include "platform/file_io.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <list>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>
#include <zlib.h>

namespace tvn {
namespace {

// The file: the magic, then six 32-bit little-endian fields (box, width, height, the lengths
// of the identity and of the JPEG, the CRC-32 of both), then the identity and the JPEG.
constexpr std::string_view kMagic{"TvnThmb\x01", 8};
constexpr std::size_t kHeaderBytes = kMagic.size() + 6 * 4;
// Far more than a JPEG of a few hundred pixels a side takes; a bigger file is none of ours.
constexpr std::size_t kMaxFileBytes = std::size_t(4) << 20;
constexpr std::string_view kSuffix = ".thumb";
constexpr std::string_view kTemporaryMark = ".thumb.tmp";
constexpr std::size_t kHashDigits = 16;

void PutU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> 8 * i) & 0xFF));
}

std::uint32_t GetU32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// The usual CRC-32 of `a` followed by `b`.
std::uint32_t Crc32(std::string_view a, std::string_view b) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    for (std::string_view part : {a, b}) {
        while (!part.empty()) {
            const auto piece = static_cast<uInt>(std::min<std::size_t>(part.size(), 1u << 30));
            crc = ::crc32(crc, reinterpret_cast<const Bytef*>(part.data()), piece);
            part.remove_prefix(piece);
        }
    }
    return static_cast<std::uint32_t>(crc);
}

// The name of the file of a key: 64 bits of FNV-1a over the identity and the box. Two keys
// that meet in one name take turns in it; the file's own key tells them apart.
std::string FileNameOf(std::string_view identity, int box) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 0x100000001b3u;
    };
    for (char c : identity)
        mix(static_cast<unsigned char>(c));
    for (int i = 0; i < 4; ++i)
        mix(static_cast<unsigned char>((static_cast<std::uint32_t>(box) >> 8 * i) & 0xFF));
    char name[kHashDigits + 1];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(name, kHashDigits) + std::string(kSuffix);
}

bool IsEntryName(std::string_view name) {
    if (name.size() != kHashDigits + kSuffix.size() || !name.ends_with(kSuffix))
        return false;
    return std::all_of(name.begin(), name.begin() + kHashDigits,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::int64_t NanosOf(const struct timespec& t) {
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct timespec TimespecOf(std::int64_t nanos) {
    return {static_cast<time_t>(nanos / 1'000'000'000), static_cast<long>(nanos % 1'000'000'000)};
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// The real path of the folder open as `fd`: what the kernel resolved, not a spelling that a
// link changed since.
std::optional<std::string> PathOfDescriptor(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char buffer[4096];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
}

// True when the folder `real` is `share` or lies below it, `share` taken with its links
// resolved (as given when it does not exist: then no link can lead into it yet).
bool LiesInShare(const std::string& real, const std::string& share) {
    std::string root = share;
    if (char* resolved = ::realpath(share.c_str(), nullptr)) {
        root = resolved;
        std::free(resolved);
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (root.empty())
        return false;
    if (root == "/" || real == root)
        return true;
    return real.starts_with(root) && real[root.size()] == '/';
}

// Where `folder` will be once made: the longest part of it that exists, links resolved, then
// the rest as written; nothing when no part exists, or when the rest climbs with "..".
std::optional<std::string> ResolvedToBe(const std::string& folder, std::size_t& existing) {
    std::string rest;
    for (existing = folder.size();;) {
        const std::string part = folder.substr(0, existing);
        if (char* resolved = ::realpath(part.empty() ? "/" : part.c_str(), nullptr)) {
            std::string path = resolved;
            std::free(resolved);
            if (rest.find("/./") != std::string::npos || rest.find("/../") != std::string::npos)
                return std::nullopt;
            return (path == "/" ? std::string() : path) + rest;
        }
        const std::size_t slash = part.rfind('/');
        if (slash == std::string::npos || part.empty())
            return std::nullopt;
        rest = part.substr(slash) + rest;
        existing = slash;
    }
}

// Opens `folder` as `fd`, its resolved path in `real`, making it and the folders on its way
// first when they are missing (0700), and taking from the group and others what they may do
// in it. A folder that lies in the share is not even made there.
DiskCacheRefusal OpenPrivateFolder(std::string folder, const std::string& sharedRoot, UniqueFd& fd,
                                   std::string& real) {
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::size_t existing = 0;
    const std::optional<std::string> toBe = ResolvedToBe(folder + "/", existing);
    if (!folder.starts_with('/') || !toBe)
        return DiskCacheRefusal::kNoFolder;
    if (LiesInShare(*toBe, sharedRoot))
        return DiskCacheRefusal::kInsideShare;
    while (existing < folder.size()) {
        const std::size_t slash = folder.find('/', existing + 1);
        existing = slash == std::string::npos ? folder.size() : slash;
        ::mkdir(folder.substr(0, existing).c_str(), 0700);
    }
    // Not through a link at its last step; the path the kernel resolved is checked as well.
    fd.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    std::optional<std::string> path;
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !(path = PathOfDescriptor(fd.Get())))
        return DiskCacheRefusal::kNoFolder;
    if (st.st_uid != ::geteuid())
        return DiskCacheRefusal::kNotOurs;
    if (LiesInShare(*path, sharedRoot))
        return DiskCacheRefusal::kInsideShare;
    if ((st.st_mode & 077) != 0 && ::fchmod(fd.Get(), 0700) != 0)
        return DiskCacheRefusal::kNotOurs;
    real = std::move(*path);
    return DiskCacheRefusal::kNone;
}

} // namespace

std::string EncodeDiskThumbnail(std::string_view identity, int box, int width, int height,
                                std::string_view jpeg) {
    std::string bytes;
    bytes.reserve(kHeaderBytes + identity.size() + jpeg.size());
    bytes += kMagic;
    PutU32(bytes, static_cast<std::uint32_t>(box));
    PutU32(bytes, static_cast<std::uint32_t>(width));
    PutU32(bytes, static_cast<std::uint32_t>(height));
    PutU32(bytes, static_cast<std::uint32_t>(identity.size()));
    PutU32(bytes, static_cast<std::uint32_t>(jpeg.size()));
    PutU32(bytes, Crc32(identity, jpeg));
    bytes += identity;
    bytes += jpeg;
    return bytes;
}

std::optional<DiskThumbnail> DecodeDiskThumbnail(std::string_view bytes, std::string_view identity,
                                                 int box) {
    if (bytes.size() < kHeaderBytes || !bytes.starts_with(kMagic))
        return std::nullopt;
    const std::size_t at = kMagic.size();
    const std::uint32_t keptBox = GetU32(bytes, at);
    const std::uint32_t width = GetU32(bytes, at + 4);
    const std::uint32_t height = GetU32(bytes, at + 8);
    const std::uint64_t identityBytes = GetU32(bytes, at + 12);
    const std::uint64_t jpegBytes = GetU32(bytes, at + 16);
    const std::uint32_t crc = GetU32(bytes, at + 20);
    if (box <= 0 || keptBox != static_cast<std::uint32_t>(box))
        return std::nullopt;
    if (width < 1 || height < 1 || width > keptBox || height > keptBox)
        return std::nullopt;
    if (kHeaderBytes + identityBytes + jpegBytes != bytes.size())
        return std::nullopt;
    const std::string_view keptIdentity = bytes.substr(kHeaderBytes, identityBytes);
    const std::string_view jpeg = bytes.substr(kHeaderBytes + identityBytes);
    if (keptIdentity != identity || Crc32(keptIdentity, jpeg) != crc)
        return std::nullopt;
    // The picture module reads the header; without it nothing kept can be checked, and so
    // nothing kept is used.
    const PictureCodec* codec = PictureModule().Get();
    if (!codec || !codec->isJpegOfSize(jpeg, static_cast<int>(width), static_cast<int>(height)))
        return std::nullopt;
    return DiskThumbnail{static_cast<int>(width), static_cast<int>(height), std::string(jpeg)};
}

// An open cache folder. The files are read and written without the lock; it guards only what
// is known of them, which every worker updates once its file is in place.
class CThumbnailDiskCache::CFolder {
  public:
    CFolder(UniqueFd folderFd, std::string realPath, std::uint64_t byteBound)
        : fd(std::move(folderFd)), path(std::move(realPath)), bound(byteBound) {}

    // Reads the folder once, on first use (off the main thread: it may hold many files).
    void EnsureScanned();
    // Records that the file `name` of `size` bytes is the most recently used.
    void Touch(const std::string& name, std::uint64_t size);
    // Forgets the file `name`, which is gone or removed.
    void Forget(const std::string& name);
    // Removes the least recently used files until the rest fit the bound.
    void Trim();
    // A use time later than every one given before, which orders the files after a restart.
    std::int64_t NextStamp();
    // The bytes of the files it knows of; takes the lock.
    std::uint64_t Held();

    const UniqueFd fd;
    const std::string path;
    const std::uint64_t bound;
    std::mutex lock; // guards the members below: every call above but Held is made holding it

  private:
    struct Entry {
        std::uint64_t size = 0;
        std::list<std::string>::iterator use;
    };
    bool scanned = false;
    std::uint64_t held = 0; // the sum of the sizes in `entries`
    std::unordered_map<std::string, Entry> entries;
    std::list<std::string> uses; // the names of `entries`, the most recently used first
    std::int64_t lastStamp = 0;
};

void CThumbnailDiskCache::CFolder::EnsureScanned() {
    if (std::exchange(scanned, true))
        return;
    const int listFd = ::openat(fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return;
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listFd));
    if (!dir) {
        ::close(listFd);
        return;
    }
    struct Found {
        std::int64_t stamp;
        std::string name;
        std::uint64_t size;
    };
    std::vector<Found> found;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        struct stat st {};
        if (name.find(kTemporaryMark) != std::string_view::npos) {
            // Left by a run that ended while it wrote: never renamed, never to be.
            ::unlinkat(fd.Get(), entry->d_name, 0);
        } else if (IsEntryName(name) &&
                   ::fstatat(fd.Get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISREG(st.st_mode)) {
            found.push_back(
                {NanosOf(st.st_mtim), std::string(name), static_cast<std::uint64_t>(st.st_size)});
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.stamp < b.stamp; });
    for (Found& file : found) {
        lastStamp = std::max(lastStamp, file.stamp);
        Touch(file.name, file.size);
    }
    Trim();
}

void CThumbnailDiskCache::CFolder::Touch(const std::string& name, std::uint64_t size) {
    const auto it = entries.find(name);
    if (it != entries.end()) {
        held -= it->second.size;
        it->second.size = size;
        uses.splice(uses.begin(), uses, it->second.use);
    } else {
        uses.push_front(name);
        entries.emplace(name, Entry{size, uses.begin()});
    }
    held += size;
}

void CThumbnailDiskCache::CFolder::Forget(const std::string& name) {
    const auto it = entries.find(name);
    if (it == entries.end())
        return;
    held -= it->second.size;
    uses.erase(it->second.use);
    entries.erase(it);
}

void CThumbnailDiskCache::CFolder::Trim() {
    while (held > bound && !uses.empty()) {
        const std::string name = uses.back();
        ::unlinkat(fd.Get(), name.c_str(), 0);
        Forget(name);
    }
}

std::int64_t CThumbnailDiskCache::CFolder::NextStamp() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // File times come from a coarse clock, and several thumbnails are kept within one tick.
    lastStamp = std::max(NanosOf(now), lastStamp + 1);
    return lastStamp;
}

std::uint64_t CThumbnailDiskCache::CFolder::Held() {
    std::lock_guard guard(lock);
    return held;
}

CThumbnailDiskCache::CThumbnailDiskCache() = default;
CThumbnailDiskCache::~CThumbnailDiskCache() = default;

DiskCacheRefusal CThumbnailDiskCache::Open(const std::string& folder, const std::string& sharedRoot,
                                           std::uint64_t bound) {
    DiskCacheRefusal refusal = DiskCacheRefusal::kNoFolder;
    std::shared_ptr<CFolder> opened;
    try {
        UniqueFd fd;
        std::string real;
        refusal = OpenPrivateFolder(folder, sharedRoot, fd, real);
        if (refusal == DiskCacheRefusal::kNone) {
            std::lock_guard guard(currentLock);
            if (current && current->path == real && current->bound == bound)
                return refusal;
            opened = std::make_shared<CFolder>(std::move(fd), std::move(real), bound);
        }
    } catch (const std::exception&) { // out of memory: nothing is kept
        refusal = DiskCacheRefusal::kNoFolder;
    }
    std::lock_guard guard(currentLock);
    current = std::move(opened);
    return refusal;
}

void CThumbnailDiskCache::Close() {
    std::lock_guard guard(currentLock);
    current.reset();
}

std::shared_ptr<CThumbnailDiskCache::CFolder> CThumbnailDiskCache::Current() const {
    std::lock_guard guard(currentLock);
    return current;
}

std::optional<DiskThumbnail> CThumbnailDiskCache::Load(std::string_view identity,
                                                       int box) noexcept {
    try {
        const std::shared_ptr<CFolder> folder = Current();
        if (!folder)
            return std::nullopt;
        const std::string name = FileNameOf(identity, box);
        {
            std::lock_guard guard(folder->lock);
            folder->EnsureScanned();
        }
        UniqueFd fd(::openat(folder->fd.Get(), name.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        std::optional<std::string> bytes;
        std::optional<DiskThumbnail> thumbnail;
        if (fd.Valid() && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) <= kMaxFileBytes &&
            (bytes = ReadFromStart(fd.Get(), static_cast<std::size_t>(st.st_size))))
            thumbnail = DecodeDiskThumbnail(*bytes, identity, box);
        std::lock_guard guard(folder->lock);
        if (!thumbnail) {
            // Damaged, foreign or of another key that shares the name: the caller makes the
            // thumbnail and its file takes this one's place.
            if (fd.Valid())
                ::unlinkat(folder->fd.Get(), name.c_str(), 0);
            folder->Forget(name);
            return std::nullopt;
        }
        const struct timespec times[2] = {TimespecOf(folder->NextStamp()),
                                          TimespecOf(folder->NextStamp())};
        ::futimens(fd.Get(), times);
        folder->Touch(name, static_cast<std::uint64_t>(st.st_size));
        return thumbnail;
    } catch (const std::exception&) { // out of memory: the picture is decoded instead
        return std::nullopt;
    }
}

void CThumbnailDiskCache::Store(std::string_view identity, int box, int width, int height,
                                std::string_view jpeg) noexcept {
    static std::atomic<std::uint64_t> writes = 0;
    try {
        const std::shared_ptr<CFolder> folder = Current();
        if (!folder)
            return;
        const std::string name = FileNameOf(identity, box);
        const std::string bytes = EncodeDiskThumbnail(identity, box, width, height, jpeg);
        // A name of its own per write: two workers keeping the same thumbnail at once never
        // write into one file, and a reader only ever opens a file that is complete.
        const std::string temporary =
            name + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(writes++);
        struct timespec times[2] = {};
        {
            // Read first: the scan removes temporary files.
            std::lock_guard guard(folder->lock);
            folder->EnsureScanned();
            times[0] = times[1] = TimespecOf(folder->NextStamp());
        }
        const int dir = folder->fd.Get();
        UniqueFd fd(::openat(dir, temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.Valid())
            return;
        const bool written = WriteAll(fd.Get(), bytes) && ::futimens(fd.Get(), times) == 0;
        fd.Reset();
        if (!written || ::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
            ::unlinkat(dir, temporary.c_str(), 0);
            return;
        }
        std::lock_guard guard(folder->lock);
        folder->Touch(name, bytes.size());
        folder->Trim();
    } catch (const std::exception&) { // out of memory: the thumbnail is not kept
    }
}

std::uint64_t CThumbnailDiskCache::Bytes() const {
    const std::shared_ptr<CFolder> folder = Current();
    return folder ? folder->Held() : 0;
}

CThumbnailDiskCache& ThumbnailDiskCache() {
    static CThumbnailDiskCache cache;
    return cache;
}

} // namespace tvn
