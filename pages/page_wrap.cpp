#include "pages/page_wrap.h"

#include "config/settings_section.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "pages/folder_listing.h"
#include "pages/template_tags.h"
#include "platform/file_io.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace tvn {
namespace {

void MergeRecords(std::string& content, const WrapItems& items) {
    const std::size_t count = items.valueTags.size();
    if (count == 0)
        return;
    auto fill = [&](std::string& text, const std::vector<std::string>& record) {
        for (std::size_t i = 0; i < count && i < record.size(); ++i) {
            if (items.valueTags[i])
                ReplaceAllPairs(text, items.valueTags[i], record[i]);
        }
    };
    if (!items.sectionTag) {
        if (!items.records.empty())
            fill(content, items.records.front());
        return;
    }
    const TagPair pair = FindTagPair(content, items.sectionTag);
    if (!pair.Found())
        return;
    const std::string inner = content.substr(pair.InnerBegin(), pair.close - pair.InnerBegin());
    std::string accumulated;
    for (const auto& record : items.records) {
        std::string copy = inner;
        fill(copy, record);
        accumulated += copy;
    }
    content.replace(pair.open, pair.End() - pair.open, accumulated);
}

// A map key as map services hand them out. Anything else is refused: the key is kept in the
// settings file and put into every map page, so a visitor's CR LF would write lines of its
// own into TVN.cfg and markup would be script that runs for every later visitor.
bool LooksLikeMapKey(std::string_view key) {
    constexpr std::size_t kMaxMapKey = 100;
    if (key.empty() || key.size() > kMaxMapKey)
        return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

// The key as it goes into a page: a key written into the settings by hand may hold anything.
std::string EscapedMapKey(std::string_view key) {
    std::string out;
    // Also the apostrophe: a page may put the key into a single-quoted attribute or script.
    for (std::size_t from = 0; from < key.size();) {
        const std::size_t quote = std::min(key.find('\'', from), key.size());
        AppendHtmlEscaped(out, key.substr(from, quote - from));
        if (quote < key.size())
            out += "&#39;";
        from = quote + 1;
    }
    return out;
}

// Puts the map key into the page; without a stored key the page asks for one, and a key
// given in the query is kept for next time when it looks like a key (else the form comes
// back).
void ApplyMapKey(CRequestContext& context, std::string& content) {
    if (!FindTagPair(content, "<maps_api_key>").Found())
        return;
    CHttpSvrDoc& doc = context.Doc();
    if (doc.GoogleApiKey().empty()) {
        const std::string& given = context.request.Param("maps_api_key");
        if (!LooksLikeMapKey(given)) {
            const auto form = FindResource("CONTENT", ".GOOGLE");
            content = form ? std::string(*form) : std::string();
            return;
        }
        doc.SetGoogleApiKey(given);
        SettingsSection().SetString("GoogleApiKey", given);
    }
    ReplaceAllPairs(content, "<maps_api_key>", EscapedMapKey(doc.GoogleApiKey()));
}

// Pages larger than this are read and converted on a worker thread.
constexpr off_t kConvertAside = 256 * 1024;

} // namespace

std::string PlainTextToHtml(std::string_view text, bool escapeMarkup) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    // The length of the line end at `pos` (CR LF or LF), 0 when none stands there.
    auto lineEnd = [&](std::size_t pos) -> std::size_t {
        if (pos < text.size() && text[pos] == '\n')
            return 1;
        if (pos + 1 < text.size() && text[pos] == '\r' && text[pos + 1] == '\n')
            return 2;
        return 0;
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (const std::size_t first = lineEnd(pos)) {
            if (const std::size_t second = lineEnd(pos + first)) {
                out.append("<p>");
                pos += first + second;
            } else {
                out.append("<br>");
                pos += first;
            }
            continue;
        }
        const char c = text[pos++];
        if (escapeMarkup && c == '&')
            out.append("&amp;");
        else if (escapeMarkup && c == '<')
            out.append("&lt;");
        else if (escapeMarkup && c == '>')
            out.append("&gt;");
        else
            out.push_back(c);
    }
    return out;
}

