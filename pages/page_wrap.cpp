#include "pages/page_wrap.h"

#include "config/settings_section.h"
#include "http/request_context.h"
#include "pages/folder_listing.h"
#include "pages/template_tags.h"
#include "platform/file_io.h"
#include "platform/local_networks.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

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

// Only the site's owner may give the map key: a visitor on this machine's own networks (never
// one handed on by the relay, whatever address it reports) or one who passed the folder's
// password list. The key stored goes into every map page, for everybody.
bool MayStoreMapKey(const CRequestContext& context) {
    if (!context.Relayed() && IsLocalNetworkAddress(context.request.peerAddress))
        return true;
    return context.PassedFolderPassword();
}

// The map key as it goes into this request's page; nothing when the page must ask for it
// instead. A key given in the query is kept for next time when it looks like a key and the
// visitor may give it (else the form comes back, and nothing is stored).
std::optional<std::string> MapKeyForPage(CRequestContext& context, CPageSettings& pages) {
    if (pages.GoogleApiKey().empty()) {
        const std::string& given = context.request.Param("maps_api_key");
        if (!LooksLikeMapKey(given) || !MayStoreMapKey(context))
            return std::nullopt;
        pages.SetGoogleApiKey(given);
        SettingsSection().Store(setting::kGoogleApiKey, given);
    }
    return EscapedMapKey(pages.GoogleApiKey());
}

std::string MapKeyForm() {
    const auto form = FindResource("CONTENT", ".GOOGLE");
    return form ? std::string(*form) : std::string();
}

// Puts the map key into the page, or the form that asks for it in place of the page.
void ApplyMapKey(CRequestContext& context, CPageSettings& pages, std::string& content) {
    if (!FindTagPair(content, "<maps_api_key>").Found())
        return;
    if (const std::optional<std::string> key = MapKeyForPage(context, pages))
        ReplaceAllPairs(content, "<maps_api_key>", *key);
    else
        content = MapKeyForm();
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

// A text page with values of ours merged in (the GPS pages): the text's own bytes are
// escaped piece by piece around the pairs the values replace, while the values go in as
// they are. Where a map-key pair stood is only noted: the key is the event loop's to give.
struct MergedText {
    std::string html;
    std::vector<std::size_t> keySlots; // offsets into `html`, in ascending order
};

enum class PieceKind { kText, kValue, kMapKey };
struct TextPiece {
    PieceKind kind;
    std::string bytes;
};

// Cuts every text piece at the pairs of `tag`, each pair becoming a piece of `kind` holding
// `value`; each search starts behind the pair just replaced, as ReplaceAllPairs does.
void SplitAtPairs(std::vector<TextPiece>& pieces, std::string_view tag, PieceKind kind,
                  std::string_view value) {
    std::vector<TextPiece> out;
    out.reserve(pieces.size());
    for (TextPiece& piece : pieces) {
        if (piece.kind != PieceKind::kText) {
            out.push_back(std::move(piece));
            continue;
        }
        std::size_t from = 0;
        for (TagPair pair = FindTagPair(piece.bytes, tag); pair.Found();
             pair = FindTagPair(piece.bytes, tag, from)) {
            out.push_back({PieceKind::kText, piece.bytes.substr(from, pair.open - from)});
            out.push_back({kind, std::string(value)});
            from = pair.End();
        }
        out.push_back({PieceKind::kText, piece.bytes.substr(from)});
    }
    pieces = std::move(out);
}

MergedText MergeTextPage(std::string_view text, const WrapItems& items) {
    std::vector<TextPiece> pieces;
    auto addText = [&](std::string_view part) {
        pieces.push_back({PieceKind::kText, std::string(part)});
    };
    auto addFilled = [&](std::string_view part, const std::vector<std::string>& record) {
        std::vector<TextPiece> filled{{PieceKind::kText, std::string(part)}};
        for (std::size_t i = 0; i < items.valueTags.size() && i < record.size(); ++i) {
            if (items.valueTags[i])
                SplitAtPairs(filled, items.valueTags[i], PieceKind::kValue, record[i]);
        }
        std::move(filled.begin(), filled.end(), std::back_inserter(pieces));
    };
    const TagPair section = items.sectionTag ? FindTagPair(text, items.sectionTag) : TagPair{};
    if (items.valueTags.empty() || (items.sectionTag && !section.Found())) {
        addText(text);
    } else if (!items.sectionTag) {
        if (items.records.empty())
            addText(text);
        else
            addFilled(text, items.records.front());
    } else {
        addText(text.substr(0, section.open));
        const std::string_view inner =
            text.substr(section.InnerBegin(), section.close - section.InnerBegin());
        for (const auto& record : items.records)
            addFilled(inner, record);
        addText(text.substr(section.End()));
    }
    if (items.mapKey)
        SplitAtPairs(pieces, "<maps_api_key>", PieceKind::kMapKey, {});
    MergedText merged;
    for (const TextPiece& piece : pieces) {
        if (piece.kind == PieceKind::kText)
            merged.html += PlainTextToHtml(piece.bytes, true);
        else if (piece.kind == PieceKind::kValue)
            merged.html += piece.bytes;
        else
            merged.keySlots.push_back(merged.html.size());
    }
    return merged;
}

// Whether a text page takes the values of `items` (the GPS pages do; plain pages do not).
bool MergesIntoText(const WrapItems& items) { return !items.valueTags.empty() || items.mapKey; }

// The body of the page in `fd` as it goes into the frame; nothing when it cannot be read.
// A text file with `textItems` gets their values (and notes the map key's places in
// `keySlots`). Touches no request: it may run on a worker thread.
std::optional<std::string> PageContent(int fd, std::size_t size, bool textFile,
                                       const WrapItems* textItems,
                                       std::vector<std::size_t>& keySlots) {
    std::optional<std::string> fileText = ReadFromStart(fd, size);
    if (!fileText)
        return std::nullopt;
    if (textFile) {
        // A text file is text, whatever tags it holds: a saved chat log must not run script
        // in this origin, where the browser also keeps the credentials of protected folders.
        if (!textItems)
            return PlainTextToHtml(*fileText, true);
        MergedText merged = MergeTextPage(*fileText, *textItems);
        keySlots = std::move(merged.keySlots);
        return std::move(merged.html);
    }
    const std::string_view body = ExtractSection(*fileText, "<body>", true);
    if (body.size() == fileText->size() &&
        ExtractSection(*fileText, "<html>", true).size() == fileText->size())
        return PlainTextToHtml(*fileText);
    return std::string(body);
}

// Puts the map key into the places `keySlots` noted in a merged text page; false when there
// is no key to give and the form that asks for it replaced the page.
bool PutMapKeyIntoText(CRequestContext& context, CPageSettings* pages, std::string& html,
                       const std::vector<std::size_t>& keySlots) {
    if (keySlots.empty() || !pages)
        return true;
    const std::optional<std::string> key = MapKeyForPage(context, *pages);
    if (!key) {
        html = MapKeyForm();
        return false;
    }
    for (auto slot = keySlots.rbegin(); slot != keySlots.rend(); ++slot)
        html.insert(*slot, *key);
    return true;
}

void PutPage(CRequestContext& done, std::string& text) {
    done.answer.AddHeaderNumber("Content-Length", static_cast<long long>(text.size()));
    done.answer.SetBody(std::move(text));
}

// Puts `content` into `frame` with the records of `items` and the folder's entries, and
// writes the page (or waits for the folder's thumbnails first).
StageResult FramePageContent(CRequestContext& context, const std::string& frame,
                             std::string content, const WrapItems& items, bool escapedText) {
    if (frame.empty()) {
        PutPage(context, content);
        return StageResult::kAnswered;
    }
    MergeRecords(content, items);
    if (items.mapKey)
        ApplyMapKey(context, *items.mapKey, content);
    std::string page = frame;
    if (escapedText) {
        // Escaped text holds no tag, so the folder's sections can only be in the frame: they
        // are filled there, and the text (which can be megabytes) goes in once, afterwards,
        // instead of being searched and copied for every section.
        return FillListingSectionsThen(
            context, std::move(page), false,
            [content = std::move(content)](CRequestContext& done, std::string& filled) {
                ReplaceFirstPair(filled, "<tvnbody>", content);
                PutPage(done, filled);
            });
    }
    ReplaceFirstPair(page, "<tvnbody>", content);
    return FillListingSectionsThen(context, std::move(page), false, PutPage);
}

} // namespace

