#include "pages/page_wrap.h"

#include "config/settings_section.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "pages/folder_listing.h"
#include "pages/template_tags.h"
#include "platform/file_io.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <cerrno>
#include <cstdint>
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

// Puts the map key into the page; without a stored key the page asks for one, and a key
// given in the query is kept for next time.
void ApplyMapKey(CRequestContext& context, std::string& content) {
    if (!FindTagPair(content, "<maps_api_key>").Found())
        return;
    CHttpSvrDoc& doc = context.Doc();
    if (doc.GoogleApiKey().empty()) {
        const std::string& given = context.request.Param("maps_api_key");
        if (given.empty()) {
            const auto form = FindResource("CONTENT", ".GOOGLE");
            content = form ? std::string(*form) : std::string();
            return;
        }
        doc.SetGoogleApiKey(given);
        SettingsSection().SetString("GoogleApiKey", given);
    }
    ReplaceAllPairs(content, "<maps_api_key>", doc.GoogleApiKey());
}

// The bytes of the open page, read (never mapped: a page saved by an editor while it is read
// must not end the process) up to `limit`; nothing when it is larger or cannot be read.
std::optional<std::string> ReadOpenFile(const COpenFile& file, std::size_t limit) {
    if (file.size < 0 || static_cast<std::uint64_t>(file.size) > limit)
        return std::nullopt;
    return ReadFromStart(file.fd.Get(), static_cast<std::size_t>(file.size));
}

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

StageResult WrapPage(CRequestContext& context, const WrapItems& items) {
    const std::optional<std::string> frame = LookUpTemplate(context, ".file");
    if (!frame || !context.file.IsOpen())
        return StageResult::kGoOn;
    std::optional<std::string> fileText =
        ReadOpenFile(context.file, CRequestContext::kMaxFramedPage);
    if (!fileText || fileText->empty())
        return StageResult::kGoOn; // an empty page goes out unchanged
    std::string content;
    if (EndsWithNoCase(context.request.localPath, ".txt")) {
        // A text file is text, whatever tags it holds: a saved chat log must not run script
        // in this origin, where the browser also keeps the credentials of protected folders.
        content = PlainTextToHtml(*fileText, true);
    } else {
        const std::string_view body = ExtractSection(*fileText, "<body>", true);
        if (body.size() == fileText->size() &&
            ExtractSection(*fileText, "<html>", true).size() == fileText->size())
            content = PlainTextToHtml(*fileText);
        else
            content = std::string(body);
    }
    fileText.reset();
    auto putPage = [](CRequestContext& done, std::string& text) {
        done.PutHeaderNumber("Content-Length", static_cast<long long>(text.size()));
        done.PutText("\r\n");
        done.PutText(text);
    };
    if (frame->empty()) {
        putPage(context, content);
        return StageResult::kAnswered;
    }
    MergeRecords(content, items);
    if (items.mapKeyStep)
        ApplyMapKey(context, content);
    std::string page = *frame;
    ReplaceFirstPair(page, "<tvnbody>", content);
    FillListingSectionsThen(context, std::move(page), false, putPage);
    return StageResult::kAnswered;
}

} // namespace tvn
