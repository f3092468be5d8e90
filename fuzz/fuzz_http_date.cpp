// The dates a browser sends in If-Modified-Since, as any bytes; every date that is read is
// written in our own form and must read back as the same second, with the same fields. Eight bytes
// of the input also pick a second between the years 1900 and 9999 that must survive writing and
// reading.
#include "fuzz/fuzz_check.h"
#include "http/http_date.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

using tvn::fuzz::Check;

// The first and the last second that the three forms can name.
constexpr std::int64_t kFirst = -2208988800; // 1900-01-01 00:00:00
constexpr std::int64_t kLast = 253402300799; // 9999-12-31 23:59:59

// For an RFC 1123 date whose number fields are plain digits, the date written for the second
// it reads as repeats those fields and the month: a day the month does not have is no date.
void SameFields(std::string_view text, std::time_t when) {
    constexpr std::size_t kDigits[] = {5, 6, 12, 13, 14, 15, 17, 18, 20, 21, 23, 24};
    if (text.size() < 25 || text[3] != ',')
        return;
    for (const std::size_t at : kDigits) {
        if (text[at] < '0' || text[at] > '9')
            return;
    }
    const std::string written = tvn::FormatHttpDate(when);
    Check(written.size() >= 25);
    for (const std::size_t at : kDigits)
        Check(written[at] == text[at]);
    for (std::size_t at = 8; at < 11; ++at)
        Check((written[at] | 0x20) == (text[at] | 0x20));
}

void ReadsBack(std::time_t when) {
    const std::string text = tvn::FormatHttpDate(when);
    const auto back = tvn::ParseHttpDate(text);
    Check(back.has_value() && *back == when);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto when = tvn::ParseHttpDate(bytes)) {
        Check(*when >= kFirst && *when <= kLast);
        ReadsBack(*when);
        SameFields(bytes, *when);
    }
    if (size >= 8) {
        std::uint64_t raw = 0;
        std::memcpy(&raw, data, sizeof raw);
        const auto span = static_cast<std::uint64_t>(kLast - kFirst + 1);
        ReadsBack(static_cast<std::time_t>(kFirst + static_cast<std::int64_t>(raw % span)));
    }
    return 0;
}
