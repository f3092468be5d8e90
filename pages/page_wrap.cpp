#include "pages/page_wrap.h"

#include "config/settings_section.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "pages/folder_listing.h"
#include "pages/template_tags.h"
#include "platform/memory_mapped_file.h"
#include "platform/resources.h"

#include <strings.h>

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

bool IsTextFile(std::string_view path) {
    return path.size() >= 4 && ::strncasecmp(path.data() + path.size() - 4, ".txt", 4) == 0;
}

} // namespace

bool WrapPage(CRequestContext& context, const WrapItems& items) {
    const std::optional<std::string> frame = LookUpTemplate(context, ".file");
    if (!frame)
        return false;
    CMemoryMappedFile mapping;
    if (!context.file.IsOpen() || !mapping.Map(context.file.fd.Get()))
        return false; // an empty page goes out unchanged
    const std::string_view fileText = mapping.View();
    std::string content;
    if (IsTextFile(context.request.localPath)) {
        // A text file is text, whatever tags it holds: a saved chat log must not run script
        // in this origin, where the browser also keeps the credentials of protected folders.
        content = PlainTextToHtml(fileText, true);
    } else {
        const std::string_view body = ExtractSection(fileText, "<body>", true);
        if (body.size() == fileText.size() &&
            ExtractSection(fileText, "<html>", true).size() == fileText.size())
            content = PlainTextToHtml(fileText);
        else
            content = std::string(body);
    }
    mapping.Close();
    if (frame->empty()) {
        context.PutHeaderNumber("Content-Length", static_cast<long long>(content.size()));
        context.PutText("\r\n");
        context.PutText(content);
        return true;
    }
    MergeRecords(content, items);
    if (items.mapKeyStep)
        ApplyMapKey(context, content);
    std::string page = *frame;
    ReplaceFirstPair(page, "<tvnbody>", content);
    FillListingSections(context, page, false);
    context.PutHeaderNumber("Content-Length", static_cast<long long>(page.size()));
    context.PutText("\r\n");
    context.PutText(page);
    return true;
}

} // namespace tvn
