#pragma once

#include <string_view>
#include <sys/types.h>

namespace tvn {

// The one byte range a Range header asks of a file, taken against the file's size.
struct ByteRange {
    enum class Kind {
        kWhole,         // no usable range (malformed, several ranges, another unit): all of it
        kPart,          // the bytes first..last, both within the file
        kUnsatisfiable, // a well-formed range with no byte in the file
    } kind = Kind::kWhole;
    off_t first = 0; // first byte of the part
    off_t last = 0;  // last byte of the part, inclusive
};

// Reads the value of a Range header ("bytes=a-b", "bytes=a-", "bytes=-n") for a file of
// `size` bytes. An end beyond the file is cut to its last byte and a suffix longer than the
// file asks for all of it; a start at or past the end, or a suffix of 0, is unsatisfiable.
// Numbers of any length are read without overflow.
ByteRange ParseByteRange(std::string_view value, off_t size);

} // namespace tvn
