#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tvn::gps {

// Lines longer than this are no NMEA sentence (those have at most 82 characters) and are
// dropped before any pattern sees them.
inline constexpr std::size_t kMaxSentenceLength = 256;
// The pending input keeps at most the newest this many bytes.
inline constexpr std::size_t kMaxPendingBytes = 64 * 1024;

// The leading decimal number of `text` as the C library's atof reads it, in the C locale
// whatever the process locale is; 0 when there is none.
double LeadingReal(std::string_view text);
// The leading integer of `text` as atoi reads it (clamped to int); 0 when there is none.
int LeadingInt(std::string_view text);
// `value` with six decimals, as printf's %f in the C locale.
std::string FormatFixed6(double value);
// `value` with 10 significant digits in fixed notation, trailing zeros and a trailing point
// dropped ("11.51666667", "48.1173", "-0.5", "48").
std::string FormatSignificant10(double value);

// One value for a template: the conversion letter it fills ('s', 'd' or 'f') and its text.
struct TemplateValue {
    char conversion;
    std::string text;
};
// `pattern` with its printf conversions filled in order by `values`: "%%" gives '%', a
// conversion whose letter is the one expected next is replaced by that value's text, and
// everything else (another conversion, one past the values) stays as written.
std::string FillTemplate(std::string_view pattern, std::initializer_list<TemplateValue> values);

// Appends `bytes` to `pending`, keeping its newest kMaxPendingBytes, and calls `line(text)`
// for each complete line: text followed by a run of CR and LF characters, which is taken
// with it. What follows the last run stays pending. Returns the number of lines taken.
template <class Visit>
std::size_t TakeLines(std::string& pending, std::string_view bytes, Visit line);

// The NMEA checksum of `line`: the exclusive-or of its bytes from the second one up to the
// first '*' or its end.
std::uint8_t SentenceChecksum(std::string_view line);
// `line` up to its first zero byte.
std::string_view UpToNul(std::string_view line);

// The texts of one line of the history file: split at commas, a run of commas counting as
// one, leading and trailing commas giving nothing.
std::vector<std::string> SplitHistoryLine(std::string_view line);
// One line of the history file: each text followed by ",", then CR LF.
std::string FormatHistoryLine(const std::vector<std::string>& record);

template <class Visit>
std::size_t TakeLines(std::string& pending, std::string_view bytes, Visit line) {
    pending.append(bytes);
    if (pending.size() > kMaxPendingBytes)
        pending.erase(0, pending.size() - kMaxPendingBytes);
    std::size_t taken = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = pending.find_first_of("\r\n", start);
        if (end == std::string::npos)
            break;
        std::size_t next = pending.find_first_not_of("\r\n", end);
        if (next == std::string::npos)
            next = pending.size();
        line(std::string_view(pending).substr(start, end - start));
        ++taken;
        start = next;
    }
    pending.erase(0, start);
    return taken;
}

} // namespace tvn::gps
