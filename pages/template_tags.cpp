#include "pages/template_tags.h"

#include "http/url_path.h"
#include "platform/text.h"

#include <cctype>

namespace tvn {
namespace {

std::string Spelled(std::string_view tag, bool upper) {
    std::string out(tag);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        c = static_cast<char>(upper ? std::toupper(u) : std::tolower(u));
    }
    return out;
}

std::string Closing(std::string_view opening) {
    std::string out(opening);
    if (!out.empty())
        out.insert(1, "/");
    return out;
}

// The position of `tag`, first in lowercase, else in uppercase spelling.
std::size_t FindEitherCase(std::string_view text, std::string_view tag, std::size_t from) {
    const std::string lower = Spelled(tag, false);
    const auto at = text.find(lower, from);
    if (at != std::string_view::npos)
        return at;
    return text.find(Spelled(tag, true), from);
}

} // namespace

TagPair FindTagPair(std::string_view text, std::string_view tag, std::size_t from) {
    TagPair pair;
    const auto open = FindEitherCase(text, tag, from);
    if (open == std::string_view::npos)
        return pair;
    const std::string closing = Closing(tag);
    // The closing tag is looked for from the same start as the opening one; one that
    // stands before the opening tag makes no pair (it would give a section of negative
    // length).
    const auto close = FindEitherCase(text, closing, from);
    if (close == std::string_view::npos || close < open + tag.size())
        return pair;
    pair.open = open;
    pair.openLength = tag.size();
    pair.close = close;
    pair.closeLength = closing.size();
    return pair;
}

std::string_view ExtractSection(std::string_view text, std::string_view tag, bool withTags) {
    const TagPair pair = FindTagPair(text, tag);
    if (!pair.Found())
        return text;
    if (withTags)
        return text.substr(pair.open, pair.End() - pair.open);
    return text.substr(pair.InnerBegin(), pair.close - pair.InnerBegin());
}

bool ReplaceFirstPair(std::string& text, std::string_view tag, std::string_view value) {
    const TagPair pair = FindTagPair(text, tag);
    if (!pair.Found())
        return false;
    text.replace(pair.open, pair.End() - pair.open, value);
    return true;
}

void ReplaceAllPairs(std::string& text, std::string_view tag, std::string_view value) {
    std::size_t from = 0;
    for (;;) {
        const TagPair pair = FindTagPair(text, tag, from);
        if (!pair.Found())
            return;
        text.replace(pair.open, pair.End() - pair.open, value);
        from = pair.open + value.size();
    }
}

void AppendEncodedLink(std::string& out, std::string_view text) {
    // Names are decoded text: '%', '?' and '#' in "100% done.txt" or "what?.txt" must reach
    // the server as part of the name, not as an escape, a query or a fragment.
    AppendPercentEncoded(out, text, [](unsigned char u) {
        return u <= 0x20 || u >= 0x80 || u == '"' || u == '<' || u == '>' || u == '\'' ||
               u == '%' || u == '?' || u == '#';
    });
}

std::string EncodeLink(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    AppendEncodedLink(out, text);
    return out;
}

void AppendHtmlEscaped(std::string& out, std::string_view text) { AppendMarkupEscaped(out, text); }

} // namespace tvn
