#pragma once

// Small text helpers, written once: the stand-ins for the platform's case-insensitive
// compare and lower-casing, which compare and convert ASCII letters only (texts are bytes).
#include <cstddef>
#include <string>
#include <string_view>

namespace tvn {

constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline void ToLowerInPlace(std::string& text) {
    for (char& c : text)
        c = LowerAscii(c);
}

inline std::string ToLower(std::string_view text) {
    std::string out(text);
    ToLowerInPlace(out);
    return out;
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// Calls `visit(line)` for every LF-separated line of `list` (a last line without LF too);
// stops early when `visit` returns true, and then returns true.
template <class Visit> constexpr bool AnyLine(std::string_view list, Visit visit) {
    std::size_t pos = 0;
    while (pos < list.size()) {
        const auto lf = list.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? list.size() : lf;
        if (visit(list.substr(pos, end - pos)))
            return true;
        pos = end + 1;
    }
    return false;
}

// True when `name` equals one of the LF-separated names of `list` (without regard to case).
constexpr bool NameInList(std::string_view name, std::string_view list) {
    return AnyLine(list, [name](std::string_view item) { return EqualsNoCase(item, name); });
}

// Appends '/' unless `path` already ends in one (an empty path becomes "/").
inline void AddTrailingSlash(std::string& path) {
    if (path.empty() || path.back() != '/')
        path.push_back('/');
}

// `text` without blanks (spaces, tabs) at its start and blanks or CR at its end.
constexpr std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Appends `text` with the characters that end markup text or an attribute value written
// as character references: & < > " always, and ' as `apostrophe` when one is given (an HTML
// attribute in single quotes, or XML). Everything else, bytes above 127 included, as it is.
inline void AppendMarkupEscaped(std::string& out, std::string_view text,
                                const char* apostrophe = nullptr) {
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            if (apostrophe != nullptr) {
                out += apostrophe;
                break;
            }
            [[fallthrough]];
        default:
            out.push_back(c);
        }
    }
}

} // namespace tvn
