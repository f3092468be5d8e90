#include "http/http_date.h"

#include "platform/resources.h"

#include <locale.h>
#include <memory>
#include <strings.h>
#include <type_traits>

namespace tvn {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The C locale, whose day and month names are the English ones: a strftime in the user's
// locale would write names that browsers do not understand. Null when none could be made.
locale_t CLocale() {
    static const std::unique_ptr<std::remove_pointer_t<locale_t>, decltype(&::freelocale)> c(
        ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0)), &::freelocale);
    return c.get();
}

// A number field: leading blanks skipped, then every character counts as a digit.
int Field(std::string_view text, std::size_t at, std::size_t length) {
    if (at >= text.size())
        return 0;
    std::string_view field = text.substr(at, length);
    while (!field.empty() && (field.front() == ' ' || field.front() == '\t'))
        field.remove_prefix(1);
    int value = 0;
    for (char c : field)
        value = value * 10 + (c - '0');
    return value;
}

int Month(std::string_view text, std::size_t at) {
    if (at + 3 > text.size())
        return 0;
    for (int m = 0; m < 12; ++m) {
        if (::strncasecmp(text.data() + at, kMonths[m], 3) == 0)
            return m + 1;
    }
    return 0;
}

} // namespace

const std::string& FormatHttpDate(std::time_t when, long offsetSeconds) {
    const std::time_t shifted = when + offsetSeconds;
    // A file asked for again names the same date: formatting it once is enough (strftime
    // costs more than the rest of a small answer's head).
    thread_local std::time_t cachedAt = -1;
    thread_local std::string cached;
    if (shifted == cachedAt && cachedAt != -1)
        return cached;
    std::tm t{};
    if (!::gmtime_r(&shifted, &t)) {
        cached.clear();
        cachedAt = -1;
        return cached;
    }
    const locale_t c = CLocale();
    char text[128];
    const std::size_t length =
        c ? ::strftime_l(text, sizeof text, LoadString(StringId::kHttpDateFormat).c_str(), &t, c)
          : 0;
    cached.assign(text, length);
    cachedAt = shifted;
    return cached;
}

const std::string& FormatHttpDateNow(long offsetSeconds) {
    // One formatting per second is enough for every answer of that second (kept apart from
    // the files' dates, which each answer names beside it).
    thread_local std::time_t cachedAt = -1;
    thread_local long cachedOffset = 0;
    thread_local std::string cached;
    const std::time_t now = std::time(nullptr);
    if (now != cachedAt || offsetSeconds != cachedOffset) {
        cached = FormatHttpDate(now, offsetSeconds);
        cachedAt = now;
        cachedOffset = offsetSeconds;
    }
    return cached;
}

std::optional<std::time_t> ParseHttpDate(std::string_view text) {
    if (text.size() < 4)
        return std::nullopt;
    int day, month, year, hour, minute, second;
    if (text[3] == ',') {
        day = Field(text, 5, 2), month = Month(text, 8), year = Field(text, 12, 4);
        hour = Field(text, 17, 2), minute = Field(text, 20, 2), second = Field(text, 23, 2);
    } else if (text[3] == ' ') {
        month = Month(text, 4), day = Field(text, 8, 2), hour = Field(text, 11, 2);
        minute = Field(text, 14, 2), second = Field(text, 17, 2), year = Field(text, 20, 4);
    } else {
        const auto m = text.find(", ");
        if (m == std::string_view::npos)
            return std::nullopt;
        day = Field(text, m + 2, 2), month = Month(text, m + 5), year = Field(text, m + 9, 2);
        hour = Field(text, m + 12, 2), minute = Field(text, m + 15, 2),
        second = Field(text, m + 18, 2);
        year += year < 51 ? 2000 : 1900;
    }
    // Out-of-range fields make no date (the garbage characters read as digits land here too).
    if (year == 0 || year < 1900 || year > 9999 || month < 1 || day < 1 || day > 31 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    const std::time_t when = ::timegm(&t);
    // timegm carries a day the month lacks into the next month (31 Feb is 2 or 3 Mar): a
    // date that does not come back with its own day and month is no date.
    std::tm back{};
    if (when == -1 || !::gmtime_r(&when, &back) || back.tm_mday != day ||
        back.tm_mon != month - 1 || back.tm_min != minute)
        return std::nullopt;
    return when;
}

} // namespace tvn
