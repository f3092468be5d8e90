// The Range header a visitor sends, as any bytes, against files of many sizes: the first
// eight bytes of the input pick one size, and every value is also read against an empty
// file, a one-byte file, a file of 2^40 bytes, the largest size off_t holds and a negative
// size. A part lies within the file and names the numbers that were sent; whether a value is
// a range at all does not depend on the size; a part written back as a range reads back the
// same; a part stays a part of a longer file, and no byte of a shorter one makes a range
// with no byte in the file satisfiable again.
#include "fuzz/fuzz_check.h"
#include "http/byte_range.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace {

using tvn::ByteRange;
using tvn::ParseByteRange;
using tvn::fuzz::Check;
using Kind = ByteRange::Kind;

constexpr off_t kLargest = std::numeric_limits<off_t>::max();

std::string_view WithoutLeadingZeros(std::string_view digits) {
    const auto at = digits.find_first_not_of('0');
    return at == std::string_view::npos ? std::string_view("0") : digits.substr(at);
}

// True when the run of digits names a number larger than `number`, at any length.
bool DigitsAbove(std::string_view digits, off_t number) {
    digits = WithoutLeadingZeros(digits);
    const std::string written = std::to_string(number);
    return digits.size() != written.size() ? digits.size() > written.size() : digits > written;
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The two numbers of the range that was read, found again by hand: "bytes", '=', blanks,
// from, '-', to, blanks. False when the value does not have that shape.
bool SplitRange(std::string_view value, std::string_view& from, std::string_view& to) {
    const auto equals = value.find('=');
    if (equals == std::string_view::npos)
        return false;
    std::string_view set = value.substr(equals + 1);
    while (!set.empty() && Blank(set.front()))
        set.remove_prefix(1);
    while (!set.empty() && Blank(set.back()))
        set.remove_suffix(1);
    const auto dash = set.find('-');
    if (dash == std::string_view::npos)
        return false;
    from = set.substr(0, dash);
    to = set.substr(dash + 1);
    return to.find('-') == std::string_view::npos;
}

// A part of a file of `size` bytes: within the file, and the bytes the value names.
void CheckPart(std::string_view value, off_t size, const ByteRange& range) {
    Check(size > 0);
    Check(range.first >= 0 && range.first <= range.last && range.last < size);
    std::string_view from;
    std::string_view to;
    Check(SplitRange(value, from, to));
    if (from.empty()) {
        // The last n bytes, or all of them when n is longer than the file.
        Check(range.last == size - 1 && !to.empty());
        if (DigitsAbove(to, size - 1))
            Check(range.first == 0);
        else
            Check(std::to_string(size - range.first) == WithoutLeadingZeros(to));
        return;
    }
    Check(std::to_string(range.first) == WithoutLeadingZeros(from));
    if (to.empty() || DigitsAbove(to, size - 1))
        Check(range.last == size - 1);
    else
        Check(std::to_string(range.last) == WithoutLeadingZeros(to));
}

// The part written as each form of range reads back as itself.
void CheckWrittenBack(const ByteRange& range, off_t size) {
    const std::string first = std::to_string(range.first);
    const std::string both = "bytes=" + first + "-" + std::to_string(range.last);
    const ByteRange again = ParseByteRange(both, size);
    Check(again.kind == Kind::kPart && again.first == range.first && again.last == range.last);
    const ByteRange open = ParseByteRange("bytes=" + first + "-", size);
    Check(open.kind == Kind::kPart && open.first == range.first && open.last == size - 1);
    const std::string length = std::to_string(size - range.first);
    const ByteRange suffix = ParseByteRange("bytes=-" + length, size);
    Check(suffix.kind == Kind::kPart && suffix.first == range.first && suffix.last == size - 1);
    // A second range makes the answer the whole file.
    Check(ParseByteRange(both + ",0-0", size).kind == Kind::kWhole);
}

// Reads `value` against `size` and checks what can be told from the result alone.
ByteRange ReadAgainst(std::string_view value, off_t size) {
    const ByteRange range = ParseByteRange(value, size);
    switch (range.kind) {
    case Kind::kPart:
        CheckPart(value, size, range);
        CheckWrittenBack(range, size);
        break;
    case Kind::kWhole:
    case Kind::kUnsatisfiable:
        Check(range.first == 0 && range.last == 0);
        break;
    }
    return range;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    off_t picked = 10;
    std::string_view value(reinterpret_cast<const char*>(data), size);
    if (size >= 8) {
        std::uint64_t raw = 0;
        std::memcpy(&raw, data, sizeof raw);
        // Half of the sizes small, where the numbers of a short input meet the file's end.
        picked = (raw & 1) ? static_cast<off_t>((raw >> 1) % 4096)
                           : static_cast<off_t>((raw >> 1) & static_cast<std::uint64_t>(kLargest));
        value.remove_prefix(8);
    }
    const off_t sizes[] = {0,       1, picked, picked + (picked < kLargest ? 1 : 0), off_t{1} << 40,
                           kLargest};
    const ByteRange atPicked = ReadAgainst(value, picked);
    for (const off_t other : sizes) {
        const ByteRange range = ReadAgainst(value, other);
        // Whether the value is one range is a matter of its text, not of the file.
        Check((range.kind == Kind::kWhole) == (atPicked.kind == Kind::kWhole));
        if (other > picked && atPicked.kind == Kind::kPart) {
            Check(range.kind == Kind::kPart && range.last >= atPicked.last);
            Check(range.last - range.first >= atPicked.last - atPicked.first);
        }
        if (other < picked && atPicked.kind == Kind::kUnsatisfiable)
            Check(range.kind == Kind::kUnsatisfiable);
    }
    // A size below zero is no file: never a part of it.
    for (const off_t negative : {off_t{-1}, std::numeric_limits<off_t>::min()})
        Check(ReadAgainst(value, negative).kind != Kind::kPart);
    return 0;
}
