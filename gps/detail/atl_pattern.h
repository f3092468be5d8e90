#pragma once

#include <QRegularExpression>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn::gps {

// The same pattern in PCRE2 syntax for a pattern written in the ATL syntax of the NMEA
// settings: braces capture, parentheses only group, \d \h \a \b \c \n \q \w \z abbreviate
// classes, `\` makes any other character literal, `^` anchors only at the very start and
// `$` only matches the end. Nothing when the text is not a pattern of that syntax (a `\`
// at the end, an open class, a quantifier of a quantifier).
std::optional<std::string> TranslateAtlPattern(std::string_view atl);

// A compiled NMEA pattern that yields exactly `groups` capturing groups.
class AtlPattern {
  public:
    AtlPattern() = default; // matches nothing
    AtlPattern(std::string_view atl, int groups);
    // False when the text did not compile or has another number of groups.
    bool Usable() const { return usable; }
    // The groups of the leftmost match in `text` (bytes), a group that took no part being
    // empty; nothing without a match or when the pattern is unusable.
    std::optional<std::vector<std::string>> Search(std::string_view text) const;

  private:
    QRegularExpression expression;
    int groups = 0;
    bool usable = false;
};

} // namespace tvn::gps
