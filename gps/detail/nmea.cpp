#include "gps/detail/nmea.h"

#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace tvn::gps {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view SkipSpace(std::string_view text) {
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    return text;
}

} // namespace

double LeadingReal(std::string_view text) {
    text = SkipSpace(text);
    // from_chars takes a '-' but no '+'; atof takes both.
    if (text.size() > 1 && text.front() == '+' && text[1] != '-')
        text.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range)
        return text.front() == '-' ? -HUGE_VAL : HUGE_VAL; // what strtod says, or nearly
    return ec == std::errc() ? value : 0.0;
}

int LeadingInt(std::string_view text) {
    text = SkipSpace(text);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-')
        text.remove_prefix(1);
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range)
        return text.front() == '-' ? INT_MIN : INT_MAX;
    if (ec != std::errc())
        return 0;
    return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

std::string FormatFixed6(double value) {
    std::array<char, 400> buffer{}; // %f of the largest double has 309 digits before the point
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                         std::chars_format::fixed, 6);
    return ec == std::errc() ? std::string(buffer.data(), end) : std::string();
}

std::string FormatSignificant10(double value) {
    if (!std::isfinite(value))
        return FormatFixed6(value);
    if (value == 0)
        return "0";
    // The exponent of the value once rounded to 10 digits ("9.9999999999" becomes "1e+01").
    std::array<char, 32> scientific{};
    const auto [sciEnd, sciEc] =
        std::to_chars(scientific.data(), scientific.data() + scientific.size(), value,
                      std::chars_format::scientific, 9);
    if (sciEc != std::errc())
        return {};
    const std::string_view sci(scientific.data(),
                               static_cast<std::size_t>(sciEnd - scientific.data()));
    const int exponent = LeadingInt(sci.substr(sci.find('e') + 1));
    const int decimals = exponent >= 9 ? 0 : 9 - exponent;
    std::array<char, 700> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                         std::chars_format::fixed, decimals);
    if (ec != std::errc())
        return {};
    std::string text(buffer.data(), end);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0')
            text.pop_back();
        if (text.back() == '.')
            text.pop_back();
    }
    return text == "-0" ? "0" : text;
}

std::string FillTemplate(std::string_view pattern, std::initializer_list<TemplateValue> values) {
    std::string out;
    auto next = values.begin();
    for (std::size_t pos = 0; pos < pattern.size(); ++pos) {
        const char c = pattern[pos];
        if (c != '%' || pos + 1 == pattern.size()) {
            out.push_back(c);
            continue;
        }
        const char conversion = pattern[pos + 1];
        if (conversion == '%') {
            out.push_back('%');
            ++pos;
        } else if (next != values.end() && conversion == next->conversion) {
            out += next->text;
            ++next;
            ++pos;
        } else {
            out.push_back('%'); // not ours to fill: written as it stands
        }
    }
    return out;
}

std::uint8_t SentenceChecksum(std::string_view line) {
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < line.size() && line[i] != '*'; ++i)
        sum ^= static_cast<std::uint8_t>(line[i]);
    return sum;
}

std::string_view UpToNul(std::string_view line) { return line.substr(0, line.find('\0')); }

std::vector<std::string> SplitHistoryLine(std::string_view line) {
    std::vector<std::string> texts;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t start = line.find_first_not_of(',', pos);
        if (start == std::string_view::npos)
            break;
        std::size_t end = line.find(',', start);
        if (end == std::string_view::npos)
            end = line.size();
        texts.emplace_back(line.substr(start, end - start));
        pos = end;
    }
    return texts;
}

std::string FormatHistoryLine(const std::vector<std::string>& record) {
    std::string line;
    for (const std::string& text : record) {
        line += text;
        line += ',';
    }
    line += "\r\n";
    return line;
}

} // namespace tvn::gps
