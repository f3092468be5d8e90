#include "pages/thumbnail_cache.h"

#include "pages/picture_codec.h"
#include "pages/picture_formats.h"
#include "pages/thumbnail_disk_cache.h"
#include "platform/file_attributes.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>
#include <zlib.h>

namespace tvn {
namespace {

constexpr int kBoxSide = 100;
// The sharp thumbnails, for screens of two device pixels to the CSS pixel.
constexpr int kSharpBoxSide = 2 * kBoxSide;
constexpr std::string_view kUrlPrefix = "/Thumbnail__";
constexpr std::string_view kSharpUrlPrefix = "/Thumbnail2x__";

// The CRC-32 register over `bytes`, without the final inversion: zlib's CRC-32 inverted.
std::uint32_t CrcRegister(std::string_view bytes) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    // zlib counts in uInt: a longer text goes in pieces.
    while (!bytes.empty()) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(bytes.size(), 1u << 30));
        crc = ::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), piece);
        bytes.remove_prefix(piece);
    }
    return ~static_cast<std::uint32_t>(crc);
}

// A picture file as the cache knows it.
struct PictureFile {
    std::string real;     // its path with every link, ".", ".." and doubled '/' resolved
    std::string identity; // `real`, a zero byte, then its mtime and size (see IdentityOf)
};

// The bytes that name a file in one state: its real path, a zero byte, then the seconds and
// nanoseconds of its modification time and its size, each as 8 bytes little-endian.
std::string IdentityOf(const std::string& real, const struct stat& st) {
    std::string identity = real;
    identity.push_back('\0');
    for (std::int64_t value : {std::int64_t(st.st_mtim.tv_sec), std::int64_t(st.st_mtim.tv_nsec),
                               std::int64_t(st.st_size)}) {
        for (int i = 0; i < 8; ++i)
            identity.push_back(
                static_cast<char>((static_cast<std::uint64_t>(value) >> 8 * i) & 0xFF));
    }
    return identity;
}

// The identity of a thumbnail of the file `identity` (PictureFile::identity) in a box of
// `box` pixels: the file's own for the ordinary box, so that its key is ThumbnailKey's, and
// for another box that followed by the box's side as 4 bytes little-endian. The two can never
// be equal: the bytes after the path's zero byte have another length.
std::string ThumbnailIdentity(std::string_view identity, int box) {
    std::string thumbnail(identity);
    if (box != kBoxSide) {
        for (int i = 0; i < 4; ++i)
            thumbnail.push_back(
                static_cast<char>((static_cast<std::uint32_t>(box) >> 8 * i) & 0xFF));
    }
    return thumbnail;
}

// The regular file that `path` names, through every link; nullopt when there is none.
std::optional<PictureFile> ResolveWhole(const std::string& path) {
    std::optional<std::string> real = ResolveRealPath(path);
    struct stat st {};
    if (!real || ::stat(real->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::string identity = IdentityOf(*real, st);
    return PictureFile{std::move(*real), std::move(identity)};
}

// Finds the files of a listing's pictures. They share a folder, which is resolved once; each
// picture then costs one lstat, and a realpath only when it is a link itself. The cache is
// asked about every listing, so this is most of what showing a known folder costs.
class CPictureResolver {
  public:
    // The regular file that `path` names; nullopt when there is none.
    std::optional<PictureFile> Resolve(const std::string& path);

  private:
    std::string listedFolder;              // the folder last resolved, as listed, with its '/'
    std::optional<std::string> realFolder; // its real path; nullopt when it has none
};

std::optional<PictureFile> CPictureResolver::Resolve(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ResolveWhole(path);
    const std::string_view name = std::string_view(path).substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return ResolveWhole(path);
    const std::string_view folder = std::string_view(path).substr(0, slash + 1);
    if (folder != listedFolder) {
        listedFolder = folder;
        realFolder = ResolveRealPath(listedFolder);
    }
    if (!realFolder)
        return std::nullopt;
    std::string candidate = *realFolder;
    if (candidate.back() != '/')
        candidate.push_back('/');
    candidate += name;
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) != 0)
        return std::nullopt;
    if (S_ISLNK(st.st_mode))
        return ResolveWhole(candidate);
    if (!S_ISREG(st.st_mode))
        return std::nullopt;
    std::string identity = IdentityOf(candidate, st);
    return PictureFile{std::move(candidate), std::move(identity)};
}

