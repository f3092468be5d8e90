#pragma once

#include <string>
#include <string_view>

namespace tvn {

// The content type for the extension `ext` (with its dot, e.g. ".jpg"): the system's
// mime.types first, then the built-in table (compared without regard to case); empty when
// neither knows it.
std::string_view ContentTypeForExtension(std::string_view ext);

// The built-in table alone; empty when it has no row for `ext`.
std::string_view BuiltInContentType(std::string_view ext);

// Reads the system types from `path` instead of /etc/mime.types (tests); empty for none.
void SetSystemMimeTypesFile(const std::string& path);

} // namespace tvn
