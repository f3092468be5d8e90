#include "pages/folder_listing.h"

#include "http/http_date.h"
#include "http/request_context.h"
#include "http/upload_store.h"
#include "pages/folder_search.h"
#include "pages/folder_zip.h"
#include "pages/listing_cache.h"
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
#include <iterator>
#include <memory>
#include <strings.h>
#include <sys/stat.h>
#include <type_traits>
#include <utility>

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

// File name endings by kind, sorted for a binary search; pictures that get no thumbnail
// (".svg", ".webp") are pictures all the same.
struct KindByEnding {
    std::string_view ending;
    EntryKind kind;
};
constexpr KindByEnding kKindsByEnding[] = {
    {"3gp", EntryKind::Video},     {"7z", EntryKind::Archive},    {"aac", EntryKind::Audio},
    {"aif", EntryKind::Audio},     {"aiff", EntryKind::Audio},    {"apk", EntryKind::Archive},
    {"avi", EntryKind::Video},     {"avif", EntryKind::Picture},  {"bmp", EntryKind::Picture},
    {"bz2", EntryKind::Archive},   {"c", EntryKind::Text},        {"cab", EntryKind::Archive},
    {"cfg", EntryKind::Text},      {"conf", EntryKind::Text},     {"cpp", EntryKind::Text},
    {"css", EntryKind::Text},      {"csv", EntryKind::Text},      {"deb", EntryKind::Archive},
    {"djvu", EntryKind::Document}, {"dmg", EntryKind::Archive},   {"doc", EntryKind::Document},
    {"docx", EntryKind::Document}, {"epub", EntryKind::Document}, {"flac", EntryKind::Audio},
    {"flv", EntryKind::Video},     {"gif", EntryKind::Picture},   {"gz", EntryKind::Archive},
    {"h", EntryKind::Text},        {"heic", EntryKind::Picture},  {"htm", EntryKind::Document},
    {"html", EntryKind::Document}, {"ico", EntryKind::Picture},   {"ini", EntryKind::Text},
    {"iso", EntryKind::Archive},   {"jar", EntryKind::Archive},   {"jpeg", EntryKind::Picture},
    {"jpg", EntryKind::Picture},   {"js", EntryKind::Text},       {"json", EntryKind::Text},
    {"log", EntryKind::Text},      {"m4a", EntryKind::Audio},     {"m4v", EntryKind::Video},
    {"md", EntryKind::Text},       {"mid", EntryKind::Audio},     {"midi", EntryKind::Audio},
    {"mkv", EntryKind::Video},     {"mov", EntryKind::Video},     {"mp3", EntryKind::Audio},
    {"mp4", EntryKind::Video},     {"mpeg", EntryKind::Video},    {"mpg", EntryKind::Video},
    {"odp", EntryKind::Document},  {"ods", EntryKind::Document},  {"odt", EntryKind::Document},
    {"oga", EntryKind::Audio},     {"ogg", EntryKind::Audio},     {"ogv", EntryKind::Video},
    {"opus", EntryKind::Audio},    {"pdf", EntryKind::Document},  {"png", EntryKind::Picture},
    {"ppt", EntryKind::Document},  {"pptx", EntryKind::Document}, {"ps", EntryKind::Document},
    {"py", EntryKind::Text},       {"rar", EntryKind::Archive},   {"rpm", EntryKind::Archive},
    {"rtf", EntryKind::Document},  {"sh", EntryKind::Text},       {"svg", EntryKind::Picture},
    {"tar", EntryKind::Archive},   {"tgz", EntryKind::Archive},   {"tif", EntryKind::Picture},
    {"tiff", EntryKind::Picture},  {"ts", EntryKind::Video},      {"txt", EntryKind::Text},
    {"wav", EntryKind::Audio},     {"webm", EntryKind::Video},    {"webp", EntryKind::Picture},
    {"wma", EntryKind::Audio},     {"wmv", EntryKind::Video},     {"xls", EntryKind::Document},
    {"xlsx", EntryKind::Document}, {"xml", EntryKind::Text},      {"xz", EntryKind::Archive},
    {"yaml", EntryKind::Text},     {"zip", EntryKind::Archive},   {"zst", EntryKind::Archive},
};
static_assert(std::is_sorted(std::begin(kKindsByEnding), std::end(kKindsByEnding),
                             [](const KindByEnding& a, const KindByEnding& b) {
                                 return a.ending < b.ending;
                             }));

} // namespace