std::vector<std::optional<PictureFile>> ResolvePictures(const std::vector<PictureRef>& pictures) {
    CPictureResolver resolver;
    std::vector<std::optional<PictureFile>> files;
    files.reserve(pictures.size());
    for (const PictureRef& picture : pictures)
        files.push_back(resolver.Resolve(picture.path));
    return files;
}

struct ThumbnailRecord {
    int width = 0;
    int height = 0;
    std::string jpeg;
    std::string identity; // the file, in the state it was decoded in, and the box (see
                          // ThumbnailIdentity)
    std::string picture;  // the path the listing gave: its folder and its target's guard it
    int box = kBoxSide;   // the side of the box it fits
};

// What a thumbnail costs the cache: its bytes, and an estimate of the rest (the map and list
// nodes and the string headers of its record).
std::size_t CostOf(const ThumbnailRecord& record) {
    constexpr std::size_t kEntryOverhead = 256;
    return record.jpeg.size() + record.identity.size() + record.picture.size() + kEntryOverhead;
}

// The thumbnails by key, in the order of their use. Only ever used under thumbnailLock.
class CThumbnailStore {
  public:
    // The key where the thumbnail of the file `identity` is or would go: the first key from
    // the CRC register of `identity` upward that holds that file or nothing. (A thumbnail
    // beyond a key freed later is not found again and is made anew, under the freed key.)
    std::uint32_t SlotOf(std::string_view identity) const;
    // The thumbnail under `key`, now the most recently used; nullptr when there is none.
    const ThumbnailRecord* Use(std::uint32_t key);
    // Adds `record` as the most recently used (or, when its file is in already, uses that one)
    // and drops the least recently used beyond the limit; returns the key it went under.
    std::uint32_t Add(ThumbnailRecord record);
    // Sets the limit, drops what is beyond it, and returns the limit it had.
    std::size_t SetLimit(std::size_t bytes);
    std::size_t Bytes() const { return held; }
    std::uint64_t Drops() const { return drops; }

  private:
    struct Entry {
        ThumbnailRecord record;
        std::list<std::uint32_t>::iterator use; // its place in `uses`
    };
    void Trim();

    std::unordered_map<std::uint32_t, Entry> entries;
    std::list<std::uint32_t> uses; // every key of `entries`, the most recently used first
    std::size_t held = 0;          // the sum of CostOf over `entries`
    std::uint64_t drops = 0;       // thumbnails dropped by Trim so far
    std::size_t limit = std::size_t(64) << 20;
};

std::uint32_t CThumbnailStore::SlotOf(std::string_view identity) const {
    std::uint32_t key = CrcRegister(identity);
    for (auto it = entries.find(key); it != entries.end() && it->second.record.identity != identity;
         it = entries.find(key))
        ++key;
    return key;
}

const ThumbnailRecord* CThumbnailStore::Use(std::uint32_t key) {
    const auto it = entries.find(key);
    if (it == entries.end())
        return nullptr;
    uses.splice(uses.begin(), uses, it->second.use);
    return &it->second.record;
}

std::uint32_t CThumbnailStore::Add(ThumbnailRecord record) {
    const std::uint32_t key = SlotOf(record.identity);
    if (Use(key))
        return key;
    held += CostOf(record);
    uses.push_front(key);
    entries.emplace(key, Entry{std::move(record), uses.begin()});
    Trim();
    return key;
}

std::size_t CThumbnailStore::SetLimit(std::size_t bytes) {
    const std::size_t before = std::exchange(limit, bytes);
    Trim();
    return before;
}

void CThumbnailStore::Trim() {
    while (held > limit && !uses.empty()) {
        const auto it = entries.find(uses.back());
        held -= CostOf(it->second.record);
        entries.erase(it);
        uses.pop_back();
        ++drops;
    }
}

