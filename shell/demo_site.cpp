#include "shell/demo_site.h"

#include "platform/resources.h"

#include <filesystem>
#include <fstream>

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

void WriteNewFile(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

std::string PrevEditionName(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return name + " (PrevEdition)";
    return name.substr(0, dot) + " (PrevEdition)" + name.substr(dot);
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
    const fs::path backup = path.parent_path() / PrevEditionName(path.filename().string());
    fs::remove(backup, ec);
    fs::rename(path, backup, ec);
    if (ec)
        return; // the user's edition could not be set aside: keep it
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