StageResult WrapPage(CRequestContext& context, const WrapItems& items) {
    std::optional<std::string> frame = LookUpTemplate(context, ".file");
    const COpenFile& file = context.target;
    if (!frame || !file.IsOpen() || file.size <= 0 || file.size > CRequestContext::kMaxFramedPage)
        return StageResult::kGoOn; // an empty or a huge page goes out as it is
    struct Job {
        UniqueFd fd; // a descriptor of its own: the request's may close while the work runs
        std::size_t size = 0;
        bool text = false;
        // A text page that takes values: they are merged as it is read (a page without a
        // frame goes out as it is, values and all unmerged, as any page does).
        std::optional<WrapItems> textItems;
        std::optional<std::string> content;
        std::vector<std::size_t> keySlots;
    };
    auto job = std::make_shared<Job>();
    job->fd.Reset(::fcntl(file.fd.Get(), F_DUPFD_CLOEXEC, 0));
    job->size = static_cast<std::size_t>(file.size);
    job->text = EndsWithNoCase(context.request.localPath, ".txt");
    if (job->text && !frame->empty() && MergesIntoText(items))
        job->textItems = items;
    auto read = [job] {
        job->content = PageContent(job->fd.Get(), job->size, job->text,
                                   job->textItems ? &*job->textItems : nullptr, job->keySlots);
    };
    auto frameIt = [job, frame = std::move(*frame), items](CRequestContext& done) {
        if (!job->content) {
            done.answer.StartError(HttpStatus::kServiceUnavailable); // it could not be read
            return StageResult::kAnswered;
        }
        if (job->textItems) {
            // Merged already; only the map key is still to come.
            const bool stillText =
                PutMapKeyIntoText(done, job->textItems->mapKey, *job->content, job->keySlots);
            return FramePageContent(done, frame, std::move(*job->content), WrapItems{}, stillText);
        }
        return FramePageContent(done, frame, std::move(*job->content), items, job->text);
    };
    // A large page is read and converted off the event loop, so that nobody waits for it.
    if (file.size > kConvertAside && job->fd.Valid())
        return context.Park(std::move(read), std::move(frameIt));
    read();
    return frameIt(context);
}

} // namespace tvn