// The cache is shared by the main thread, which serves thumbnail URLs and asks whether a
// listing's thumbnails are all made, and by the worker threads on which listings make their
// new thumbnails while the request waits, parked, off the event loop. All of it sits behind
// one lock, held only to look up, add or drop thumbnails and never while a picture is
// decoded: a thumbnail URL must not wait for somebody's listing. A picture being decoded is
// named in `decoding` meanwhile, so that a second listing of the same folder waits for it
// instead of decoding it again.
std::mutex thumbnailLock;
CThumbnailStore thumbnailStore;              // guarded by thumbnailLock
std::set<std::string, std::less<>> decoding; // guarded by thumbnailLock: file identities
std::condition_variable decodingShrank;      // notified when `decoding` loses identities
std::atomic<std::uint64_t> thumbnailFailures = 0;
std::atomic<std::uint64_t> thumbnailDecodes = 0;

// A thumbnail as its URL names it.
struct ThumbnailUrl {
    std::uint32_t key = 0;
    int box = kBoxSide;
};

// The key named by a thumbnail URL, and its box by the prefix: the hexadecimal digits after the
// prefix, up to the first other byte (none give 0). More than 32 bits of value name no key we
// ever made.
std::optional<ThumbnailUrl> ParseThumbnailUrl(std::string_view url) {
    int box = kBoxSide;
    if (url.starts_with(kUrlPrefix))
        url.remove_prefix(kUrlPrefix.size());
    else if (url.starts_with(kSharpUrlPrefix))
        url.remove_prefix(kSharpUrlPrefix.size()), box = kSharpBoxSide;
    else
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : url) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    return ThumbnailUrl{static_cast<std::uint32_t>(value), box};
}

