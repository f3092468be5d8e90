// The GET path: built-in files and thumbnails, mapping the URL to a local target, folder
// redirects and default documents, the access log line, and the answer for the target.
#include "http/content_stages.h"
#include "http/http_date.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "platform/file_attributes.h"
#include "platform/memory_mapped_file.h"
#include "platform/resources.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The access log line carries the decoded URL; spaces, '%' and control bytes are written as
// %XX so that a request can forge neither lines of its own nor the address field behind it.
void AppendLogSafe(std::string& line, std::string_view text) {
    AppendPercentEncoded(line, text,
                         [](unsigned char u) { return u <= 0x20 || u == 0x7F || u == '%'; });
}

// True when a folder component of `path` (every '/'-separated piece but the last) begins
// with '.': such folders are hidden, and so is everything below them. The page-picture
// folder ".pict", which pages and templates take their images from, is the one exception.
bool BelowDotFolder(std::string_view path) {
    std::size_t pos = 0;
    for (;;) {
        while (pos < path.size() && path[pos] == '/')
            ++pos;
        const auto slash = path.find('/', pos);
        if (slash == std::string_view::npos)
            return false; // the last component: its own attribute decides
        const std::string_view piece = path.substr(pos, slash - pos);
        // "." and ".." (left in a link's relative target) are places, not folder names.
        const bool place = piece == "." || piece == "..";
        if (!piece.empty() && piece.front() == '.' && !place &&
            !(piece.size() == 5 && ::strncasecmp(piece.data(), ".pict", 5) == 0))
            return true;
        pos = slash + 1;
    }
}

} // namespace

CRequestContext::CRequestContext(CHttpSvrDoc& owner, std::string peer)
    : doc(owner), peerAddressPort(std::move(peer)) {
    const auto colon = peerAddressPort.rfind(':');
    request.peerAddress = peerAddressPort.substr(0, colon == std::string::npos ? 0 : colon);
}

void CRequestContext::RunRequest() {
    const bool noBody = request.contentLength == 0;
    if (noBody && ::strcasecmp(request.method.c_str(), "GET") == 0) {
        HandleGet();
    } else if (noBody && ::strcasecmp(request.method.c_str(), "HEAD") == 0) {
        LocateTarget();
        // The head of an answer tells as much as the answer: a protected target asks for
        // credentials first, and nothing (a listing's thumbnails) is made for a refusal.
        if (request.status == 0 && OpenTarget() && CheckFolderPassword()) {
            if (file.IsOpen())
                PutText("\r\n");
            else if (IContentStages* stages = doc.ContentStages()) {
                stages->SendFolderListing(*this);
            }
        }
        file.Close();
        CutToHead(); // an answer to HEAD never carries a body, not even a refusal text
    } else if (!noBody && ::strcasecmp(request.method.c_str(), "POST") == 0) {
        LocateTarget();
        if (request.status == 0)
            PutErrorResponse(4501);
    } else {
        PutErrorResponse(4501);
    }
}

void CRequestContext::CutToHead() {
    const auto end = buffer.View().find("\r\n\r\n");
    if (end != std::string_view::npos)
        buffer.SetPending(end + 4);
}

void CRequestContext::HandleGet() {
    if (!TryBuiltInUrl())
        return;
    LocateTarget();
    std::string line;
    line.reserve(request.method.size() + request.url.size() + peerAddressPort.size() + 3);
    line.push_back('\n');
    AppendLogSafe(line, request.method);
    line.push_back(' ');
    AppendLogSafe(line, request.url);
    line.push_back(' ');
    line.append(peerAddressPort);
    if (doc.showActivity)
        doc.showActivity(line);
    doc.WriteAccessLog(line);
    if (request.status == 0 && OpenTarget())
        EmitContent();
}

bool CRequestContext::TryBuiltInUrl() {
    for (const BuiltIn& builtIn : kBuiltIns) {
        if (request.url == builtIn.url)
            return ServeEmbedded(builtIn.url, builtIn.contentType);
    }
    IContentStages* stages = doc.ContentStages();
    std::string jpeg;
    std::string picture;
    if (!stages || !stages->CopyThumbnail(request.url, jpeg, picture))
        return true;
    // A thumbnail shows its picture: the picture's folder decides who may see it, whatever
    // the key in the URL. Its path may be a link: both folders guard it.
    std::string linkFolder = picture.substr(0, picture.rfind('/') + 1);
    const std::string real = ResolveShortcuts(picture);
    std::string realFolder = real.substr(0, real.rfind('/') + 1);
    if (!FoldersAdmit({&linkFolder, &realFolder}))
        return false;
    PutStatus(4200);
    PutHeader("Content-Type", "image/jpeg");
    PutHeader("Last-Modified", FormatHttpDateNow());
    PutHeader("Expires", FormatHttpDateNow(86400));
    PutHeaderNumber("Content-Length", static_cast<long long>(jpeg.size()));
    PutText("\r\n");
    PutText(jpeg);
    // The CR LF behind the body is not counted by Content-Length; browsers ignore it, and
    // it has always been sent.
    PutText("\r\n");
    return false;
}

