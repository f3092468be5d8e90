// Patterns in the ATL syntax of the NMEA settings, as any bytes (a settings file edited by
// hand), translated and compiled, then searched in any text. Any text also becomes a pattern
// of its own literal characters, which must translate, compile with no group and match that
// text whole.
#include "fuzz/fuzz_check.h"
#include "gps/detail/atl_pattern.h"

#include <QRegularExpression>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>

namespace {

using tvn::fuzz::Check;

// A pattern of the ATL syntax that matches exactly `text`: letters and digits stand for
// themselves, every other byte is made literal with '\' (a letter after '\' would be an
// abbreviation).
std::string LiteralPattern(std::string_view text) {
    std::string atl = "^";
    for (const char c : text) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum)
            atl.push_back('\\');
        atl.push_back(c);
    }
    atl.push_back('$');
    return atl;
}

void Hostile(std::string_view atl, std::string_view text) {
    const auto translated = tvn::gps::TranslateAtlPattern(atl);
    if (!translated)
        return;
    const QRegularExpression expression(
        QString::fromLatin1(translated->data(), qsizetype(translated->size())));
    if (!expression.isValid())
        return;
    const int groups = expression.captureCount();
    const tvn::gps::AtlPattern pattern(atl, groups);
    Check(pattern.Usable());
    Check(!tvn::gps::AtlPattern(atl, groups + 1).Usable());
    if (const auto found = pattern.Search(text)) {
        Check(found->size() == static_cast<std::size_t>(groups));
        for (const std::string& group : *found)
            Check(group.size() <= text.size());
    }
}

void Literal(std::string_view text) {
    const std::string atl = LiteralPattern(text);
    Check(tvn::gps::TranslateAtlPattern(atl).has_value());
    const tvn::gps::AtlPattern pattern(atl, 0);
    Check(pattern.Usable());
    const auto found = pattern.Search(text);
    Check(found.has_value() && found->empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string atl = input.ConsumeRandomLengthString(128);
    const std::string text = input.ConsumeRandomLengthString(512);
    Hostile(atl, text);
    Literal(text);
    Literal(atl);
    return 0;
}
