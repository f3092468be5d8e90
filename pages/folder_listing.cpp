#include "pages/folder_listing.h"

#include "http/http_date.h"
#include "http/request_context.h"
#include "pages/picture_formats.h"
#include "pages/template_tags.h"
#include "pages/thumbnail_cache.h"
#include "platform/file_attributes.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <strings.h>
#include <sys/stat.h>

namespace tvn {
namespace {

constexpr std::string_view kFallbackTemplate =
    "<diritem><a href=\"%LINK%\">%NAME%</a><br></diritem>"
    "<fileitem><a href=\"%LINK%\">%NAME%</a><br></fileitem>"
    "<pictitem><a href=\"%LINK%\">%NAME%</a><br></pictitem>";
// Templates are read whole; a larger file is no template.
constexpr std::size_t kTemplateLimit = std::size_t(8) << 20;
constexpr const char* kEmptyFolderMessage =
    "<br> - Create Folders for data to be shared in<br> '%s'<br> - Populate the folders with "
    "files<br>";

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// Names of the folder, in the order users expect: by name without regard to case.
std::vector<std::string> EnumerateSorted(DIR* dir, std::vector<unsigned char>& types) {
    std::vector<std::pair<std::string, unsigned char>> names;
    while (const dirent* entry = ::readdir(dir))
        names.emplace_back(entry->d_name, entry->d_type);
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
        const int order = ::strcasecmp(a.first.c_str(), b.first.c_str());
        return order != 0 ? order < 0 : a.first < b.first;
    });
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    types.clear();
    for (auto& [name, type] : names) {
        sorted.push_back(std::move(name));
        types.push_back(type);
    }
    return sorted;
}

std::string_view BaseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Classifies one name of the folder into the lists; returns 1 when it counts.
int Classify(const std::string& folderPath, int folderFd, const std::string& name,
             unsigned char type, ListingEntries& entries, std::vector<PictureRef>& pictures) {
    // The folder itself is already free of links, so only the entry can be one: the
    // directory entry's type spares a system call for every plain file and folder.
    std::string resolved = folderPath + name;
    int attributes;
    if (type == DT_DIR || type == DT_REG) {
        attributes = type == DT_DIR ? kAttributeDirectory : 0;
        if (!name.empty() && name[0] == '.')
            attributes |= kAttributeHidden;
    } else {
        struct stat st {};
        if (type == DT_UNKNOWN &&
            ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISLNK(st.st_mode)) {
            attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : 0;
            if (!name.empty() && name[0] == '.')
                attributes |= kAttributeHidden;
        } else {
            resolved = ResolveShortcuts(resolved);
            attributes = GetFileAttributes(resolved);
        }
    }
    if (attributes == kInvalidAttributes)
        return 0; // unreadable attributes count as all bits set: hidden, not listed
    const std::string_view base = BaseName(resolved);
    if (base.empty())
        return 0;
    if (StartsWithNoCase(base, "index") || StartsWithNoCase(base, "default"))
        return 1;
    if ((attributes & kAttributeHidden) || base[0] == '.')
        return 0;
    const auto dot = base.rfind('.');
    const std::string_view display = dot == std::string_view::npos ? base : base.substr(0, dot);
    std::string shown;
    AppendHtmlEscaped(shown, display);
    if (attributes & kAttributeDirectory)
        entries.folders.push_back({std::move(shown), name});
    else if (IsPictureName(base)) {
        // The thumbnail tags are made for all pictures of the folder at once, below.
        entries.pictures.push_back({std::string(), name});
        pictures.push_back({std::move(resolved), std::move(shown)});
    } else
        entries.files.push_back({std::move(shown), name});
    return 1;
}

bool IsRootUrl(std::string_view url) { return url.find('/', 1) == std::string_view::npos; }

// Expands the first section of `tag` with one copy per entry.
void ExpandSection(std::string& text, std::string_view tag, const std::vector<ListingEntry>& list,
                   std::string_view urlBase) {
    const TagPair pair = FindTagPair(text, tag);
    if (!pair.Found())
        return;
    const std::string_view inner(text.data() + pair.InnerBegin(), pair.close - pair.InnerBegin());
    // Placeholders are found in the section as written, so that a name holding "%LINK%"
    // cannot take the link's place.
    const auto namePos = inner.find("%NAME%");
    const auto linkPos = inner.find("%LINK%");
    std::string expanded;
    expanded.reserve(list.size() * (inner.size() + 64));
    for (const ListingEntry& entry : list) {
        std::size_t pos = 0;
        auto emitUpTo = [&](std::size_t at) { expanded.append(inner.substr(pos, at - pos)); };
        const bool nameFirst = namePos != std::string_view::npos &&
                               (linkPos == std::string_view::npos || namePos < linkPos);
        for (int step = 0; step < 2; ++step) {
            const bool doName = (step == 0) == nameFirst;
            const std::size_t at = doName ? namePos : linkPos;
            if (at == std::string_view::npos)
                continue;
            emitUpTo(at);
            if (doName) {
                expanded.append(entry.name);
            } else {
                AppendEncodedLink(expanded, urlBase);
                if (entry.linkIsName)
                    AppendEncodedLink(expanded, entry.link);
                else
                    expanded.append(entry.link);
            }
            pos = at + 6;
        }
        expanded.append(inner.substr(pos));
    }
    text.replace(pair.open, pair.End() - pair.open, expanded);
}

} // namespace

