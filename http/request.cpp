#include "http/request.h"

#include "platform/text.h"

#include <algorithm>
#include <cctype>

namespace tvn {
namespace {

const std::string kEmpty;

unsigned HexValue(char c) {
    // Not a strict hex check: the decoder takes any two characters, as browsers never send
    // anything else after a '%'.
    const auto u = static_cast<unsigned char>(c);
    return u < 'A' ? u - '0' : (u & ~0x20u) - 55;
}

} // namespace

std::size_t CHeaderList::Position(std::string_view name) const {
    if (index.empty()) {
        const auto it = std::find_if(entries.begin(), entries.end(), [name](const Entry& entry) {
            return EqualsNoCase(entry.first, name);
        });
        return static_cast<std::size_t>(it - entries.begin());
    }
    const auto it = index.find(ToLower(name));
    return it == index.end() ? entries.size() : it->second;
}

std::string& CHeaderList::operator[](std::string_view name) {
    const std::size_t at = Position(name);
    if (at < entries.size())
        return entries[at].second;
    if (entries.capacity() == 0)
        entries.reserve(16); // more than most browsers send
    Entry& added = entries.emplace_back(name, std::string());
    ToLowerInPlace(added.first);
    if (!index.empty()) {
        index.emplace(added.first, entries.size() - 1);
    } else if (entries.size() > kScanned) {
        for (std::size_t i = 0; i < entries.size(); ++i)
            index.emplace(entries[i].first, i);
    }
    return entries.back().second;
}

CHeaderList::const_iterator CHeaderList::find(std::string_view name) const {
    return entries.begin() + static_cast<std::ptrdiff_t>(Position(name));
}

const std::string& CRequest::Header(std::string_view name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? kEmpty : it->second;
}

const std::string& CRequest::Param(const std::string& name) const {
    const auto it = params.find(name);
    return it == params.end() ? kEmpty : it->second;
}

std::optional<std::string> DecodeUrl(std::string_view text, bool plusToSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 1 < text.size() && text[i + 1] == '%') {
                out.push_back('%');
                ++i;
                continue;
            }
            if (i + 2 >= text.size())
                return std::nullopt;
            const auto byte = static_cast<unsigned char>(
                (HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])) & 0xFF);
            if (byte == 0)
                return std::nullopt;
            out.push_back(static_cast<char>(byte));
            i += 2;
        } else if (c == '+' && plusToSpace) {
            out.push_back(' ');
        } else if (c == '\0') {
            return std::nullopt; // sent as it is, a NUL byte is refused as well as "%00"
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool ParseQueryString(std::string_view query, std::map<std::string, std::string>& params) {
    std::size_t pos = 0;
    for (;;) {
        const auto eq = query.find('=', pos);
        if (eq == std::string_view::npos)
            return true;
        const auto amp = query.find('&', eq + 1);
        const std::size_t end = amp == std::string_view::npos ? query.size() : amp;
        auto value = DecodeUrl(query.substr(eq + 1, end - eq - 1), true);
        if (!value)
            return false;
        params[std::string(query.substr(pos, eq - pos))] = std::move(*value);
        if (amp == std::string_view::npos || amp + 1 >= query.size())
            return true;
        pos = amp + 1;
    }
}

} // namespace tvn
