// Blog posts: a post is a page file, and each line of it is a comment. Visitors add lines,
// so the file is written by many requests at once and read by everybody.
#include "pages/blog.h"

#include "pages/page_wrap.h"
#include "pages/template_tags.h"
#include "platform/file_io.h"
#include "platform/sound_player.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvn {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kBlogFolder = "/Blog/";
// A post takes comments only while they keep it within this size: a visitor must not be
// able to fill the disk, and every reader of the post reads it whole.
constexpr off_t kMaxPostSize = off_t(4) << 20;
// Posts larger than this are read and split on a worker thread.
constexpr off_t kReadAside = 256 * 1024;
// How long a comment waits for the lock of another writer before it is given up.
constexpr std::chrono::milliseconds kLockWait = 2000ms;
constexpr std::chrono::milliseconds kLockRetry = 10ms;

enum class AppendResult { kStored, kFull, kFailed };

// The comment as one line of the post. Comments come from anybody, so their markup is
// written as text; a line end in one (CR LF, or CR or LF alone) is a "<br>", so that one
// comment stays one line and never shows as two.
std::string CommentLine(std::string_view comment) {
    std::string line;
    line.reserve(comment.size() + comment.size() / 8 + 2);
    std::size_t pos = 0;
    while (pos < comment.size()) {
        const std::size_t end = std::min(comment.find_first_of("\r\n", pos), comment.size());
        AppendHtmlEscaped(line, comment.substr(pos, end - pos));
        if (end == comment.size())
            break;
        line += "<br>";
        pos = end + (comment.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    line += "\r\n";
    return line;
}

// Takes the advisory lock on `fd`, trying for up to `wait`; false when another holder kept
// it all that time. Polls rather than blocks, so the worker thread always comes back.
bool LockWithin(int fd, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kLockRetry);
    }
    return true;
}

// True when the `size` bytes of `fd` end with a line end, so that a line appended starts a
// line of its own (the owner's editor may have left the last line open).
bool EndsWithLineEnd(int fd, off_t size) {
    char last = 0;
    return ::pread(fd, &last, 1, size - 1) == 1 && (last == '\n' || last == '\r');
}

