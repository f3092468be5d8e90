#include "platform/resources.h"

#include "platform/resource_table.h"
#include "platform/text.h"

#include <cctype>
#include <unordered_map>

namespace tvn {
namespace {

std::string NormalizeName(std::string_view type, std::string_view name) {
    std::string key;
    key.reserve(type.size() + name.size() + 1);
    for (char c : type)
        key.push_back(LowerAscii(c));
    key.push_back('/');
    std::size_t start = 0;
    while (start < name.size() && (name[start] == '/' || name[start] == '\\'))
        ++start;
    for (char c : name.substr(start))
        key.push_back(c == '\\' ? '/' : LowerAscii(c));
    return key;
}

const std::unordered_map<std::string, std::string_view>& Index() {
    static const auto index = [] {
        std::unordered_map<std::string, std::string_view> map;
        for (std::size_t i = 0; i < detail::kEmbeddedResourceCount; ++i) {
            const auto& r = detail::kEmbeddedResources[i];
            std::string_view path(r.path);
            const auto slash = path.find('/');
            if (slash == std::string_view::npos)
                continue;
            map.emplace(NormalizeName(path.substr(0, slash), path.substr(slash + 1)),
                        std::string_view(r.begin, static_cast<std::size_t>(r.end - r.begin)));
        }
        return map;
    }();
    return index;
}

std::string Unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            out.push_back(next == 'n' ? '\n' : next == 't' ? '\t' : next);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::unordered_map<int, std::string> ParseStringTable() {
    std::unordered_map<int, std::string> table;
    for (std::size_t i = 0; i < detail::kEmbeddedResourceCount; ++i) {
        const auto& r = detail::kEmbeddedResources[i];
        if (std::string_view(r.path) != "strings.txt")
            continue;
        std::string_view text(r.begin, static_cast<std::size_t>(r.end - r.begin));
        while (!text.empty()) {
            const auto eol = text.find('\n');
            std::string_view line = text.substr(0, eol);
            text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
            const auto tab = line.find('\t');
            if (line.empty() || line[0] == '#' || tab == std::string_view::npos)
                continue;
            table[std::atoi(std::string(line.substr(0, tab)).c_str())] =
                Unescape(line.substr(tab + 1));
        }
    }
    return table;
}

} // namespace

std::optional<std::string_view> FindResource(std::string_view type, std::string_view name) {
    const auto& index = Index();
    const auto it = index.find(NormalizeName(type, name));
    if (it == index.end())
        return std::nullopt;
    return it->second;
}

std::vector<std::string> ListResources(std::string_view type) {
    std::vector<std::string> names;
    const std::string prefix = std::string(type) + "/";
    for (std::size_t i = 0; i < detail::kEmbeddedResourceCount; ++i) {
        std::string_view path(detail::kEmbeddedResources[i].path);
        if (path.starts_with(prefix))
            names.emplace_back(path.substr(prefix.size()));
    }
    return names;
}

const std::string& LoadString(int id) {
    static const auto table = ParseStringTable();
    static const std::string empty;
    const auto it = table.find(id);
    return it == table.end() ? empty : it->second;
}

} // namespace tvn