EntryKind KindOfFileName(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || name.size() - dot - 1 > 8)
        return EntryKind::Other;
    char lower[8];
    const std::size_t length = name.size() - dot - 1;
    for (std::size_t i = 0; i < length; ++i)
        lower[i] = LowerAscii(name[dot + 1 + i]);
    const std::string_view ending(lower, length);
    const auto found = std::lower_bound(
        std::begin(kKindsByEnding), std::end(kKindsByEnding), ending,
        [](const KindByEnding& item, std::string_view key) { return item.ending < key; });
    return found != std::end(kKindsByEnding) && found->ending == ending ? found->kind
                                                                        : EntryKind::Other;
}

namespace {

// Size and date of an entry, from the status of what it names.
void PutSizeAndDate(ListingEntry& entry, const struct stat& st) {
    entry.size = S_ISDIR(st.st_mode) ? -1 : static_cast<long long>(st.st_size);
    entry.modified = static_cast<long long>(st.st_mtim.tv_sec);
}

// The status of the entry `name`, or of what the link `resolved` leads to (`viaPath`): a
// link's size and date are those of its target, which is what a visitor gets. False when
// it cannot be read.
bool ReadStatus(int folderFd, const std::string& name, const std::string& resolved, bool viaPath,
                struct stat& st) {
    if (viaPath)
        return ::stat(resolved.c_str(), &st) == 0;
    return ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Classifies one name of the folder into the lists; returns 1 when it counts. `details`
// asks for the entry's kind, size and date as well.
int Classify(const std::string& folderPath, int folderFd, const std::string& name,
             unsigned char type, bool details, ListingEntries& entries,
             std::vector<PictureRef>& pictures) {
    // The folder itself is already free of links, so only the entry can be one: the
    // directory entry's type spares a system call for every plain file and folder.
    std::string resolved = folderPath + name;
    int attributes;
    struct stat st {};
    bool viaPath = false; // a link or something else the directory entry did not tell
    if (type == DT_DIR || type == DT_REG) {
        attributes = type == DT_DIR ? kAttributeDirectory : 0;
        if (!name.empty() && name[0] == '.')
            attributes |= kAttributeHidden;
    } else {
        if (type == DT_UNKNOWN &&
            ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISLNK(st.st_mode)) {
            attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : 0;
            if (!name.empty() && name[0] == '.')
                attributes |= kAttributeHidden;
        } else {
            resolved = ResolveShortcuts(resolved);
            attributes = GetFileAttributes(resolved);
            viaPath = true;
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
    const bool isFolder = attributes & kAttributeDirectory;
    const bool isPicture = !isFolder && IsPictureName(base);
    ListingEntry entry{isPicture ? std::string() : std::move(shown), name};
    if (details) {
        entry.kind = isFolder    ? EntryKind::Folder
                     : isPicture ? EntryKind::Picture
                                 : KindOfFileName(base);
        // `st` already describes an entry of unknown type that proved no link.
        if ((type == DT_UNKNOWN && !viaPath) || ReadStatus(folderFd, name, resolved, viaPath, st)) {
            PutSizeAndDate(entry, st);
            if (S_ISREG(st.st_mode) && st.st_nlink > 1)
                entries.linkedElsewhere = true;
        }
    }
    if (isFolder)
        entries.folders.push_back(std::move(entry));
    else if (isPicture) {
        // The thumbnail tags are made for all pictures of the folder at once, below.
        entries.pictures.push_back(std::move(entry));
        pictures.push_back({std::move(resolved), std::move(shown)});
    } else
        entries.files.push_back(std::move(entry));
    return 1;
}

bool IsRootUrl(std::string_view url) { return url.find('/', 1) == std::string_view::npos; }

// The placeholders of an item section. %NAME% and %LINK% are replaced where they first
// stand only (templates use each of them once); the others wherever they stand. %THUMBNAIL%
// is a picture's thumbnail as the built-in listing shows it (sharp on 2x screens, fetched as
// it scrolls into view), nothing for other entries; a template without it costs nothing more.
enum class Field : unsigned char {
    Name,
    Link,
    FileName,
    Thumbnail,
    Kind,
    Size,
    Bytes,
    Date,
    Seconds,
    None
};
struct Placeholder {
    std::string_view text;
    Field field;
};
constexpr Placeholder kPlaceholders[] = {
    {"%NAME%", Field::Name},           {"%LINK%", Field::Link}, {"%FILENAME%", Field::FileName},
    {"%THUMBNAIL%", Field::Thumbnail}, {"%KIND%", Field::Kind}, {"%SIZE%", Field::Size},
    {"%BYTES%", Field::Bytes},         {"%DATE%", Field::Date}, {"%MTIME%", Field::Seconds},
};
// Fields from Kind on need the entries' details (FolderScan::withDetails).
constexpr bool NeedsDetails(Field field) { return field >= Field::Kind && field != Field::None; }

// A run of the section as written, then the field that follows it (None after the last).
struct Piece {
    std::string_view literal;
    Field field;
};

// The section split at its placeholders. They are found in the section as written, so
// that a name holding "%LINK%" cannot take the link's place.
std::vector<Piece> SplitSection(std::string_view inner) {
    std::vector<Piece> pieces;
    bool nameSeen = false;
    bool linkSeen = false;
    std::size_t from = 0;
    for (std::size_t at = inner.find('%'); at != std::string_view::npos;
         at = inner.find('%', at + 1)) {
        for (const Placeholder& placeholder : kPlaceholders) {
            if (!inner.substr(at).starts_with(placeholder.text))
                continue;
            bool* seen = placeholder.field == Field::Name   ? &nameSeen
                         : placeholder.field == Field::Link ? &linkSeen
                                                            : nullptr;
            if (seen && std::exchange(*seen, true))
                break;
            pieces.push_back({inner.substr(from, at - from), placeholder.field});
            from = at + placeholder.text.size();
            at = from - 1;
            break;
        }
    }
    pieces.push_back({inner.substr(from), Field::None});
    return pieces;
}

std::string_view KindName(EntryKind kind) {
    switch (kind) {
    case EntryKind::None:
        return {};
    case EntryKind::Folder:
        return "folder";
    case EntryKind::Picture:
        return "picture";
    case EntryKind::Audio:
        return "audio";
    case EntryKind::Video:
        return "video";
    case EntryKind::Document:
        return "document";
    case EntryKind::Archive:
        return "archive";
    case EntryKind::Text:
        return "text";
    case EntryKind::Other:
        return "other";
    }
    return {};
}

void AppendField(std::string& out, Field field, const ListingEntry& entry,
                 std::string_view urlBase) {
    switch (field) {
    case Field::Name:
        out.append(entry.name);
        break;
    case Field::Link:
        AppendEncodedLink(out, urlBase);
        if (entry.linkIsName)
            AppendEncodedLink(out, entry.link);
        else
            out.append(entry.link);
        break;
    case Field::FileName:
        // An entry that is no file (the empty-folder message) has its text here as well.
        if (entry.linkIsName)
            AppendHtmlEscaped(out, entry.link);
        else
            out.append(entry.name);
        break;
    case Field::Thumbnail:
        out.append(entry.thumbnail);
        break;
    case Field::Kind:
        out.append(KindName(entry.kind));
        break;
    case Field::Size:
        AppendReadableSize(out, entry.size);
        break;
    case Field::Bytes:
        if (entry.size >= 0)
            out += std::to_string(entry.size);
        break;
    case Field::Date:
        AppendListingDate(out, entry.modified);
        break;
    case Field::Seconds:
        if (entry.modified >= 0)
            out += std::to_string(entry.modified);
        break;
    case Field::None:
        break;
    }
}

// Expands the first section of `tag` at or after `from` with one copy per entry; returns
// where the expansion ends, or npos when there is no such section.
std::size_t ExpandSection(std::string& text, std::string_view tag,
                          const std::vector<ListingEntry>& list, std::string_view urlBase,
                          std::size_t from = 0) {
    const TagPair pair = FindTagPair(text, tag, from);
    if (!pair.Found())
        return std::string::npos;
    const std::string_view inner(text.data() + pair.InnerBegin(), pair.close - pair.InnerBegin());
    const std::vector<Piece> pieces = SplitSection(inner);
    std::string expanded;
    expanded.reserve(list.size() * (inner.size() + 64));
    for (const ListingEntry& entry : list) {
        for (const Piece& piece : pieces) {
            expanded.append(piece.literal);
            AppendField(expanded, piece.field, entry, urlBase);
        }
    }
    text.replace(pair.open, pair.End() - pair.open, expanded);
    return pair.open + expanded.size();
}

// True when a field of an item section of `text` meets `wanted`.
template <typename Wanted> bool SectionsUse(std::string_view text, Wanted wanted) {
    for (const std::string_view tag : {"<diritem>", "<fileitem>", "<pictitem>"}) {
        const TagPair pair = FindTagPair(text, tag);
        if (!pair.Found())
            continue;
        const std::string_view inner =
            text.substr(pair.InnerBegin(), pair.close - pair.InnerBegin());
        for (const Piece& piece : SplitSection(inner)) {
            if (wanted(piece.field))
                return true;
        }
    }
    return false;
}

// True when an item section of `text` shows kinds, sizes or dates.
bool ShowsDetails(std::string_view text) { return SectionsUse(text, &NeedsDetails); }

// True when an item section of `text` shows the built-in listing's thumbnails.
bool ShowsSharpThumbnails(std::string_view text) {
    return SectionsUse(text, [](Field field) { return field == Field::Thumbnail; });
}

// The folders of the URL path `urlBase` (ending in '/') below the root, outermost first:
// each named by its decoded name, linked by its path with the '/' at its end.
std::vector<ListingEntry> PathFolders(std::string_view urlBase) {
    std::vector<ListingEntry> folders;
    std::size_t begin = 1;
    for (std::size_t slash = urlBase.find('/', begin); slash != std::string_view::npos;
         slash = urlBase.find('/', begin)) {
        if (slash > begin) {
            ListingEntry folder{std::string(), std::string(urlBase.substr(0, slash + 1))};
            AppendHtmlEscaped(folder.name, urlBase.substr(begin, slash - begin));
            folder.kind = EntryKind::Folder;
            folders.push_back(std::move(folder));
        }
        begin = slash + 1;
    }
    return folders;
}

// Repeats every <pathitem> section once per folder of the URL path, for breadcrumbs and
// titles that need no script.
void ExpandPathSections(std::string& text, std::string_view urlBase) {
    if (!FindTagPair(text, "<pathitem>").Found())
        return;
    const std::vector<ListingEntry> folders = PathFolders(urlBase);
    for (std::size_t from = 0; from != std::string::npos;)
        from = ExpandSection(text, "<pathitem>", folders, {}, from);
}

// The upload area's slots: each "%NAME%" of the built-in fragment and the text it stands for.
struct AreaSlot {
    std::string_view text;
    StringId string;
};
constexpr AreaSlot kAreaSlots[] = {
    {"%TITLE%", StringId::kUploadAreaTitle},       {"%CHOOSE%", StringId::kUploadAreaChoose},
    {"%ALL%", StringId::kUploadAreaAll},           {"%WAITING%", StringId::kUploadAreaWaiting},
    {"%SENT%", StringId::kUploadAreaSent},         {"%FAILED%", StringId::kUploadAreaFailed},
    {"%RETRYING%", StringId::kUploadAreaRetrying},
};

// The upload area for the folder at `urlBase` with its `rules`: the fragment with its slots
// filled in one pass over the fragment as written, so no text can pass for a slot.
std::string MakeUploadArea(std::string_view fragment, const UploadRules& rules,
                           std::string_view urlBase) {
    std::string area;
    area.reserve(fragment.size() + 512);
    std::size_t from = 0;
    for (std::size_t at = fragment.find('%'); at != std::string_view::npos;
         at = fragment.find('%', at + 1)) {
        const std::string_view rest = fragment.substr(at);
        std::string value;
        std::size_t length = 0;
        if (rest.starts_with("%TARGET%")) {
            AppendHtmlEscaped(value, EncodeLink(urlBase));
            length = 8;
        } else if (rest.starts_with("%LIMIT%")) {
            std::string size;
            AppendReadableSize(size, static_cast<long long>(std::min<std::uint64_t>(
                                         rules.maxSize, std::uint64_t(1) << 62)));
            std::string text = LoadString(StringId::kUploadAreaLimit);
            if (const auto slot = text.find("%s"); slot != std::string::npos)
                text.replace(slot, 2, size);
            AppendHtmlEscaped(value, text);
            length = 7;
        } else {
            for (const AreaSlot& slot : kAreaSlots) {
                if (rest.starts_with(slot.text)) {
                    AppendHtmlEscaped(value, LoadString(slot.string));
                    length = slot.text.size();
                    break;
                }
            }
        }
        if (length == 0)
            continue;
        area.append(fragment.substr(from, at - from));
        area.append(value);
        from = at + length;
        at = from - 1;
    }
    area.append(fragment.substr(from));
    return area;
}

// What takes the place of the first <uploadarea> pair of a template: the upload area in a
// folder that takes uploads, nothing elsewhere. Its ".upload" file is read with the folder,
// while the folder's listing watch is on, so a folder that gains or loses it is listed anew.
std::string UploadAreaFor(const std::string& folder, std::string_view urlBase) {
    const std::optional<UploadRules> rules = ReadUploadRules(folder);
    const auto fragment = rules ? FindResource("CONTENT", ".upload-area") : std::nullopt;
    return fragment ? MakeUploadArea(*fragment, *rules, urlBase) : std::string();
}

// What takes the place of a <downloadall> pair: a link to the folder as one archive, which
// crawlers are asked not to follow (each would read the whole tree).
std::string DownloadAllLink() {
    std::string link = "<p class=\"tvn-download\"><a href=\"?zip\" rel=\"nofollow\">";
    AppendHtmlEscaped(link, LoadString(StringId::kDownloadAll));
    link.append("</a></p>");
    return link;
}

void PutListingHead(CRequestContext& done, std::size_t size) {
    CAnswer& answer = done.answer;
    answer.Start(HttpStatus::kOk);
    answer.AddHeader("Content-Type", "text/html");
    answer.AddHeader("Last-Modified", FormatHttpDateNow());
    answer.AddHeaderNumber("Content-Length", static_cast<long long>(size));
}

// A kept listing in a memory file goes out as a file does: its descriptor of its own (the
// cache may drop the listing meanwhile), sent from its start.
void PutKeptListing(CRequestContext& done, const KeptListing& kept) {
    if (!kept.file.Valid())
        return PutListing(done, kept.text);
    UniqueFd file(::fcntl(kept.file.Get(), F_DUPFD_CLOEXEC, 0));
    if (!file.Valid())
        return PutListing(done, kept.Text());
    PutListingHead(done, kept.size);
    COpenFile body;
    body.fd = std::move(file);
    body.size = static_cast<off_t>(kept.size);
    done.answer.SetFile(std::move(body));
}

} // namespace

int ScanFolder(const std::string& folderPath, std::string_view folderUrl, bool isRoot,
               FolderScan& scan) {
    ListingEntries& entries = scan.entries;
    entries = {};
    scan.pictures.clear();
    // "." and ".." get no date: read through the file system, ".." of a linked folder would
    // tell about a folder outside the shared one.
    const EntryKind folderKind = scan.withDetails ? EntryKind::Folder : EntryKind::None;
    if (!isRoot)
        entries.folders.push_back({"..", "..", true, folderKind});
    int total = 0;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folderPath.c_str()));
    if (dir) {
        std::vector<unsigned char> types;
        const std::vector<std::string> names = EnumerateSorted(dir.get(), types);
        const int folderFd = ::dirfd(dir.get());
        for (std::size_t i = 0; i < names.size(); ++i)
            total += Classify(folderPath, folderFd, names[i], types[i], scan.withDetails, entries,
                              scan.pictures);
    }
    if (!isRoot && (!entries.files.empty() || !entries.pictures.empty()))
        entries.folders.insert(entries.folders.begin(), {".", ".", true, folderKind});
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

void PutThumbnailTags(FolderScan& scan, std::vector<std::string> tags,
                      std::vector<std::string> sharpTags) {
    for (std::size_t i = 0; i < tags.size() && i < scan.entries.pictures.size(); ++i)
        scan.entries.pictures[i].name = std::move(tags[i]);
    for (std::size_t i = 0; i < sharpTags.size() && i < scan.entries.pictures.size(); ++i)
        scan.entries.pictures[i].thumbnail = std::move(sharpTags[i]);
}

StageResult FillListingSectionsThen(CRequestContext& context, std::string text, bool folderRequest,
                                    std::function<void(CRequestContext&, std::string&)> finish) {
    return FillListingSectionsThen(
        context, std::move(text), folderRequest,
        ListingFinish([finish = std::move(finish)](CRequestContext& done, std::string& page,
                                                   const ListingEntries&) { finish(done, page); }));
}

std::shared_ptr<ListingPage> BeginListingPage(const CRequestContext& context, std::string text,
                                              bool folderRequest, std::string& folder) {
    const CRequest& request = context.request;
    folder = request.localPath;
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
    auto page = std::make_shared<ListingPage>();
    page->text = std::move(text);
    page->urlBase = std::move(urlBase);
    page->scan.withDetails = ShowsDetails(page->text);
    page->sharp = ShowsSharpThumbnails(page->text);
    // A template without the pairs costs nothing more.
    page->uploadArea = FindTagPair(page->text, "<uploadarea>").Found();
    if (page->uploadArea)
        page->area = UploadAreaFor(folder, page->urlBase);
    if (FindTagPair(page->text, "<searcharea>").Found())
        page->searchArea = MakeSearchArea(page->urlBase, {}, {});
    return page;
}

bool CompleteListingPage(ListingPage& page) {
    PutThumbnailTags(page.scan, std::move(page.tags), std::move(page.sharpTags));
    ExpandSection(page.text, "<diritem>", page.scan.entries.folders, page.urlBase);
    ExpandSection(page.text, "<fileitem>", page.scan.entries.files, page.urlBase);
    ExpandSection(page.text, "<pictitem>", page.scan.entries.pictures, page.urlBase);
    ExpandPathSections(page.text, page.urlBase);
    if (page.uploadArea)
        ReplaceFirstPair(page.text, "<uploadarea>", page.area);
    return ReplaceFirstPair(page.text, "<searcharea>", page.searchArea);
}

void PutListing(CRequestContext& done, std::string text) {
    PutListingHead(done, text.size());
    done.answer.SetBody(std::move(text));
}

StageResult FillListingSectionsThen(CRequestContext& context, std::string text, bool folderRequest,
                                    ListingFinish finish) {
    std::string folder;
    std::shared_ptr<ListingPage> page =
        BeginListingPage(context, std::move(text), folderRequest, folder);
    ScanFolder(folder, page->urlBase, IsRootUrl(page->urlBase), page->scan);
    auto complete = [page, finish = std::move(finish)](CRequestContext& resumed) {
        CompleteListingPage(*page);
        finish(resumed, page->text, page->scan.entries);
        return StageResult::kAnswered;
    };
    // A folder whose thumbnails are all made is answered at once. New pictures take about
    // a tenth of a second each to decode: the request waits for them off the main thread,
    // and every other visitor is served meanwhile.
    std::vector<std::string>* sharpTags = page->sharp ? &page->sharpTags : nullptr;
    if (std::optional<std::vector<std::string>> cached =
            CachedThumbnailTags(page->scan.pictures, sharpTags)) {
        page->tags = std::move(*cached);
        return complete(context);
    }
    return context.Park(
        [page, sharpTags] { page->tags = MakeThumbnailTags(page->scan.pictures, sharpTags); },
        std::move(complete));
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

std::optional<std::string> FolderTemplate(const CRequestContext& context) {
    std::optional<std::string> page = LookUpTemplate(context, ".dir");
    if (page && page->empty())
        page = std::string(kFallbackTemplate);
    // Only a template that holds the pair gets the link; the others keep their bytes.
    if (page && FindTagPair(*page, "<downloadall>").Found())
        ReplaceFirstPair(*page, "<downloadall>", DownloadAllLink());
    return page;
}

StageResult SendFolderListing(CRequestContext& context) {
    CRequest& request = context.request;
    if (AsksForZip(request))
        return SendFolderZip(context);
    AddTrailingSlash(request.localPath);
    // An unchanged folder gets the body made before; a changed one is read again (the
    // watch goes on before the folder is read, so no change can slip in between).
    const std::string& url = request.urlPath.empty() ? request.url : request.urlPath;
    if (std::shared_ptr<const KeptListing> kept =
            SharedListingCache().Find(request.localPath, url)) {
        PutKeptListing(context, *kept);
        return StageResult::kAnswered;
    }
    std::shared_ptr<CListingBuild> build = SharedListingCache().Begin(request.localPath, url);
    std::optional<std::string> page = FolderTemplate(context);
    if (!page) {
        context.answer.StartError(HttpStatus::kNotFound);
        return StageResult::kAnswered;
    }
    // A file linked from elsewhere can change without an event here: such a page is not kept.
    return FillListingSectionsThen(context, std::move(*page), true,
                                   ListingFinish([build](CRequestContext& done, std::string& text,
                                                         const ListingEntries& read) {
                                       if (build && !read.linkedElsewhere)
                                           build->Keep(text);
                                       PutListing(done, std::move(text));
                                   }));
}

} // namespace tvn