// The thumbnails of `file` in the boxes of `sides`, which the listing named `listed`; none
// for a box when the file cannot be read or decoded, or is refused. The file is opened once
// for all of them.
std::vector<std::optional<ThumbnailRecord>>
MakeThumbnails(const PictureFile& file, const std::string& listed, const std::vector<int>& sides) {
    std::vector<std::optional<ThumbnailRecord>> made(sides.size());
    // Opened without waiting: a named pipe called "x.jpg" must not block the server. The real
    // path has no link in it; one put there since is not followed.
    UniqueFd fd(::open(file.real.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return made;
    // Without the picture module every picture counts as one that cannot be decoded.
    const PictureCodec* codec = PictureModule().Get();
    if (!codec)
        return made;
    std::vector<std::optional<ThumbnailPicture>> pictures = codec->makeThumbnails(fd.Get(), sides);
    // Named by the state it was read in: a file edited since the listing looked at it is
    // then looked for, and made, again.
    const std::string identity = IdentityOf(file.real, st);
    for (std::size_t n = 0; n < sides.size() && n < pictures.size(); ++n) {
        if (!pictures[n])
            continue;
        made[n] = ThumbnailRecord{pictures[n]->width,
                                  pictures[n]->height,
                                  std::move(pictures[n]->jpeg),
                                  ThumbnailIdentity(identity, sides[n]),
                                  listed,
                                  sides[n]};
    }
    return made;
}

// The thumbnails of `file` in the boxes of `sides`: each from the disk cache when it keeps one
// for the file in this state, the others made as MakeThumbnails makes them (the file is
// opened once for all of them) and kept there for the next run.
std::vector<std::optional<ThumbnailRecord>> LoadOrMakeThumbnails(const PictureFile& file,
                                                                 const std::string& listed,
                                                                 const std::vector<int>& sides) {
    CThumbnailDiskCache& disk = ThumbnailDiskCache();
    std::vector<std::optional<ThumbnailRecord>> found(sides.size());
    std::vector<int> missing;
    std::vector<std::size_t> where;
    for (std::size_t n = 0; n < sides.size(); ++n) {
        std::string identity = ThumbnailIdentity(file.identity, sides[n]);
        if (std::optional<DiskThumbnail> kept = disk.Load(identity, sides[n])) {
            found[n] = ThumbnailRecord{kept->width,         kept->height, std::move(kept->jpeg),
                                       std::move(identity), listed,       sides[n]};
        } else {
            missing.push_back(sides[n]);
            where.push_back(n);
        }
    }
    if (missing.empty())
        return found;
    ++thumbnailDecodes;
    std::vector<std::optional<ThumbnailRecord>> made = MakeThumbnails(file, listed, missing);
    for (std::size_t m = 0; m < made.size() && m < where.size(); ++m) {
        if (made[m])
            disk.Store(made[m]->identity, made[m]->box, made[m]->width, made[m]->height,
                       made[m]->jpeg);
        found[where[m]] = std::move(made[m]);
    }
    return found;
}

// The thumbnails to make of one picture: in which boxes, and their identities as asked for.
struct DecodeJob {
    const PictureFile* file;
    const std::string* listed;
    std::vector<int> sides;
    std::vector<const std::string*> identities;
};

// Makes the thumbnails of `jobs` side by side, one picture per core: the decoding is most of
// a first listing's time, and the visitor waits for it.
using MadeThumbnails = std::vector<std::vector<std::optional<ThumbnailRecord>>>;
MadeThumbnails MakeSideBySide(const std::vector<DecodeJob>& jobs) {
    MadeThumbnails made(jobs.size());
    std::atomic<std::size_t> next = 0;
    auto work = [&] {
        for (std::size_t n; (n = next++) < jobs.size();) {
            try {
                made[n] = LoadOrMakeThumbnails(*jobs[n].file, *jobs[n].listed, jobs[n].sides);
            } catch (const std::exception&) { // out of memory: the picture shows its text
            }
            made[n].resize(jobs[n].sides.size());
            thumbnailFailures += static_cast<std::uint64_t>(
                std::count(made[n].begin(), made[n].end(), std::nullopt));
        }
    };
    const std::size_t threads =
        std::min<std::size_t>(jobs.size(), std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> workers;
    for (std::size_t t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break; // no thread to be had: the others do its share
        }
    }
    work();
    for (std::thread& worker : workers)
        worker.join();
    return made;
}

// A thumbnail in the cache, as a tag names it.
struct ThumbnailRef {
    std::uint32_t key = 0;
    int width = 0;
    int height = 0;
};

std::string FormatTag(const ThumbnailRef& ref) {
    char url[32];
    std::snprintf(url, sizeof url, "/Thumbnail__%08X", static_cast<unsigned>(ref.key));
    char tag[160];
    std::snprintf(tag, sizeof tag,
                  "<img src=\"%s\" width=\"%d\" height=\"%d\" border=0 vspace=3 hspace=3>", url,
                  ref.width, ref.height);
    return tag;
}

// The tag of the built-in listing: the ordinary thumbnail, and the sharp one offered to
// screens of two device pixels to the CSS pixel when there is one that is larger. Its size
// is given, so that the page does not move as thumbnails come in, and the browser fetches
// the thumbnails as they scroll into view and decodes them aside.
std::string FormatSharpTag(const ThumbnailRef& ordinary, const std::optional<ThumbnailRef>& sharp) {
    char sharpSet[64] = {};
    if (sharp && (sharp->width > ordinary.width || sharp->height > ordinary.height))
        std::snprintf(sharpSet, sizeof sharpSet, " srcset=\"%.*s%08X 2x\"",
                      static_cast<int>(kSharpUrlPrefix.size()), kSharpUrlPrefix.data(),
                      static_cast<unsigned>(sharp->key));
    char tag[256];
    std::snprintf(tag, sizeof tag,
                  "<img src=\"/Thumbnail__%08X\"%s width=\"%d\" height=\"%d\" loading=\"lazy\" "
                  "decoding=\"async\">",
                  static_cast<unsigned>(ordinary.key), sharpSet, ordinary.width, ordinary.height);
    return tag;
}

// The cached thumbnail of identity `identity`, which is now the most recently used; nullopt
// when it is not cached. Called under thumbnailLock.
std::optional<ThumbnailRef> CachedRef(std::string_view identity) {
    const std::uint32_t key = thumbnailStore.SlotOf(identity);
    const ThumbnailRecord* record = thumbnailStore.Use(key);
    if (!record)
        return std::nullopt;
    return ThumbnailRef{key, record->width, record->height};
}

// Adds the thumbnails `made` for `jobs` to the cache and takes them out of `decoding`, waking
// the calls that wait for them. Returns them by the identity asked for: they stand even when a
// listing of more than the cache holds has dropped some of them already. Called under
// thumbnailLock.
std::map<std::string_view, ThumbnailRef> Publish(const std::vector<DecodeJob>& jobs,
                                                 MadeThumbnails& made) {
    std::map<std::string_view, ThumbnailRef> refs;
    for (std::size_t n = 0; n < jobs.size(); ++n) {
        for (std::size_t k = 0; k < jobs[n].sides.size(); ++k) {
            const std::string& asked = *jobs[n].identities[k];
            if (std::optional<ThumbnailRecord>& record = made[n][k]) {
                const int width = record->width;
                const int height = record->height;
                refs.emplace(asked,
                             ThumbnailRef{thumbnailStore.Add(std::move(*record)), width, height});
            }
            decoding.erase(asked);
        }
    }
    if (!jobs.empty())
        decodingShrank.notify_all();
    return refs;
}

// The thumbnails a listing shows: each picture's in each box of `sides`, the boxes of one
// picture side by side (at picture * sides.size() + box). A picture that is no file has
// thumbnails with no identity.
struct ThumbnailSlots {
    std::vector<int> sides;
    std::vector<std::string> identities;
    std::vector<std::optional<ThumbnailRef>> found;
};

ThumbnailSlots SlotsOf(const std::vector<std::optional<PictureFile>>& files,
                       std::vector<int> sides) {
    ThumbnailSlots wanted{std::move(sides), {}, {}};
    wanted.identities.reserve(files.size() * wanted.sides.size());
    for (const std::optional<PictureFile>& file : files) {
        for (const int side : wanted.sides)
            wanted.identities.push_back(file ? ThumbnailIdentity(file->identity, side)
                                             : std::string());
    }
    wanted.found.resize(wanted.identities.size());
    return wanted;
}

// Finds the cached ones of the wanted thumbnails; the others' indexes go to `waiting`, and when
// `jobs` is given, each of them that no other call is decoding becomes a job. Under the cache's
// lock.
void TakeCached(const std::vector<PictureRef>& pictures,
                const std::vector<std::optional<PictureFile>>& files, ThumbnailSlots& wanted,
                std::vector<std::size_t>& waiting, std::vector<DecodeJob>* jobs) {
    for (std::size_t n = 0; n < wanted.identities.size(); ++n) {
        const std::string& identity = wanted.identities[n];
        if (identity.empty())
            continue;
        if ((wanted.found[n] = CachedRef(identity)))
            continue;
        waiting.push_back(n);
        if (!jobs || !decoding.insert(identity).second)
            continue;
        // A picture's boxes are side by side: one job makes all that it lacks.
        const std::size_t i = n / wanted.sides.size();
        if (jobs->empty() || jobs->back().file != &*files[i])
            jobs->push_back({&*files[i], &pictures[i].path, {}, {}});
        jobs->back().sides.push_back(wanted.sides[n % wanted.sides.size()]);
        jobs->back().identities.push_back(&identity);
    }
}

// Finds the wanted thumbnails, making those that are not cached yet (and waiting for those
// that another call is making).
void FindOrMake(const std::vector<PictureRef>& pictures,
                const std::vector<std::optional<PictureFile>>& files, ThumbnailSlots& wanted) {
    std::vector<std::size_t> waiting; // the wanted thumbnails not in the cache
    std::vector<DecodeJob> jobs;      // those of them that no other call is making, each once
    {
        std::lock_guard lock(thumbnailLock);
        TakeCached(pictures, files, wanted, waiting, &jobs);
    }
    if (waiting.empty())
        return;
    MadeThumbnails made = MakeSideBySide(jobs);

    std::unique_lock lock(thumbnailLock);
    const std::map<std::string_view, ThumbnailRef> refs = Publish(jobs, made);
    decodingShrank.wait(lock, [&] {
        return std::none_of(waiting.begin(), waiting.end(),
                            [&](std::size_t n) { return decoding.contains(wanted.identities[n]); });
    });
    for (std::size_t n : waiting) {
        const std::string& identity = wanted.identities[n];
        const auto it = refs.find(identity);
        // None: the picture is broken, or another call made it and it is gone already.
        wanted.found[n] = it != refs.end() ? std::optional(it->second) : CachedRef(identity);
    }
}

std::vector<int> SidesFor(bool sharp) {
    if (sharp)
        return {kBoxSide, kSharpBoxSide};
    return {kBoxSide};
}

// The tags of the wanted thumbnails (the pictures' fallback texts where there are none),
// and with `sharpTags` the built-in listing's tags too.
std::vector<std::string> TagsOf(const std::vector<PictureRef>& pictures,
                                const ThumbnailSlots& wanted, std::vector<std::string>* sharpTags) {
    const std::size_t boxes = wanted.sides.size();
    std::vector<std::string> tags;
    tags.reserve(pictures.size());
    if (sharpTags)
        sharpTags->clear();
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const std::optional<ThumbnailRef>& ordinary = wanted.found[i * boxes];
        tags.push_back(ordinary ? FormatTag(*ordinary) : pictures[i].fallbackText);
        if (sharpTags)
            sharpTags->push_back(ordinary ? FormatSharpTag(*ordinary, wanted.found[i * boxes + 1])
                                          : pictures[i].fallbackText);
    }
    return tags;
}

} // namespace