int ScanFolder(const std::string& folderPath, std::string_view folderUrl, bool isRoot,
               FolderScan& scan) {
    ListingEntries& entries = scan.entries;
    entries = {};
    scan.pictures.clear();
    if (!isRoot)
        entries.folders.push_back({"..", ".."});
    int total = 0;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folderPath.c_str()));
    if (dir) {
        std::vector<unsigned char> types;
        const std::vector<std::string> names = EnumerateSorted(dir.get(), types);
        const int folderFd = ::dirfd(dir.get());
        for (std::size_t i = 0; i < names.size(); ++i)
            total += Classify(folderPath, folderFd, names[i], types[i], entries, scan.pictures);
    }
    if (!isRoot && (!entries.files.empty() || !entries.pictures.empty()))
        entries.folders.insert(entries.folders.begin(), {".", "."});
    if (total == 0) {
        // Visitors see the folder by its URL: the local path is the owner's business.
        std::string path;
        AppendHtmlEscaped(path, folderUrl);
        std::string message(std::snprintf(nullptr, 0, kEmptyFolderMessage, path.c_str()), '\0');
        std::snprintf(message.data(), message.size() + 1, kEmptyFolderMessage, path.c_str());
        entries.files.push_back({std::move(message), "#", false});
        total = 1;
    }
    return total;
}

void PutThumbnailTags(FolderScan& scan, std::vector<std::string> tags) {
    for (std::size_t i = 0; i < tags.size() && i < scan.entries.pictures.size(); ++i)
        scan.entries.pictures[i].name = std::move(tags[i]);
}

int CollectEntries(const std::string& folderPath, std::string_view folderUrl, bool isRoot,
                   ListingEntries& entries) {
    FolderScan scan;
    const int total = ScanFolder(folderPath, folderUrl, isRoot, scan);
    PutThumbnailTags(scan, MakeThumbnailTags(scan.pictures));
    entries = std::move(scan.entries);
    return total;
}

void FillListingSectionsThen(CRequestContext& context, std::string text, bool folderRequest,
                             std::function<void(CRequestContext&, std::string&)> finish) {
    const CRequest& request = context.request;
    std::string folder = request.localPath;
    // The URL path of the target found (canonical, '/' only): for a page found by walking up
    // ("/sub/page.html/extra/part") the links start at the page's folder, not below the page.
    std::string urlBase = request.urlPath.empty() ? request.url : request.urlPath;
    if (!folderRequest) {
        folder = folder.substr(0, folder.rfind('/') + 1);
        const auto slash = urlBase.rfind('/');
        urlBase = slash == std::string::npos ? std::string() : urlBase.substr(0, slash + 1);
    }
    AddTrailingSlash(folder);
    AddTrailingSlash(urlBase);
    struct Job {
        FolderScan scan;
        std::string text;
        std::string urlBase;
        std::vector<std::string> tags;
    };
    auto job = std::make_shared<Job>();
    job->text = std::move(text);
    job->urlBase = std::move(urlBase);
    ScanFolder(folder, job->urlBase, IsRootUrl(job->urlBase), job->scan);
    auto complete = [job, finish = std::move(finish)](CRequestContext& resumed) {
        PutThumbnailTags(job->scan, std::move(job->tags));
        ExpandSection(job->text, "<diritem>", job->scan.entries.folders, job->urlBase);
        ExpandSection(job->text, "<fileitem>", job->scan.entries.files, job->urlBase);
        ExpandSection(job->text, "<pictitem>", job->scan.entries.pictures, job->urlBase);
        finish(resumed, job->text);
    };
    // A folder whose thumbnails are all made is answered at once. New pictures take about
    // a tenth of a second each to decode: the request waits for them off the main thread,
    // and every other visitor is served meanwhile.
    if (std::optional<std::vector<std::string>> cached = CachedThumbnailTags(job->scan.pictures)) {
        job->tags = std::move(*cached);
        complete(context);
        return;
    }
    context.Park([job] { job->tags = MakeThumbnailTags(job->scan.pictures); }, std::move(complete));
}

std::optional<std::string> LookUpTemplate(const CRequestContext& context, std::string_view name) {
    const std::string& local = context.request.localPath;
    const std::string path = local.substr(0, local.rfind('/') + 1) + std::string(name);
    if (auto text = LoadWholeFile(path, kTemplateLimit))
        return text; // an empty template file counts as found
    if (const auto builtIn = FindResource("CONTENT", name))
        return std::string(*builtIn);
    return std::nullopt;
}

void SendFolderListing(CRequestContext& context) {
    CRequest& request = context.request;
    AddTrailingSlash(request.localPath);
    std::optional<std::string> page = LookUpTemplate(context, ".dir");
    if (!page) {
        context.PutErrorResponse(HttpStatus::kNotFound);
        return;
    }
    if (page->empty())
        page = std::string(kFallbackTemplate);
    FillListingSectionsThen(
        context, std::move(*page), true, [](CRequestContext& done, std::string& text) {
            done.PutStatus(HttpStatus::kOk);
            done.PutHeader("Content-Type", "text/html");
            done.PutHeader("Last-Modified", FormatHttpDateNow());
            done.PutHeaderNumber("Content-Length", static_cast<long long>(text.size()));
            done.PutText("\r\n");
            done.PutText(text);
        });
}

} // namespace tvn
