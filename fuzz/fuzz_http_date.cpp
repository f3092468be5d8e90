// The dates a browser sends in If-Modified-Since, as any bytes; every date that is read is
// written in our own form and must read back as the same second. Eight bytes of the input
// also pick a second between the years 1900 and 9999 that must survive writing and reading.
#include "http/http_date.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The first and the last second that the three forms can name.
constexpr std::int64_t kFirst = -2208988800; // 1900-01-01 00:00:00
constexpr std::int64_t kLast = 253402300799; // 9999-12-31 23:59:59

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
    }
    if (size >= 8) {
        std::uint64_t raw = 0;
        std::memcpy(&raw, data, sizeof raw);
        const auto span = static_cast<std::uint64_t>(kLast - kFirst + 1);
        ReadsBack(static_cast<std::time_t>(kFirst + static_cast<std::int64_t>(raw % span)));
    }
    return 0;
}