ThumbnailSize FitThumbnailBox(int width, int height, int side) {
    const double a = width / double(side);
    const double b = height / double(side);
    const double e = std::max(a, b);
    if (e <= 1)
        return {width, height};
    // A very thin picture would come out 0 pixels wide, which no image can be.
    if (a != e)
        return {std::max(1, static_cast<int>(a / b * side)), side};
    return {side, std::max(1, static_cast<int>(b / a * side))};
}

std::uint32_t ThumbnailKey(std::string_view fullLocalPath) {
    const std::optional<PictureFile> file = CPictureResolver().Resolve(std::string(fullLocalPath));
    if (!file)
        return CrcRegister(fullLocalPath);
    std::lock_guard lock(thumbnailLock);
    return thumbnailStore.SlotOf(file->identity);
}

std::string MakeThumbnailTag(const std::string& fullLocalPath, std::string_view fallbackText) {
    return MakeThumbnailTags({{fullLocalPath, std::string(fallbackText)}}).front();
}

bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) {
    const std::optional<ThumbnailUrl> named = ParseThumbnailUrl(url);
    if (!named)
        return false;
    std::lock_guard lock(thumbnailLock);
    const ThumbnailRecord* record = thumbnailStore.Use(named->key);
    // Each URL form names the thumbnails of its own box only.
    if (!record || record->box != named->box)
        return false;
    jpeg = record->jpeg;
    picture = record->picture;
    return true;
}

