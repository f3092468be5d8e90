#include "pages/folder_search.h"

#include "http/http_svr_doc.h"
#include "pages/folder_listing.h"
#include "pages/picture_formats.h"
#include "pages/template_tags.h"
#include "pages/thumbnail_cache.h"
#include "platform/file_attributes.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

#include <QString>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <strings.h>
#include <sys/stat.h>
#include <unordered_set>
#include <utility>

namespace tvn {
namespace {

// A folder or file as the file system knows it, whatever path leads to it.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};
struct FileIdHash {
    std::size_t operator()(const FileId& id) const noexcept {
        return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.ino) * 31 +
                                               static_cast<unsigned long long>(id.dev));
    }
};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

FileId IdOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

bool AtOrBelow(std::string_view path, std::string_view folder) {
    if (folder == "/")
        return path.starts_with('/');
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// The path with every link resolved; empty when it names nothing (a dangling link, a loop).
std::string RealPathOf(const std::string& path) {
    return ResolveRealPath(path).value_or(std::string());
}

std::string_view BaseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Names a listing never shows: hidden ones, and the default documents (a folder's index).
bool ListingHides(std::string_view name) {
    return name.empty() || name[0] == '.' || StartsWithNoCase(name, "index") ||
           StartsWithNoCase(name, "default");
}

// True when a part of `path` below the folder `share` begins with a dot: nothing below a
// dot-folder is served, so nothing there is found either.
bool BelowDotFolder(std::string_view path, std::string_view share) {
    if (!AtOrBelow(path, share))
        return false;
    return path.substr(share == "/" ? 0 : share.size()).find("/.") != std::string_view::npos;
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// `text` case-folded, as UTF-8. ASCII, most names, folds without leaving std::string.
std::string Folded(std::string_view text) {
    if (IsAscii(text))
        return ToLower(text);
    const QByteArray folded =
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toCaseFolded().toUtf8();
    return std::string(folded.constData(), static_cast<std::size_t>(folded.size()));
}

// One name found: where it goes and how its entry reads.
struct Hit {
    ListingEntry entry;
    enum class List { Folders, Files, Pictures } list = List::Files;
    std::string picturePath; // the full local path of a picture
};

// A folder waiting to be walked: its local path (links resolved, ending in '/'), its path
// below the folder searched (ending in '/', empty for that folder), what it is, its depth.
struct PendingFolder {
    std::string path;
    std::string relative;
    FileId id;
    int depth = 0;
};

// What one directory entry is, once looked at: a folder, a file, or nothing to show.
struct EntryLook {
    enum class Kind { Skip, Folder, File } kind = Kind::Skip;
    struct stat st {};
    std::string real;   // the target of a link (empty for no link)
    bool enters = true; // a folder that may be walked (links that leave the share may not)
};

// One search's walk: breadth first, so that a bound keeps the names nearest the folder.
class CSearchWalk {
  public:
    CSearchWalk(const SearchPlan& searchPlan, FolderScan& into)
        : plan(searchPlan), scan(into), deadline(plan.now() + plan.bounds.time) {}

    SearchEnd Run() {
        shareReal = RealPathOf(plan.shareRoot);
        struct stat st {};
        if (!plan.settingsFolder.empty() && ::stat(plan.settingsFolder.c_str(), &st) == 0) {
            settingsId = IdOf(st);
            settingsReal = RealPathOf(plan.settingsFolder);
        }
        if (::stat(plan.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return Finish(SearchEnd::kComplete);
        walked.insert(IdOf(st));
        pending.push_back({plan.folder, std::string(), IdOf(st), 0});
        while (!pending.empty()) {
            const PendingFolder folder = std::move(pending.front());
            pending.pop_front();
            if (const SearchEnd end = WalkFolder(folder); end != SearchEnd::kComplete)
                return Finish(end);
        }
        return Finish(tooDeep ? SearchEnd::kDepthBound : SearchEnd::kComplete);
    }

  private:
    // Reads one folder's entries; kComplete to go on with the next folder, else the bound met.
    SearchEnd WalkFolder(const PendingFolder& folder) {
        // Opened without following a link, and only when it is still the folder that was
        // looked at: a folder swapped for a link meanwhile is not entered.
        UniqueFd fd(::open(folder.path.c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        struct stat st {};
        if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !(IdOf(st) == folder.id))
            return SearchEnd::kComplete;
        DIR* dir = ::fdopendir(fd.Get());
        if (dir == nullptr)
            return SearchEnd::kComplete;
        const int dirFd = fd.Get();
        (void)fd.Release(); // the stream owns the descriptor now
        std::unique_ptr<DIR, DirCloser> stream(dir);
        while (const dirent* entry = ::readdir(stream.get())) {
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            if (++visited > plan.bounds.visited)
                return SearchEnd::kVisitBound;
            if (plan.now() >= deadline)
                return SearchEnd::kTimeBound;
            if (ListingHides(name))
                continue;
            // A plain file whose name lacks a word is done with without a system call: on a
            // tree of files, that is nearly every entry.
            if (entry->d_type == DT_REG && !NameHoldsWords(name, plan.words))
                continue;
            if (const SearchEnd end = Visit(folder, dirFd, name); end != SearchEnd::kComplete)
                return end;
        }
        return SearchEnd::kComplete;
    }

    SearchEnd Visit(const PendingFolder& folder, int dirFd, std::string_view name) {
        const std::string path = folder.path + std::string(name);
        const EntryLook look = LookAt(dirFd, path, name);
        if (look.kind == EntryLook::Kind::Skip)
            return SearchEnd::kComplete;
        const bool isFolder = look.kind == EntryLook::Kind::Folder;
        const std::string relative = folder.relative + std::string(name);
        if (isFolder && look.enters && !walked.contains(IdOf(look.st))) {
            if (folder.depth < plan.bounds.depth) {
                walked.insert(IdOf(look.st));
                const std::string& real = look.real.empty() ? path : look.real;
                pending.push_back({real + "/", relative + "/", IdOf(look.st), folder.depth + 1});
            } else {
                tooDeep = true;
            }
        }
        if (!NameHoldsWords(name, plan.words))
            return SearchEnd::kComplete;
        if (hits.size() >= plan.bounds.hits)
            return SearchEnd::kHitBound;
        AddHit(relative, path, name, isFolder, look.st);
        return SearchEnd::kComplete;
    }

    // What the entry `name` of a folder is, through a link, and whether it may be shown.
    // Its status is read whatever the directory entry's type says: a folder needs its
    // identity (for loops), a file its kind of file (a named pipe is no hit).
    EntryLook LookAt(int dirFd, const std::string& path, std::string_view name) {
        EntryLook look;
        const std::string entryName(name);
        if (::fstatat(dirFd, entryName.c_str(), &look.st, AT_SYMLINK_NOFOLLOW) != 0)
            return look;
        if (S_ISLNK(look.st.st_mode)) {
            look.real = RealPathOf(path);
            if (look.real.empty() || ListingHides(BaseName(look.real)) ||
                BelowDotFolder(look.real, shareReal) || ::stat(look.real.c_str(), &look.st) != 0)
                return look;
            // A link that leaves the share is listed, as its folder's listing shows it, but
            // what lies behind it is not walked.
            look.enters = AtOrBelow(look.real, shareReal);
            if (!settingsReal.empty() && AtOrBelow(look.real, settingsReal))
                return look;
        }
        if (S_ISDIR(look.st.st_mode)) {
            if (settingsId && IdOf(look.st) == *settingsId)
                return look;
            if (!Admitted((look.real.empty() ? path : look.real) + "/"))
                return look;
            look.kind = EntryLook::Kind::Folder;
        } else if (S_ISREG(look.st.st_mode)) {
            // A linked file stays guarded by the folder it really lives in.
            if (!look.real.empty() && !Admitted(look.real.substr(0, look.real.rfind('/') + 1)))
                return look;
            look.kind = EntryLook::Kind::File;
        }
        return look;
    }

    // True when the folder (ending in '/') has no ".pass", or the visitor's line is in it.
    bool Admitted(const std::string& folder) const {
        return !HasPassList(folder) || (plan.passLine && PassListHolds(folder, *plan.passLine));
    }

    void AddHit(const std::string& relative, const std::string& path, std::string_view name,
                bool isFolder, const struct stat& st) {
        const auto dot = name.rfind('.');
        const std::string_view prefix(relative.data(), relative.size() - name.size());
        std::string shown;
        AppendHtmlEscaped(shown, prefix);
        AppendHtmlEscaped(shown, dot == std::string_view::npos ? name : name.substr(0, dot));
        const bool isPicture = !isFolder && IsPictureName(name);
        Hit hit;
        hit.entry.link = relative;
        hit.list = isFolder    ? Hit::List::Folders
                   : isPicture ? Hit::List::Pictures
                               : Hit::List::Files;
        if (scan.withDetails) {
            hit.entry.kind = isFolder    ? EntryKind::Folder
                             : isPicture ? EntryKind::Picture
                                         : KindOfFileName(name);
            hit.entry.size = isFolder ? -1 : static_cast<long long>(st.st_size);
            hit.entry.modified = static_cast<long long>(st.st_mtim.tv_sec);
        }
        if (isPicture)
            hit.picturePath = path;
        // A picture's name is its thumbnail tag, made later; until then its text.
        hit.entry.name = std::move(shown);
        hits.push_back(std::move(hit));
    }

    // Puts the hits into the scan's lists in name order of their paths.
    SearchEnd Finish(SearchEnd end) {
        std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
            const int order = ::strcasecmp(a.entry.link.c_str(), b.entry.link.c_str());
            return order != 0 ? order < 0 : a.entry.link < b.entry.link;
        });
        for (Hit& hit : hits) {
            switch (hit.list) {
            case Hit::List::Folders:
                scan.entries.folders.push_back(std::move(hit.entry));
                break;
            case Hit::List::Files:
                scan.entries.files.push_back(std::move(hit.entry));
                break;
            case Hit::List::Pictures:
                scan.pictures.push_back({std::move(hit.picturePath), hit.entry.name});
                scan.entries.pictures.push_back(std::move(hit.entry));
                scan.entries.pictures.back().name.clear();
                break;
            }
        }
        hits.clear();
        return end;
    }

    const SearchPlan& plan;
    FolderScan& scan;
    const std::chrono::steady_clock::time_point deadline;
    std::string shareReal;
    std::optional<FileId> settingsId;
    std::string settingsReal;
    std::deque<PendingFolder> pending;
    std::unordered_set<FileId, FileIdHash> walked;
    std::vector<Hit> hits;
    std::size_t visited = 0;
    bool tooDeep = false; // a folder was left out for its depth
};

// The note under the search box: why the list is empty, or that it is not whole.
std::string NoteFor(SearchEnd end, const FolderScan& scan) {
    if (end != SearchEnd::kComplete)
        return LoadString(StringId::kSearchCut);
    const ListingEntries& found = scan.entries;
    if (found.folders.empty() && found.files.empty() && found.pictures.empty())
        return LoadString(StringId::kSearchNone);
    return {};
}

// A template without a search box still tells the note: in front of its body's end.
void InsertNote(std::string& text, std::string_view note) {
    std::string paragraph = "<p class=\"tvn-search-note\">";
    AppendHtmlEscaped(paragraph, note);
    paragraph += "</p>\n";
    auto at = text.rfind("</body>");
    if (at == std::string::npos)
        at = text.rfind("</BODY>");
    text.insert(at == std::string::npos ? text.size() : at, paragraph);
}

} // namespace

std::vector<std::string> SearchWords(std::string_view text) {
    std::vector<std::string> words;
    std::size_t from = 0;
    while (from < text.size()) {
        const auto begin = text.find_first_not_of(" \t", from);
        if (begin == std::string_view::npos)
            break;
        auto end = text.find_first_of(" \t", begin);
        if (end == std::string_view::npos)
            end = text.size();
        std::string word = Folded(text.substr(begin, end - begin));
        if (std::find(words.begin(), words.end(), word) == words.end())
            words.push_back(std::move(word));
        from = end;
    }
    return words;
}

bool NameHoldsWords(std::string_view name, const std::vector<std::string>& words) {
    const std::string folded = Folded(name);
    return std::all_of(words.begin(), words.end(), [&](const std::string& word) {
        return folded.find(word) != std::string::npos;
    });
}

SearchEnd SearchBelow(const SearchPlan& plan, FolderScan& scan) {
    scan.entries = {};
    scan.pictures.clear();
    return CSearchWalk(plan, scan).Run();
}

std::string MakeSearchArea(std::string_view urlBase, std::string_view words,
                           std::string_view note) {
    const std::string label = LoadString(StringId::kSearchLabel);
    std::string area = "<form class=\"tvn-tools tvn-search\" method=\"get\" action=\"";
    AppendHtmlEscaped(area, EncodeLink(urlBase));
    area += "\" role=\"search\"><input type=\"search\" name=\"search\" value=\"";
    AppendHtmlEscaped(area, words);
    area += "\" placeholder=\"";
    AppendHtmlEscaped(area, label);
    area += "\" aria-label=\"";
    AppendHtmlEscaped(area, label);
    area += "\"><button type=\"submit\">";
    AppendHtmlEscaped(area, LoadString(StringId::kSearchButton));
    area += "</button></form>";
    if (!note.empty()) {
        area += "\n<p class=\"tvn-search-note\">";
        AppendHtmlEscaped(area, note);
        area += "</p>";
    }
    return area;
}

StageResult SendFolderSearch(CRequestContext& context, std::string_view text) {
    CRequest& request = context.request;
    AddTrailingSlash(request.localPath);
    std::optional<std::string> page = FolderTemplate(context);
    if (!page) {
        context.answer.StartError(HttpStatus::kNotFound);
        return StageResult::kAnswered;
    }
    auto plan = std::make_shared<SearchPlan>();
    std::shared_ptr<ListingPage> listing =
        BeginListingPage(context, std::move(*page), true, plan->folder);
    const CHttpSvrDoc& doc = context.Doc();
    plan->shareRoot = doc.Root();
    if (doc.ShareHoldsSettings())
        plan->settingsFolder = doc.SettingsFolderPath();
    plan->passLine = context.PassLine();
    plan->words = SearchWords(text);
    auto end = std::make_shared<SearchEnd>(SearchEnd::kComplete);
    // Neither the walk nor the pictures' decoding runs on the main thread: a deep tree or a
    // slow disk holds up this visitor alone.
    auto work = [plan, listing, end] {
        *end = SearchBelow(*plan, listing->scan);
        listing->tags = MakeThumbnailTags(listing->scan.pictures,
                                          listing->sharp ? &listing->sharpTags : nullptr);
    };
    auto complete = [listing, end, words = std::string(text)](CRequestContext& resumed) {
        const std::string note = NoteFor(*end, listing->scan);
        const bool hasBox = !listing->searchArea.empty();
        if (hasBox)
            listing->searchArea = MakeSearchArea(listing->urlBase, words, note);
        if (!CompleteListingPage(*listing) && !note.empty())
            InsertNote(listing->text, note);
        PutListing(resumed, std::move(listing->text));
        return StageResult::kAnswered;
    };
    return context.Park(std::move(work), std::move(complete));
}

} // namespace tvn
