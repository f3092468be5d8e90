#include "http/byte_range.h"

#include "platform/text.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace tvn {
namespace {

constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of a run of digits, or kSaturated when it does not fit: any such number lies
// beyond every file, which is all the caller needs to know of it.
std::uint64_t Saturated(std::string_view digits) {
    std::uint64_t value = 0;
    for (const char c : digits) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kSaturated - digit) / 10)
            return kSaturated;
        value = value * 10 + digit;
    }
    return value;
}

// True when the number written `a` is smaller than the number written `b`, at any length:
// two numbers past 2^64 saturate to the same value and must still be told apart.
bool DigitsLess(std::string_view a, std::string_view b) {
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

} // namespace

ByteRange ParseByteRange(std::string_view value, off_t size) {
    constexpr std::string_view kUnit = "bytes=";
    value = TrimBlanks(value);
    if (!StartsWithNoCase(value, kUnit))
        return {};
    const std::string_view set = TrimBlanks(value.substr(kUnit.size()));
    // Several ranges would need a multipart answer: the whole file serves them as well.
    const auto dash = set.find('-');
    if (dash == std::string_view::npos || set.find(',') != std::string_view::npos)
        return {};
    const std::string_view from = set.substr(0, dash);
    const std::string_view to = set.substr(dash + 1);
    const auto total = static_cast<std::uint64_t>(std::max<off_t>(size, 0));
    constexpr ByteRange kNone{ByteRange::Kind::kUnsatisfiable};
    if (from.empty()) {
        if (!AllDigits(to))
            return {};
        const std::uint64_t suffix = Saturated(to);
        if (suffix == 0 || total == 0)
            return kNone;
        return {ByteRange::Kind::kPart, static_cast<off_t>(total - std::min(suffix, total)),
                static_cast<off_t>(total - 1)};
    }
    if (!AllDigits(from) || (!to.empty() && (!AllDigits(to) || DigitsLess(to, from))))
        return {};
    const std::uint64_t first = Saturated(from);
    if (first >= total)
        return kNone;
    const std::uint64_t last = to.empty() ? total - 1 : std::min(Saturated(to), total - 1);
    return {ByteRange::Kind::kPart, static_cast<off_t>(first), static_cast<off_t>(last)};
}

} // namespace tvn