namespace {

// The body of the page in `fd` as it goes into the frame; nothing when it cannot be read.
// Touches no request: it may run on a worker thread.
std::optional<std::string> PageContent(int fd, std::size_t size, bool textFile) {
    std::optional<std::string> fileText = ReadFromStart(fd, size);
    if (!fileText)
        return std::nullopt;
    if (textFile) {
        // A text file is text, whatever tags it holds: a saved chat log must not run script
        // in this origin, where the browser also keeps the credentials of protected folders.
        return PlainTextToHtml(*fileText, true);
    }
    const std::string_view body = ExtractSection(*fileText, "<body>", true);
    if (body.size() == fileText->size() &&
        ExtractSection(*fileText, "<html>", true).size() == fileText->size())
        return PlainTextToHtml(*fileText);
    return std::string(body);
}

void PutPage(CRequestContext& done, std::string& text) {
    done.PutHeaderNumber("Content-Length", static_cast<long long>(text.size()));
    done.PutText("\r\n");
    done.PutText(text);
}

// Puts `content` into `frame` with the records of `items` and the folder's entries, and
// writes the page.
void FramePageContent(CRequestContext& context, const std::string& frame, std::string content,
                      const WrapItems& items, bool escapedText) {
    if (frame.empty()) {
        PutPage(context, content);
        return;
    }
    MergeRecords(content, items);
    if (items.mapKeyStep)
        ApplyMapKey(context, content);
    std::string page = frame;
    if (escapedText) {
        // Escaped text holds no tag, so the folder's sections can only be in the frame: they
        // are filled there, and the text (which can be megabytes) goes in once, afterwards,
        // instead of being searched and copied for every section.
        FillListingSectionsThen(
            context, std::move(page), false,
            [content = std::move(content)](CRequestContext& done, std::string& filled) {
                ReplaceFirstPair(filled, "<tvnbody>", content);
                PutPage(done, filled);
            });
        return;
    }
    ReplaceFirstPair(page, "<tvnbody>", content);
    FillListingSectionsThen(context, std::move(page), false, PutPage);
}

} // namespace

StageResult WrapPage(CRequestContext& context, const WrapItems& items) {
    std::optional<std::string> frame = LookUpTemplate(context, ".file");
    const COpenFile& file = context.file;
    if (!frame || !file.IsOpen() || file.size <= 0 || file.size > CRequestContext::kMaxFramedPage)
        return StageResult::kGoOn; // an empty or a huge page goes out as it is
    struct Job {
        UniqueFd fd; // a descriptor of its own: the request's may close while the work runs
        std::size_t size = 0;
        bool text = false;
        std::optional<std::string> content;
    };
    auto job = std::make_shared<Job>();
    job->fd.Reset(::fcntl(file.fd.Get(), F_DUPFD_CLOEXEC, 0));
    job->size = static_cast<std::size_t>(file.size);
    job->text = EndsWithNoCase(context.request.localPath, ".txt");
    auto read = [job] { job->content = PageContent(job->fd.Get(), job->size, job->text); };
    auto frameIt = [job, frame = std::move(*frame), items](CRequestContext& done) {
        if (!job->content) {
            done.buffer.Reset();
            done.PutErrorResponse(HttpStatus::kServiceUnavailable); // it could not be read
            return;
        }
        FramePageContent(done, frame, std::move(*job->content), items, job->text);
    };
    // A large page is read and converted off the event loop, so that nobody waits for it.
    if (file.size > kConvertAside && job->fd.Valid()) {
        context.Park(std::move(read), std::move(frameIt));
    } else {
        read();
        frameIt(context);
    }
    return StageResult::kAnswered;
}

} // namespace tvn
