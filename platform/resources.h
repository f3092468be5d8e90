#pragma once

#include "resources/string_ids.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// The bytes of the resource `name` of `type` ("CONTENT" or "BINDAT"), or nothing when the
// program has no such resource. Names are compared without regard to case; '\' and '/' are
// the same separator and a leading separator is ignored, so "/styles.css" finds "styles.css".
std::optional<std::string_view> FindResource(std::string_view type, std::string_view name);

// The names of every resource of `type`, as stored (with '/' separators).
std::vector<std::string> ListResources(std::string_view type);

// String-table text `id`; empty when the table has no such text.
const std::string& LoadString(int id);
inline const std::string& LoadString(StringId id) { return LoadString(static_cast<int>(id)); }
inline const std::string& LoadString(HttpStatus status) {
    return LoadString(static_cast<int>(status));
}

} // namespace tvn
