#pragma once

#include <string>
#include <string_view>

namespace tvn::ini {

// Stand-ins for the private-profile functions: sections and keys are compared without
// regard to case or surrounding blanks, `key=value` lines, a missing key gives the caller's
// default, a new key is appended at the end of its section and the file is created by the
// first write.
// All operations of the process are serialized by one lock, and every write replaces
// the file atomically (temporary file, then rename). The new file keeps the owner and mode
// of the old one; a file created by the first write is readable by its owner only. When
// the file is a symbolic link (or a chain of them) the link's final target is replaced and
// the link stays. A file that exists but cannot be read is never replaced.

// The value of `key`, cut to `maxLength` bytes; `fallback` when the key is missing.
std::string ReadString(const std::string& file, std::string_view section, std::string_view key,
                       std::string_view fallback, std::size_t maxLength = 4095);

// The value of `key` read as a decimal integer (0 when it is no number); `fallback` when missing.
int ReadInt(const std::string& file, std::string_view section, std::string_view key, int fallback);

// Writes `key=value` into `section`; false when the file could not be replaced, and false
// without touching the file when a name or the value contains a line end (CR or LF), or the
// key contains '=' or begins with '[': each would be read back as other lines.
bool WriteString(const std::string& file, std::string_view section, std::string_view key,
                 std::string_view value);

} // namespace tvn::ini
