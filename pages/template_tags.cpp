#include "pages/template_tags.h"

#include "http/url_path.h"
#include "platform/text.h"

#include <cctype>
#include <cstdio>
#include <ctime>

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

void AppendReadableSize(std::string& out, long long bytes) {
    if (bytes < 0)
        return;
    if (bytes < 1024) {
        out += std::to_string(bytes);
        out += " B";
        return;
    }
    // Integer arithmetic only: the program runs under the user's locale, where printf would
    // write "1,5" in some countries and "1.5" in others.
    static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    const auto value = static_cast<unsigned long long>(bytes);
    unsigned long long unit = 1024;
    std::size_t index = 0;
    while (index + 1 < std::size(kUnits) && (value + unit / 2) / unit >= 1024) {
        unit *= 1024;
        ++index;
    }
    const unsigned long long tenths = value / unit * 10 + (value % unit * 10 + unit / 2) / unit;
    if (tenths < 100) {
        out += std::to_string(tenths / 10);
        out += '.';
        out += static_cast<char>('0' + tenths % 10);
    } else {
        out += std::to_string((value + unit / 2) / unit);
    }
    out += ' ';
    out += kUnits[index];
}

void AppendListingDate(std::string& out, long long seconds) {
    if (seconds < 0)
        return;
    const auto time = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!::localtime_r(&time, &local))
        return;
    char text[32];
    const int length =
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof text)
        out.append(text, static_cast<std::size_t>(length));
}

} // namespace tvn
