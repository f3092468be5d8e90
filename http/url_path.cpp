#include "http/url_path.h"

#include "platform/text.h"

#include <vector>

namespace tvn {
namespace {

constexpr bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// True when CanonicalizePath would give `in` back as it is: only '/' separators, none
// doubled, and no piece that is "." or "..". Almost every URL is so.
bool AlreadyCanonical(std::string_view in) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '\\')
            return false;
        if (i > 0 && in[i - 1] != '/')
            continue; // not the start of a piece
        if (c == '/' && i > 0)
            return false;
        if (c == '.') {
            const std::size_t after = i + 1 < in.size() && in[i + 1] == '.' ? i + 2 : i + 1;
            if (after == in.size() || in[after] == '/')
                return false;
        }
    }
    return true;
}

} // namespace

std::string CanonicalizeOwnedPath(std::string&& in) {
    if (AlreadyCanonical(in))
        return std::move(in);
    return CanonicalizePath(std::string_view(in));
}

std::string CanonicalizePath(std::string_view in) {
    if (AlreadyCanonical(in))
        return std::string(in);
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
    out.reserve(in.size() + 1);
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

bool BelowDotFolder(std::string_view path) {
    std::size_t pos = 0;
    for (;;) {
        while (pos < path.size() && path[pos] == '/')
            ++pos;
        const auto slash = path.find('/', pos);
        if (slash == std::string_view::npos)
            return false; // the last component: its own attribute decides
        const std::string_view piece = path.substr(pos, slash - pos);
        const bool place = piece == "." || piece == "..";
        if (!piece.empty() && piece.front() == '.' && !place && !EqualsNoCase(piece, ".pict"))
            return true;
        pos = slash + 1;
    }
}

void AppendPercentEncoded(std::string& out, std::string_view text, bool (*escape)(unsigned char)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (escape(u)) {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0xF]);
        } else {
            out.push_back(c);
        }
    }
}

std::string EncodeForLocation(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // '%', '?' and '#' come from the decoded URL: sent as they are, a folder named "100%"
    // or "what?" would be asked for under another name.
    AppendPercentEncoded(out, text, [](unsigned char u) {
        return u <= 0x20 || u >= 0x80 || u == '%' || u == '?' || u == '#';
    });
    return out;
}

void AppendLogSafe(std::string& line, std::string_view text) {
    AppendPercentEncoded(line, text,
                         [](unsigned char u) { return u <= 0x20 || u == 0x7F || u == '%'; });
}

} // namespace tvn
