// The file stages of the GET path: built-in files and thumbnails, mapping the URL to a local
// target, folder redirects and default documents, hidden targets, opening the target, and
// the file itself.
#include "http/acme_challenges.h"
#include "http/byte_range.h"
#include "http/content_stages.h"
#include "http/http_date.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "http/url_path.h"
#include "platform/file_attributes.h"
#include "platform/file_io.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

struct BuiltIn {
    std::string_view url;
    std::string_view contentType;
};

constexpr BuiltIn kBuiltIns[] = {
    {"/file.gif", "image/gif"},
    {"/folder.gif", "image/gif"},
    {"/blue-ball-small.gif", "image/gif"},
    {"/styles.css", "text/css"},
};

constexpr std::string_view kPageExtensions = "htm\nhtml\ntxt";
constexpr std::string_view kHiddenRefusal =
    "<h1> Cannot Show Hidden Files and Root Directories</h1>";

} // namespace

StageResult CRequestContext::ServeBuiltIn() {
    // The http-01 answers of the certificate worker: exactly the key authorization of a
    // published token, 404 for anything else below the folder (nothing there is a file).
    if (request.url.starts_with(kAcmeChallengePath)) {
        const std::string_view token =
            std::string_view(request.url).substr(kAcmeChallengePath.size());
        const auto keyAuthorization = doc.AcmeChallenges().Find(token);
        if (!keyAuthorization) {
            answer.StartError(HttpStatus::kNotFound);
            return StageResult::kAnswered;
        }
        answer.Start(HttpStatus::kOk);
        answer.AddHeader("Content-Type", "text/plain");
        answer.AddHeaderNumber("Content-Length", static_cast<long long>(keyAuthorization->size()));
        answer.AppendBody(*keyAuthorization);
        return StageResult::kAnswered;
    }
    for (const BuiltIn& builtIn : kBuiltIns) {
        if (request.url != builtIn.url)
            continue;
        const auto bytes = FindResource("CONTENT", builtIn.url);
        if (!bytes)
            return StageResult::kGoOn; // falls through to the ordinary stages
        answer.Start(HttpStatus::kOk);
        answer.AddHeader("Content-Type", builtIn.contentType);
        answer.AddHeader("Last-Modified", FormatHttpDateNow());
        answer.AddHeader("Expires", FormatHttpDateNow(86400));
        answer.AddHeaderNumber("Content-Length", static_cast<long long>(bytes->size()));
        answer.AppendBody(*bytes);
        return StageResult::kAnswered;
    }
    IContentStages* stages = doc.ContentStages();
    std::string jpeg;
    std::string picture;
    if (!stages || !stages->CopyThumbnail(request.url, jpeg, picture))
        return StageResult::kGoOn;
    // A thumbnail shows its picture: the picture's folder decides who may see it, whatever
    // the key in the URL. Its path may be a link: both folders guard it.
    std::string linkFolder = picture.substr(0, picture.rfind('/') + 1);
    const std::string real = ResolveShortcuts(picture);
    std::string realFolder = real.substr(0, real.rfind('/') + 1);
    if (!FoldersAdmit({&linkFolder, &realFolder}))
        return StageResult::kAnswered;
    answer.Start(HttpStatus::kOk);
    answer.AddHeader("Content-Type", "image/jpeg");
    answer.AddHeader("Last-Modified", FormatHttpDateNow());
    answer.AddHeader("Expires", FormatHttpDateNow(86400));
    answer.AddHeaderNumber("Content-Length", static_cast<long long>(jpeg.size()));
    answer.SetBody(std::move(jpeg));
    // The CR LF behind the body is not counted by Content-Length; browsers ignore it, and
    // clients of the thumbnails may count on it.
    answer.SetTrailer("\r\n");
    return StageResult::kAnswered;
}

StageResult CRequestContext::LocateTarget() {
    std::string path = request.url;
    int known = kUnknownAttributes;
    if (!MapToLocalPath(path, &known)) {
        answer.StartError(HttpStatus::kBadRequest);
        return StageResult::kAnswered;
    }
    // The URL path is cut back with the local path, so that it always names the target
    // found: redirects, links and the password of the URL's own folder are taken from it.
    std::string& urlPath = request.urlPath;
    urlPath = CanonicalizePath(request.url);
    if (urlPath.empty())
        urlPath = "/";
    request.attributes = known != kUnknownAttributes ? known : GetFileAttributes(path);
    if (request.attributes == kInvalidAttributes) {
        if (path == doc.Root() + "/") {
            // The shared folder itself is missing: the listing tells the user.
            request.attributes = kAttributeDirectory;
            request.localPath = doc.Root();
            urlPath = "/";
            return StageResult::kGoOn;
        }
        // Walk up to an existing file: the rest of the URL behind it is ignored.
        do {
            SplitTail(path);
            SplitTail(urlPath);
            request.attributes = path.empty() ? kInvalidAttributes : GetFileAttributes(path);
        } while (!path.empty() && request.attributes == kInvalidAttributes);
        if (path.empty() || (request.attributes & kAttributeDirectory)) {
            answer.StartError(HttpStatus::kNotFound);
            return StageResult::kAnswered;
        }
    }
    if (urlPath.empty())
        urlPath = "/";
    const bool directory = (request.attributes & kAttributeDirectory) != 0;
    if (directory)
        AddTrailingSlash(urlPath);
    if (directory && path.back() != '/') {
        // From the canonical path, never from the URL as sent: "//host/.." must not become
        // a Location that a browser reads as another site.
        answer.Start(HttpStatus::kMovedPermanently);
        answer.AddHeader("Location", EncodeForLocation(urlPath));
        return StageResult::kAnswered;
    }
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (BelowDotFolder(urlPath) || BelowDotFolder(PathBelowRoot(path)) || BelowSettingsFolder(path))
        request.attributes |= kAttributeHidden;
    request.localPath = std::move(path);
    if (directory && (RedirectToIndex(LoadString(StringId::kDefaultDocuments), false) ||
                      RedirectToIndex(LoadString(StringId::kDefaultPrograms), true)))
        return StageResult::kAnswered;
    return StageResult::kGoOn;
}