bool CRequestContext::ServeEmbedded(std::string_view name, std::string_view contentType) {
    const auto bytes = FindResource("CONTENT", name);
    if (!bytes)
        return true; // falls through to the ordinary stages
    PutStatus(4200);
    PutHeader("Content-Type", contentType);
    PutHeader("Last-Modified", FormatHttpDateNow());
    PutHeader("Expires", FormatHttpDateNow(86400));
    PutHeaderNumber("Content-Length", static_cast<long long>(bytes->size()));
    PutText("\r\n");
    PutText(*bytes);
    return false;
}

void CRequestContext::LocateTarget() {
    std::string path = request.url;
    int known = kUnknownAttributes;
    if (!MapToLocalPath(path, &known)) {
        PutErrorResponse(4400);
        return;
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
            return;
        }
        SplitTail(path);
        SplitTail(urlPath);
        while (!path.empty()) {
            request.attributes = GetFileAttributes(path);
            if (request.attributes == kInvalidAttributes) {
                SplitTail(path);
                SplitTail(urlPath);
                continue;
            }
            if (request.attributes & kAttributeDirectory) {
                PutErrorResponse(4404);
                return;
            }
            break; // a file: the rest of the URL behind it is ignored
        }
        if (path.empty()) {
            PutErrorResponse(4404);
            return;
        }
    }
    if (urlPath.empty())
        urlPath = "/";
    const bool directory = (request.attributes & kAttributeDirectory) != 0;
    if (directory && urlPath.back() != '/')
        urlPath.push_back('/');
    if (directory && path.back() != '/') {
        // From the canonical path, never from the URL as sent: "//host/.." must not become
        // a Location that a browser reads as another site.
        PutStatus(4301);
        PutHeader("Location", EncodeForLocation(urlPath));
        PutText("\r\n");
        return;
    }
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (BelowDotFolder(urlPath) || BelowDotFolder(PathBelowRoot(path)))
        request.attributes |= kAttributeHidden;
    request.localPath = std::move(path);
    if (directory && !RedirectToIndex(3001, false))
        RedirectToIndex(3002, true);
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
    std::string canonical = CanonicalizePath(root + path);
    if (canonical.empty())
        return false;
    // The root "/" (the whole file system) already ends in its separator: compare without it.
    const std::string_view base = root == "/" ? std::string_view() : std::string_view(root);
    if (!canonical.starts_with(base) ||
        (canonical.size() > base.size() && canonical[base.size()] != '/'))
        return false;
    // The root is a folder: a link among its own components changes nothing we look up.
    path = ResolveShortcuts(canonical, base.size(), attributes);
    return true;
}

std::string CanonicalizePath(std::string_view in) {
    std::vector<std::string_view> kept;
    std::size_t pos = 0;
    while (pos < in.size()) {
        while (pos < in.size() && IsSeparator(in[pos]))
            ++pos;
        std::size_t end = pos;
        while (end < in.size() && !IsSeparator(in[end]))
            ++end;
        if (end > pos) {
            const std::string_view piece = in.substr(pos, end - pos);
            if (piece == "..") {
                if (!kept.empty())
                    kept.pop_back();
            } else if (piece != ".") { // "/a/./b" is "/a/b": one name, one target
                kept.push_back(piece);
            }
        }
        pos = end;
    }
    std::string out;
    if (!in.empty() && IsSeparator(in.front()))
        out.push_back('/');
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i > 0)
            out.push_back('/');
        out.append(kept[i]);
    }
    if (!in.empty() && IsSeparator(in.back()) && !(out.size() == 1 && out[0] == '/'))
        out.push_back('/');
    return out;
}

std::string SplitTail(std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        std::string tail = std::move(path);
        path.clear();
        return tail;
    }
    std::string tail = path.substr(slash);
    path.resize(slash);
    return tail;
}

bool NameInList(std::string_view name, std::string_view list) {
    std::size_t pos = 0;
    while (pos <= list.size()) {
        const auto lf = list.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? list.size() : lf;
        const std::string_view item = list.substr(pos, end - pos);
        if (item.size() == name.size() && ::strncasecmp(item.data(), name.data(), name.size()) == 0)
            return true;
        if (lf == std::string_view::npos)
            break;
        pos = lf + 1;
    }
    return false;
}