std::optional<std::vector<std::string>> CachedThumbnailTags(const std::vector<PictureRef>& pictures,
                                                            std::vector<std::string>* sharpTags) {
    const std::vector<std::optional<PictureFile>> files = ResolvePictures(pictures);
    ThumbnailSlots wanted = SlotsOf(files, SidesFor(sharpTags != nullptr));
    std::vector<std::size_t> waiting;
    {
        std::lock_guard lock(thumbnailLock);
        TakeCached(pictures, files, wanted, waiting, nullptr);
    }
    if (!waiting.empty())
        return std::nullopt;
    return TagsOf(pictures, wanted, sharpTags);
}

std::vector<std::string> MakeThumbnailTags(const std::vector<PictureRef>& pictures,
                                           std::vector<std::string>* sharpTags) {
    const std::vector<std::optional<PictureFile>> files = ResolvePictures(pictures);
    ThumbnailSlots wanted = SlotsOf(files, SidesFor(sharpTags != nullptr));
    FindOrMake(pictures, files, wanted);
    return TagsOf(pictures, wanted, sharpTags);
}

std::size_t SetThumbnailCacheLimit(std::size_t bytes) {
    std::lock_guard lock(thumbnailLock);
    return thumbnailStore.SetLimit(bytes);
}

std::size_t ThumbnailCacheBytes() {
    std::lock_guard lock(thumbnailLock);
    return thumbnailStore.Bytes();
}

std::uint64_t ThumbnailDropCount() {
    std::lock_guard lock(thumbnailLock);
    return thumbnailStore.Drops();
}

std::uint64_t ThumbnailFailureCount() { return thumbnailFailures; }

std::uint64_t ThumbnailDecodeCount() { return thumbnailDecodes; }

} // namespace tvn