namespace {

bool AtOrBelow(std::string_view path, std::string_view folder) {
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string RealPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string result(resolved);
    free(resolved);
    return result;
}

} // namespace

bool CRequestContext::BelowSettingsFolder(const std::string& path) const {
    // The settings folder holds TVN.cfg and the TLS keys: when the shared folder holds it,
    // nothing at or below it is served, reached by its own name or through a link.
    if (!doc.ShareHoldsSettings())
        return false;
    const std::string& folder = doc.SettingsFolderPath();
    return AtOrBelow(path, folder) || AtOrBelow(RealPath(path), folder);
}

bool CHttpSvrDoc::ShareHoldsSettings() const {
    if (shareHoldsSettingsFor != Root() || shareHoldsSettingsFor.empty()) {
        shareHoldsSettingsFor = Root();
        const std::string share = RealPath(Root());
        shareHoldsSettings =
            !settingsFolder.empty() && (share == "/" || AtOrBelow(settingsFolder, share));
    }
    return shareHoldsSettings;
}

std::string_view CRequestContext::PathBelowRoot(std::string_view path) const {
    const std::string& root = doc.Root();
    const std::string_view base = root == "/" ? std::string_view() : std::string_view(root);
    if (!path.starts_with(base) || (path.size() > base.size() && path[base.size()] != '/'))
        return {}; // a link's target outside the shared tree: the owner put it there
    return path.substr(base.size());
}

bool CRequestContext::MapToLocalPath(std::string& path, int* attributes) const {
    const std::string& root = doc.Root();
    std::string joined;
    joined.reserve(root.size() + path.size());
    joined.append(root).append(path);
    std::string canonical = CanonicalizeOwnedPath(std::move(joined));
    if (canonical.empty())
        return false;
    // The root "/" (the whole file system) already ends in its separator: compare without it.
    const std::string_view base = root == "/" ? std::string_view() : std::string_view(root);
    if (!canonical.starts_with(base) ||
        (canonical.size() > base.size() && canonical[base.size()] != '/'))
        return false;
    // The root is a folder: a link among its own components changes nothing we look up.
    path = ResolveShortcuts(std::move(canonical), base.size(), attributes);
    return true;
}

bool CRequestContext::RedirectToIndex(std::string_view list, bool addQuestion) {
    return AnyLine(list, [&](std::string_view name) {
        std::string candidate = request.localPath;
        AddTrailingSlash(candidate);
        candidate.append(name);
        const int attributes = GetFileAttributes(candidate);
        if (attributes == kInvalidAttributes || (attributes & kAttributeDirectory))
            return false;
        std::string location = request.urlPath;
        AddTrailingSlash(location);
        location.append(name);
        location = EncodeForLocation(location);
        if (addQuestion)
            location.push_back('?'); // a program's empty query
        answer.Start(HttpStatus::kRedirection);
        answer.AddHeader("Location", location);
        return true;
    });
}

bool CRequestContext::IsPageFile() const {
    const std::string& path = request.localPath;
    const auto dot = path.rfind('.');
    if (dot == std::string::npos)
        return false;
    return NameInList(std::string_view(path).substr(dot + 1), kPageExtensions);
}

bool CRequestContext::IsIndexName() const {
    const std::string& path = request.localPath;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return false;
    return NameInList(std::string_view(path).substr(slash + 1),
                      LoadString(StringId::kDefaultDocuments));
}

StageResult CRequestContext::RefuseHidden() {
    if (!(request.attributes & kAttributeHidden))
        return StageResult::kGoOn;
    answer.Start(HttpStatus::kOk);
    answer.AppendBody(kHiddenRefusal);
    return StageResult::kAnswered;
}

StageResult CRequestContext::OpenTarget() {
    if (request.attributes & kAttributeDirectory)
        return StageResult::kGoOn;
    if (!OpenTargetFile()) {
        answer.StartError(HttpStatus::kServiceUnavailable);
        return StageResult::kAnswered;
    }
    if (!IsPageFile()) {
        const std::string& since = request.Header("if-modified-since");
        if (!since.empty()) {
            const auto when = ParseHttpDate(since);
            if (when && !FileNewerThan(*when)) {
                answer.Start(HttpStatus::kNotModified);
                return StageResult::kAnswered;
            }
        }
    }
    answer.Start(HttpStatus::kOk);
    AddContentType();
    return StageResult::kGoOn;
}