// Appends `line` to the post at `path`. Every writer of ours takes the post's lock first:
// the size limit and the line end before the comment are decided on what the file holds,
// and the comment then goes out in one write, so comments posted at once land whole, one
// after the other. Touches no request: it runs on a worker thread.
AppendResult AppendToPost(const std::string& path, std::string_view line,
                          std::chrono::milliseconds lockWait) {
    // No creation: a post deleted meanwhile stays deleted. Never blocking at open: a FIFO
    // named like a post must not hold the worker.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd.Valid() || !LockWithin(fd.Get(), lockWait) || ::fstat(fd.Get(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return AppendResult::kFailed;
    std::string whole;
    if (st.st_size > 0 && !EndsWithLineEnd(fd.Get(), st.st_size))
        whole = "\r\n";
    whole += line;
    if (st.st_size + static_cast<off_t>(whole.size()) > kMaxPostSize)
        return AppendResult::kFull;
    ssize_t written = -1;
    do {
        written = ::write(fd.Get(), whole.data(), whole.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(whole.size()))
        return AppendResult::kStored;
    // A short write (a full disk) takes its half comment back, while the lock still holds
    // off the next one.
    if (written > 0) {
        [[maybe_unused]] const int undone = ::ftruncate(fd.Get(), st.st_size);
    }
    return AppendResult::kFailed;
}

// Appends the comment off the event loop (another program may hold the post's lock), then
// sends the browser back to the post. A comment that could not be stored is lost silently;
// only a stored one rings and becomes the last blog post.
StageResult PostComment(CRequestContext& context, const std::string& comment,
                        CPageSettings& pages) {
    struct Job {
        std::string path;
        std::string line;
        AppendResult result = AppendResult::kFailed;
    };
    auto job = std::make_shared<Job>();
    job->path = context.request.localPath;
    job->line = CommentLine(comment);
    context.target.Close(); // the answer is the redirect, never the post
    return context.Park([job] { job->result = AppendToPost(job->path, job->line, kLockWait); },
                        [job, &pages](CRequestContext& done) {
                            if (job->result == AppendResult::kStored) {
                                PlaySoundFileAsync(pages.BlogSound());
                                pages.SetLastPost(done.request.urlPath);
                            }
                            done.answer.Start(HttpStatus::kRedirection);
                            done.answer.AddHeader("Location", EncodeLink(done.request.urlPath));
                            return StageResult::kAnswered;
                        });
}

// The comments of a post: its lines, split at runs of CR and LF, empty ones skipped.
std::vector<std::vector<std::string>> SplitComments(std::string_view text) {
    std::vector<std::vector<std::string>> records;
    std::size_t pos = text.find_first_not_of("\r\n");
    while (pos != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
        records.push_back({std::string(text.substr(pos, end - pos))});
        pos = text.find_first_not_of("\r\n", end);
    }
    return records;
}

// The folder's ".blog" page, open for framing; closed when there is none, or it is empty,
// no regular file or too large to frame.
COpenFile OpenBlogPage(const std::string& path) {
    COpenFile page;
    page.fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!page.IsOpen() || ::fstat(page.fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size <= 0 || st.st_size > CRequestContext::kMaxFramedPage) {
        page.Close();
        return page;
    }
    page.size = st.st_size;
    page.lastWrite = st.st_mtime;
    return page;
}

// Shows the post's comments through the folder's ".blog" page.
StageResult ShowPost(CRequestContext& context) {
    COpenFile& post = context.target;
    if (!post.IsOpen() || post.size <= 0 || post.size > CRequestContext::kMaxFramedPage)
        return StageResult::kGoOn; // an empty post goes out as it is, a huge one as a file
    const std::string blogPath = context.LocalFolder() + ".blog";
    COpenFile blogPage = OpenBlogPage(blogPath);
    if (!blogPage.IsOpen())
        return WrapPage(context); // the post as the page it is
    struct Job {
        UniqueFd post;
        std::size_t size = 0;
        COpenFile blogPage;
        std::optional<std::vector<std::vector<std::string>>> comments;
    };
    auto job = std::make_shared<Job>();
    job->post = std::move(post.fd);
    job->size = static_cast<std::size_t>(post.size);
    job->blogPage = std::move(blogPage);
    post.Close();
    // The page framed is the ".blog" page, in the same folder: it is markup whatever the
    // post's extension, so a ".txt" post must not make it plain text.
    context.request.localPath = blogPath;
    // Read, never mapped: a post cut short meanwhile gives what is there instead of a fault.
    auto read = [job] {
        if (std::optional<std::string> text = ReadFromStart(job->post.Get(), job->size))
            job->comments = SplitComments(*text);
        job->post.Reset();
    };
    // The answer is made here whatever happens: the request's file is no longer the post.
    auto show = [job](CRequestContext& done) {
        WrapItems items;
        items.sectionTag = "<blogitem>";
        items.valueTags = {"<comment>"};
        if (job->comments)
            items.records = std::move(*job->comments);
        done.target = std::move(job->blogPage);
        const StageResult framed = job->comments ? WrapPage(done, items) : StageResult::kGoOn;
        done.target.Close(); // the frame has what it needs; the page itself is never sent
        if (framed != StageResult::kGoOn)
            return framed;
        done.answer.StartError(HttpStatus::kServiceUnavailable); // it could not be read
        return StageResult::kAnswered;
    };
    if (job->size > static_cast<std::size_t>(kReadAside))
        return context.Park(std::move(read), std::move(show));
    read();
    return show(context);
}

} // namespace

StageResult HandleBlog(CRequestContext& context, CPageSettings& pages) {
    if (!context.request.urlPath.starts_with(kBlogFolder))
        return StageResult::kGoOn;
    if (context.IsIndexName())
        return WrapPage(context);
    const std::string& comment = context.request.Param("comment");
    if (!comment.empty()) {
        return PostComment(context, comment, pages);
    }
    return ShowPost(context);
}

} // namespace tvn
