#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// `when` + `offsetSeconds` (UTC) in the HTTP date form "Tue, 08 Dec 2026 01:02:03 GMT",
// always with English names whatever the user's locale. The text is this thread's: it holds
// until the thread's next call of either function (a copy keeps it).
const std::string& FormatHttpDate(std::time_t when, long offsetSeconds = 0);
// The current time in that form, under the same rule.
const std::string& FormatHttpDateNow(long offsetSeconds = 0);

// Reads the RFC 1123, asctime and RFC 850 forms; nothing when `text` is no valid date.
std::optional<std::time_t> ParseHttpDate(std::string_view text);

} // namespace tvn