bool CRequestContext::OpenTargetFile() {
    // Opened without waiting: a named pipe in the shared folder must never block the server.
    UniqueFd fd(::open(request.localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    target.fd = std::move(fd);
    target.size = st.st_size;
    target.offset = 0;
    target.lastWrite = st.st_mtim.tv_sec;
    return true;
}

bool CRequestContext::FileNewerThan(std::time_t when) const {
    if (!target.lastWrite)
        return true;
    return *target.lastWrite > when;
}

std::string CRequestContext::LocalFolder() const {
    std::string folder;
    LocalFolderInto(folder);
    return folder;
}

void CRequestContext::LocalFolderInto(std::string& folder) const {
    const std::string& path = request.localPath;
    if (request.attributes != kInvalidAttributes && (request.attributes & kAttributeDirectory)) {
        folder.assign(path);
        if (!path.empty() && path.back() != '/')
            folder.push_back('/');
        return;
    }
    const auto slash = path.rfind('/');
    folder.assign(std::string_view(path).substr(0, slash == std::string::npos ? 0 : slash + 1));
}

std::optional<std::string> LoadWholeFile(const std::string& path, std::size_t limit) {
    // Read, not mapped: a file that shrinks while it is read must not end the process.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > limit)
        return std::nullopt;
    return ReadFromStart(fd.Get(), static_cast<std::size_t>(st.st_size));
}

StageResult CRequestContext::ListFolder() {
    if (target.IsOpen())
        return StageResult::kGoOn;
    if (IContentStages* stages = doc.ContentStages())
        return stages->SendFolderListing(*this);
    answer.StartError(HttpStatus::kNotFound);
    return StageResult::kAnswered;
}

StageResult CRequestContext::RunPageHandlers() {
    IContentStages* stages = doc.ContentStages();
    return stages ? stages->HandleFile(*this) : StageResult::kGoOn;
}

StageResult CRequestContext::FramePage() {
    // Both a framed page and the file itself carry the file's time.
    if (target.lastWrite)
        answer.AddHeader("Last-Modified", FormatHttpDate(*target.lastWrite));
    IContentStages* stages = doc.ContentStages();
    if (stages && IsPageFile())
        return stages->WrapPage(*this);
    return StageResult::kGoOn;
}

StageResult CRequestContext::SendFile() {
    if (AnswerRange() == StageResult::kAnswered)
        return StageResult::kAnswered;
    answer.AddHeaderNumber("Content-Length", static_cast<long long>(target.size - target.offset));
    answer.SetFile(std::move(target));
    return StageResult::kAnswered;
}

StageResult CRequestContext::AnswerRange() {
    const std::string& asked = request.Header("range");
    // Only the plain 200 answer of a file is cut: a stage that wrote another status keeps
    // its whole answer.
    if (asked.empty() || answer.Status() != HttpStatus::kOk)
        return StageResult::kGoOn;
    const ByteRange range =
        IfRangeHolds() ? ParseByteRange(asked, target.size) : ByteRange{ByteRange::Kind::kWhole};
    char value[64];
    switch (range.kind) {
    case ByteRange::Kind::kWhole:
        answer.AddHeader("Accept-Ranges", "bytes");
        return StageResult::kGoOn;
    case ByteRange::Kind::kUnsatisfiable: {
        const int length =
            std::snprintf(value, sizeof value, "bytes */%lld", static_cast<long long>(target.size));
        target.Close();
        answer.Start(HttpStatus::kRangeNotSatisfiable);
        answer.AddHeader("Accept-Ranges", "bytes");
        answer.AddHeader("Content-Range",
                         std::string_view(value, static_cast<std::size_t>(length)));
        answer.AppendBody(LoadString(HttpStatus::kRangeNotSatisfiable));
        return StageResult::kAnswered;
    }
    case ByteRange::Kind::kPart: {
        const int length = std::snprintf(
            value, sizeof value, "bytes %lld-%lld/%lld", static_cast<long long>(range.first),
            static_cast<long long>(range.last), static_cast<long long>(target.size));
        answer.SetStatus(HttpStatus::kPartialContent);
        answer.AddHeader("Accept-Ranges", "bytes");
        answer.AddHeader("Content-Range",
                         std::string_view(value, static_cast<std::size_t>(length)));
        target.offset = range.first;
        target.size = range.last + 1;
        return StageResult::kGoOn;
    }
    }
    return StageResult::kGoOn;
}

bool CRequestContext::IfRangeHolds() const {
    const std::string& condition = request.Header("if-range");
    if (condition.empty())
        return true;
    // We send no entity tags, so a tag never matches; a date must be the file's own to the
    // second, as Last-Modified gave it.
    const auto when = ParseHttpDate(condition);
    return when && target.lastWrite && *when == *target.lastWrite;
}

} // namespace tvn
