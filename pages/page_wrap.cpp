#include "pages/page_wrap.h"

#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "pages/folder_listing.h"
#include "pages/template_tags.h"
#include "platform/memory_mapped_file.h"
#include "platform/resources.h"
#include "shell/settings_section.h"

namespace tvn {
namespace {

void ReplaceEvery(std::string& text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

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

std::string PlainTextToHtml(std::string_view text) {
    std::string out(text);
    ReplaceEvery(out, "\r\n\r\n", "<p>");
    ReplaceEvery(out, "\r\n", "<br>");
    return out;
}

bool WrapPage(CRequestContext& context, const WrapItems& items) {
    const std::optional<std::string> frame = LookUpTemplate(context, ".file");
    if (!frame)
        return false;
    CMemoryMappedFile mapping;
    if (!context.file.IsOpen() || !mapping.Map(context.file.fd.Get()))
        return false; // an empty page goes out unchanged
    const std::string_view fileText = mapping.View();
    const std::string_view body = ExtractSection(fileText, "<body>", true);
    std::string content;
    if (body.size() == fileText.size() &&
        ExtractSection(fileText, "<html>", true).size() == fileText.size())
        content = PlainTextToHtml(fileText);
    else
        content = std::string(body);
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