bool CRequestContext::RedirectToIndex(int listId, bool addQuestion) {
    const std::string_view list = LoadString(listId);
    std::size_t pos = 0;
    while (pos < list.size()) {
        const auto lf = list.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? list.size() : lf;
        const std::string_view name = list.substr(pos, end - pos);
        pos = end + 1;
        std::string candidate = request.localPath;
        if (candidate.empty() || candidate.back() != '/')
            candidate.push_back('/');
        candidate.append(name);
        const int attributes = GetFileAttributes(candidate);
        if (attributes == kInvalidAttributes || (attributes & kAttributeDirectory))
            continue;
        std::string location = request.urlPath;
        if (location.empty() || location.back() != '/')
            location.push_back('/');
        location.append(name);
        location = EncodeForLocation(location);
        if (addQuestion)
            location.push_back('?'); // a program's empty query
        PutStatus(4302);
        PutHeader("Location", location);
        PutText("\r\n");
        return true;
    }
    return false;
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
    return NameInList(std::string_view(path).substr(slash + 1), LoadString(3001));
}

bool CRequestContext::OpenTarget() {
    if (request.attributes & kAttributeHidden) {
        PutStatus(4200);
        PutText("\r\n");
        PutText(kHiddenRefusal);
        return false;
    }
    if (request.attributes & kAttributeDirectory)
        return true;
    if (!OpenTargetFile()) {
        PutErrorResponse(4503);
        return false;
    }
    if (!IsPageFile()) {
        const std::string& since = request.Header("if-modified-since");
        if (!since.empty()) {
            const auto when = ParseHttpDate(since);
            if (when && !FileNewerThan(*when)) {
                PutStatus(4304);
                PutText("\r\n");
                file.Close();
                return false;
            }
        }
    }
    PutStatus(4200);
    PutContentType();
    return true;
}

bool CRequestContext::OpenTargetFile() {
    // Opened without waiting: a named pipe in the shared folder must never block the server.
    UniqueFd fd(::open(request.localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    file.fd = std::move(fd);
    file.size = st.st_size;
    file.offset = 0;
    file.lastWrite = st.st_mtim.tv_sec;
    return true;
}

bool CRequestContext::FileNewerThan(std::time_t when) const {
    if (!file.lastWrite)
        return true;
    return *file.lastWrite > when;
}

std::string CRequestContext::LocalFolder() const {
    const std::string& path = request.localPath;
    if (request.attributes != kInvalidAttributes && (request.attributes & kAttributeDirectory))
        return path.empty() || path.back() == '/' ? path : path + "/";
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::optional<std::string> CRequestContext::LoadSiblingFile(std::string_view name) const {
    return LoadWholeFile(LocalFolder() + std::string(name));
}

std::optional<std::string> LoadWholeFile(const std::string& path, std::size_t limit) {
    // Read, not mapped: a file that shrinks while it is read must not end the process.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > limit)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            ::pread(fd.Get(), text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break; // the file shrank meanwhile: what is there now
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

void CRequestContext::EmitContent() {
    if (!CheckFolderPassword()) {
        file.Close();
        return;
    }
    IContentStages* stages = doc.ContentStages();
    if (!file.IsOpen()) {
        if (stages)
            stages->SendFolderListing(*this);
        else {
            buffer.Reset();
            PutErrorResponse(4404);
        }
        return;
    }
    const bool page = IsPageFile();
    if (stages && ((page && stages->HandlePageFile(*this)) || stages->HandleScreenShot(*this))) {
        file.Close();
        return;
    }
    if (file.lastWrite)
        PutHeader("Last-Modified", FormatHttpDate(*file.lastWrite));
    if (page && stages && stages->WrapPage(*this)) {
        file.Close();
        return;
    }
    PutHeaderNumber("Content-Length", static_cast<long long>(file.size));
    PutText("\r\n");
    // A small file goes out with its head in one piece; a larger one is streamed.
    const std::size_t room = buffer.Size() - buffer.Pending();
    if (static_cast<std::size_t>(file.size) <= room) {
        // No more than Content-Length said, should the file have grown since.
        const ssize_t n = ::pread(file.fd.Get(), buffer.Data() + buffer.Pending(),
                                  static_cast<std::size_t>(file.size), 0);
        if (n > 0) {
            buffer.SetPending(buffer.Pending() + static_cast<std::size_t>(n));
            file.offset = n;
        }
        if (n <= 0 || file.offset >= file.size)
            file.Close();
    }
}

} // namespace tvn
