#include "shell/demo_site.h"

#include "platform/file_io.h"
#include "platform/resources.h"
#include "platform/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;

// The demo files, each named by its path below the shared root, in writing order.
constexpr const char* kDemoFiles[] = {
    "demo/AboutMe.txt",
    "demo/Hobbies.html",
    "demo/index.html",
    "demo/.pict/blue-ball-small.gif",
    "demo/PhotoAlbum/branch.jpg",
    "demo/PhotoAlbum/cloud.jpg",
    "demo/PhotoAlbum/Comments.html",
    "demo/PhotoAlbum/fall-4.jpg",
    "demo/PhotoAlbum/fall.jpg",
    "demo/PhotoAlbum/lake.jpg",
    "demo/PhotoAlbum/lighthouse.jpg",
    "demo/PhotoAlbum/mountains.jpg",
    "demo/PhotoAlbum/redleaves.jpg",
    "demo/PhotoAlbum/road.jpg",
    "demo/PhotoAlbum/sea.jpg",
    "demo/PhotoAlbum/stones.jpg",
    "demo/PhotoAlbum/sunset-2.jpg",
    "demo/PhotoAlbum/white-night.jpg",
    "FindMe/index.html",
    "FindMe/VirtualEarth.html",
    "Highlights/index.html",
    "ZirarUd/index.html",
    "ZirarUd/VirtualEarth.html",
    "Blog/.blog",
    "Blog/AboutSomething.txt",
    "Blog/index.html",
    "Blog/MyFirstBlog.txt",
    "ScreenShot/index.html",
    "ScreenShot/screenshot.png",
    "RemoteControl/index.html",
    "RemoteControl/PocketPC.html",
    "RemoteControl/SmartPhone.html",
    "Security/index.html",
    "Security/Protected/index.html",
    "Security/Protected/.pass",
    "ZadiZo/index.html",
    "ZadiZo/VirtualEarth.html",
    "FindMe/GoogleMap.html",
    "ZadiZo/GoogleMap.html",
    "ZirarUd/GoogleMap.html",
};

// Folders that get the listing templates; FindMe is listed twice, as it always was (the
// second pass finds both files of the same length and keeps them).
constexpr const char* kTemplateFolders[] = {
    "demo/",       "demo/.pict/",    "demo/PhotoAlbum/", "FindMe/",
    "FindMe/",     "Highlights/",    "ZirarUd/",         "Blog/",
    "ScreenShot/", "RemoteControl/", "Security/",        "Security/Protected/",
    "ZadiZo/",
};

constexpr const char* kTemplateNames[] = {".dir", ".file"};

// The most backups one file collects before its user's edition is left in place.
constexpr int kMaxBackups = 999;

// Writes `bytes` to `path` as a whole or not at all: a cut demo file would differ in size
// from the demo, and the next update would set it aside as if the owner had edited it. The
// temporary name begins with a dot, so it is never served. False when nothing was written.
bool WriteNewFile(const fs::path& path, std::string_view bytes) {
    return ReplaceWhole(path.string(), bytes) == 0;
}

// Renames `from` to `to` unless something is called `to` already (then EEXIST).
int RenameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without RENAME_NOREPLACE: look first, then rename.
    std::error_code ec;
    if (fs::symlink_status(to, ec).type() != fs::file_type::not_found)
        return ec ? EIO : EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Moves the user's edition at `path` to the first backup name that is free. A backup is
// never replaced: the oldest one holds the owner's first edits. False when it stays.
bool SetAside(const fs::path& path) {
    const std::string name = path.filename().string();
    for (int number = 1; number <= kMaxBackups; ++number) {
        const int error = RenameNoReplace(path, path.parent_path() / PrevEditionName(name, number));
        if (error != EEXIST)
            return error == 0;
    }
    return false;
}

} // namespace

std::string PrevEditionName(const std::string& name, int number) {
    const std::string mark =
        number <= 1 ? " (PrevEdition)" : " (PrevEdition " + std::to_string(number) + ")";
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return name + mark;
    return name.substr(0, dot) + mark + name.substr(dot);
}

void WriteDemoFile(const std::string& target, std::string_view bytes) {
    const fs::path path(target);
    std::error_code ec;
    if (!fs::is_directory(path.parent_path(), ec))
        fs::create_directories(path.parent_path(), ec);
    const auto size = fs::file_size(path, ec);
    if (ec) {
        std::error_code statError;
        if (fs::symlink_status(path, statError).type() == fs::file_type::not_found)
            WriteNewFile(path, bytes);
        // Otherwise something that is not a readable file stands there: leave it.
        return;
    }
    if (size == bytes.size())
        return;
    if (!SetAside(path))
        return; // the user's edition could not be set aside: keep it
    // When this fails the user's edition is safe in its backup and the demo file is
    // missing; the next update writes it.
    WriteNewFile(path, bytes);
}

void WriteDemoSite(const std::string& root, const std::vector<DemoEntry>& entries) {
    for (const DemoEntry& entry : entries)
        WriteDemoFile(root + "/" + entry.path, entry.bytes);
}

std::vector<DemoEntry> DemoSiteEntries() {
    std::vector<DemoEntry> entries;
    for (const char* name : kDemoFiles) {
        const auto bytes = FindResource("BINDAT", name);
        if (bytes && !bytes->empty())
            entries.push_back({name, *bytes});
    }
    for (const char* folder : kTemplateFolders) {
        for (const char* name : kTemplateNames) {
            if (const auto bytes = FindResource("CONTENT", name))
                entries.push_back({std::string(folder) + name, *bytes});
        }
    }
    return entries;
}

void CreateDemoSite(const std::string& root) { WriteDemoSite(root, DemoSiteEntries()); }

} // namespace tvn
