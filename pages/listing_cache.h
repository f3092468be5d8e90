#pragma once

#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace tvn {

class CListingCache;

// What stat says of a path, as far as a listing can show it; `exists` is false when stat
// failed (the other fields are then zero).
struct StatMark {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    nlink_t links = 0;
    off_t size = 0;
    std::int64_t mtimeSec = 0;
    long mtimeNsec = 0;
    std::int64_t ctimeSec = 0;
    long ctimeNsec = 0;
    bool operator==(const StatMark&) const = default;
};
// The mark of `path`, through links.
StatMark MarkOf(const std::string& path);

// A path whose state the folder's watch does not see (a subfolder, whose time changes with
// its own content), with its mark when the listing was made.
struct PathCheck {
    std::string path;
    StatMark mark;
};

// A kept listing's body. A large one lies in a sealed memory file instead, which an answer
// sends as it sends a file, without copying it into its buffer (copying a megabyte per
// request was most of what a kept listing cost).
struct KeptListing {
    std::string text; // the body, when it is not in `file`
    UniqueFd file;    // a sealed memory file holding the body, or none
    std::size_t size = 0;

    // The body, read from the file when it is there; empty when it cannot be read.
    std::string Text() const;
};

// One listing being made, from before its folder is read until its body is done. It holds
// the folder's watch meanwhile; Keep hands the body to the cache.
class CListingBuild {
  public:
    CListingBuild(CListingCache& owner, std::string folderKey, int watch)
        : cache(owner), key(std::move(folderKey)), wd(watch) {}
    ~CListingBuild();
    CListingBuild(const CListingBuild&) = delete;
    CListingBuild& operator=(const CListingBuild&) = delete;

    // Keeps `body` as the folder's listing, unless anything it was made from changed while
    // it was made; true when it was kept.
    bool Keep(std::string_view body);

  private:
    friend class CListingCache;
    CListingCache& cache;
    std::string key;           // the folder's local path, a zero byte, then the URL it is listed at
    int wd;                    // the folder's watch
    std::uint64_t changes = 0; // the watch's change count when the build began
    std::uint64_t overflows = 0;      // the cache's lost-event count then
    std::uint64_t thumbnailDrops = 0; // the thumbnail cache's drop and failure counts then
    std::uint64_t thumbnailFailures = 0;
    std::vector<PathCheck> checks;
};

// The finished bodies of folder listings, kept while nothing they were made from changed, so
// that an unchanged folder is answered without being read again. A listing depends on
// - the folder's entries, their types, sizes and times, and its `.dir` template: one inotify
//   watch per folder reports every change of them. The events are read, without waiting, at
//   every look-up, so an event that happened before a request is never missed; an event
//   during a build, or a lost event (the queue overflowed), means the body is not kept.
// - what the watch does not see: the folder being swapped for another by renaming a folder
//   above it (its device and inode are compared per look-up), its subfolders' own times
//   (each compared by a stat per look-up). A folder holding a symbolic
//   link is not kept at all: its target's chain can change anywhere. Nor is one that shows
//   the size or date of a file with another name elsewhere (a hard link), which can be
//   written through that name; the listing's own stat of each entry tells.
// - the thumbnails of its pictures: a listing is kept only when no picture failed to
//   decode while it was made, and is served only while the thumbnail cache has dropped
//   nothing since, so every thumbnail it names is still there.
// - the URL it is listed at (links and messages), part of the key with the folder's path.
// Passwords are checked before the listing stage, so a kept listing never skips them.
// The bodies are bounded in bytes, the least recently used going first. Any thread may call.
class CListingCache {
  public:
    static constexpr std::size_t kDefaultLimit = std::size_t(32) << 20;
    // Bodies from this size on go into a memory file. The size keeps the descriptors few: at
    // most kDefaultLimit / kFileFrom of them.
    static constexpr std::size_t kFileFrom = std::size_t(64) << 10;
    // Watches count against the user's inotify limit, which the desktop's other programs
    // share: a visitor walking through thousands of small folders must not use it up.
    static constexpr std::size_t kDefaultWatchLimit = 2048;

    // `watchLimit`: the most folders watched at once; listings of more folders push out the
    // least recently used.
    explicit CListingCache(std::size_t watchLimit = kDefaultWatchLimit);
    ~CListingCache();
    CListingCache(const CListingCache&) = delete;
    CListingCache& operator=(const CListingCache&) = delete;

    // The body kept for `folder` (a local path ending in '/') listed at `url`, now the most
    // recently used; nullptr when none is kept or anything it was made from changed.
    std::shared_ptr<const KeptListing> Find(const std::string& folder, std::string_view url);
    // Watches `folder` for a listing at `url` about to be made: call it before the folder is
    // read. nullptr when the listing cannot be kept (no watch to be had: the watch limit,
    // a folder that cannot be opened; or a folder holding a symbolic link).
    std::shared_ptr<CListingBuild> Begin(const std::string& folder, std::string_view url);

    // Bounds the kept bodies to `bytes`, counting bodies, keys, checks and a fixed overhead,
    // and drops the least recently used beyond it. Returns the bound before the call.
    std::size_t SetLimit(std::size_t bytes);
    std::size_t Bytes() const;
    std::size_t Count() const;
    // How many look-ups found a body (tests tell a kept listing from a new one by it).
    std::uint64_t Hits() const;
    // How many folders are watched.
    std::size_t Watches() const;

  private:
    friend class CListingBuild;
    struct Watch {
        dev_t dev = 0;
        ino_t ino = 0;
        std::uint64_t changes = 0; // events seen for it
        int users = 0;             // kept bodies and builds on it
        bool gone = false;         // the kernel removed it (the folder went)
        std::vector<std::string> keys;
    };
    struct Entry {
        std::shared_ptr<const KeptListing> body;
        int wd = -1;
        std::vector<PathCheck> checks;
        bool thumbnails = false; // the body names thumbnails
        std::uint64_t thumbnailDrops = 0;
        std::size_t cost = 0;
        std::list<const std::string*>::iterator use;
    };
    using Entries = std::unordered_map<std::string, Entry>;

    bool Keep(CListingBuild& build, std::string_view body);
    void Drain();
    void Apply(int wd, std::uint32_t mask);
    bool StillHolds(const Entry& entry, const std::string& folder) const;
    void Erase(Entries::iterator it);
    void DropWatched(int wd);
    void Release(int wd);
    void Trim();

    mutable std::mutex lock; // guards everything below
    UniqueFd inotify;
    std::unordered_map<int, Watch> watches;
    Entries entries;
    std::list<const std::string*> uses; // keys of `entries`, the most recently used first
    std::size_t held = 0;
    std::size_t limit = kDefaultLimit;
    std::size_t watchLimit;
    std::uint64_t overflows = 0;
    std::uint64_t hits = 0;
};

// The cache the folder listings of this process share.
CListingCache& SharedListingCache();

} // namespace tvn
