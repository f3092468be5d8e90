// Reading a Range header against a file's size: one part, the whole file, or no part at all.
#include "http/byte_range.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

using Kind = ByteRange::Kind;

TEST(ParseByteRange, EdgeCases) {
    struct Case {
        std::string_view value;
        off_t size;
        Kind kind;
        off_t first = 0;
        off_t last = 0;
    };
    const Case cases[] = {
        {"bytes=0-0", 10, Kind::kPart, 0, 0},      // the first byte
        {"bytes=9-9", 10, Kind::kPart, 9, 9},      // the last byte
        {"bytes=9-", 10, Kind::kPart, 9, 9},       // open end from the last byte
        {"bytes=0-", 10, Kind::kPart, 0, 9},       // all of it, as a part
        {"bytes=3-5", 10, Kind::kPart, 3, 5},      //
        {"bytes=5-5000", 10, Kind::kPart, 5, 9},   // end beyond the file: cut
        {"bytes=-3", 10, Kind::kPart, 7, 9},       // the last three
        {"bytes=-10", 10, Kind::kPart, 0, 9},      // a suffix as long as the file
        {"bytes=-11", 10, Kind::kPart, 0, 9},      // longer than the file: all of it
        {"bytes=007-0008", 10, Kind::kPart, 7, 8}, // leading zeros
        {"BYTES=1-2", 10, Kind::kPart, 1, 2},      // the unit in any case
        {" bytes= 1-2 ", 10, Kind::kPart, 1, 2},   // blanks around
        {"bytes=1-99999999999999999999999", 10, Kind::kPart, 1, 9},
        {"bytes=-99999999999999999999999", 10, Kind::kPart, 0, 9},
        {"bytes=18446744073709551615-", 10, Kind::kUnsatisfiable},
        {"bytes=10-", 10, Kind::kUnsatisfiable}, // starts at the end
        {"bytes=10-20", 10, Kind::kUnsatisfiable},
        {"bytes=-0", 10, Kind::kUnsatisfiable}, // a suffix of nothing
        {"bytes=99999999999999999999999-", 10, Kind::kUnsatisfiable},
        {"bytes=99999999999999999999999-99999999999999999999999", 10, Kind::kUnsatisfiable},
        {"bytes=0-0", 0, Kind::kUnsatisfiable}, // an empty file has no byte to give
        {"bytes=-5", 0, Kind::kUnsatisfiable},
        {"bytes=0-", 0, Kind::kUnsatisfiable},
        {"bytes=5-3", 10, Kind::kWhole}, // an end before the start is no range
        // Past 2^64 both saturate to the same value; the end is still before the start.
        {"bytes=99999999999999999999999-99999999999999999999998", 10, Kind::kWhole},
        {"bytes=0-1,3-4", 10, Kind::kWhole}, // several ranges
        {"bytes=0-1,", 10, Kind::kWhole},
        {"bytes=", 10, Kind::kWhole},
        {"bytes=-", 10, Kind::kWhole},
        {"bytes=a-b", 10, Kind::kWhole},
        {"bytes=1-b", 10, Kind::kWhole},
        {"bytes=+1-2", 10, Kind::kWhole},
        {"bytes=-+2", 10, Kind::kWhole},
        {"bytes=1-2-3", 10, Kind::kWhole},
        {"bytes=1 -2", 10, Kind::kWhole},
        {"bytes 1-2", 10, Kind::kWhole},
        {"items=1-2", 10, Kind::kWhole},
        {"bytes=3", 10, Kind::kWhole},
        {"", 10, Kind::kWhole},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " of " + std::to_string(c.size));
        const ByteRange range = ParseByteRange(c.value, c.size);
        EXPECT_EQ(range.kind, c.kind);
        if (c.kind == Kind::kPart) {
            EXPECT_EQ(range.first, c.first);
            EXPECT_EQ(range.last, c.last);
        }
    }
}

} // namespace
} // namespace tvn
