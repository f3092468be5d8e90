#pragma once

// URL paths as the server maps them: canonical form, the walk-up's tail split, hidden
// folders, and percent-encoding for the places a path is written back out.
#include <string>
#include <string_view>

namespace tvn {

// Removes "." and ".." pieces and doubled separators: '/' + the kept pieces joined by '/',
// with a trailing '/' when `in` ends in a separator ('\' and '/' are both separators).
// Linear in the length of `in`.
std::string CanonicalizePath(std::string_view in);
// The same for a path the caller gives away: one already canonical comes back as it is,
// without a copy.
std::string CanonicalizeOwnedPath(std::string&& in);

// Removes the last component of `path` (from its last '/' on) and returns it.
std::string SplitTail(std::string& path);

// True when a folder component of `path` (every '/'-separated piece but the last) begins
// with '.': such folders are hidden, and so is everything below them. The page-picture
// folder ".pict", which pages and templates take their images from, is the one exception;
// "." and ".." are places, not names.
bool BelowDotFolder(std::string_view path);

// Appends `text` to `out` with every byte for which `escape` is true written as %XX.
void AppendPercentEncoded(std::string& out, std::string_view text, bool (*escape)(unsigned char));

// Bytes 0x00-0x20 and 0x80-0xFF, and '%', '?' and '#', as %XX; everything else unchanged.
std::string EncodeForLocation(std::string_view text);

// The access log's form of decoded text: spaces, '%' and control bytes as %XX, so that a
// request can forge neither lines of its own nor the address field behind the URL.
void AppendLogSafe(std::string& line, std::string_view text);

} // namespace tvn
