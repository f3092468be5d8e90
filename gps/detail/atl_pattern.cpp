#include "gps/detail/atl_pattern.h"

namespace tvn::gps {
namespace {

// The abbreviation `\letter`, or nothing when `letter` names none.
const char* Abbreviation(char letter) {
    switch (letter) {
    case 'a':
        return "[a-zA-Z0-9]";
    case 'b':
        return "[ \\t]";
    case 'c':
        return "[a-zA-Z]";
    case 'd':
        return "[0-9]";
    case 'h':
        return "[0-9a-fA-F]";
    case 'n':
        return "(?:\\r?\\n|\\r)";
    case 'q':
        return "(?:\"[^\"]*\"|'[^']*')";
    case 'w':
        return "(?:[a-zA-Z]+)";
    case 'z':
        return "(?:[0-9]+)";
    default:
        return nullptr;
    }
}

bool IsAsciiAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// `c` as a literal of PCRE2, inside or outside a class.
void AppendLiteral(std::string& out, char c) {
    if (!IsAsciiAlnum(c) && static_cast<unsigned char>(c) < 0x80)
        out.push_back('\\');
    out.push_back(c);
}

// Copies the class that starts at atl[pos] ('['); the position after its ']', or npos when
// it never closes. Inside a class `\` makes the next character literal.
std::size_t TranslateClass(std::string_view atl, std::size_t pos, std::string& out) {
    out.push_back('[');
    ++pos;
    if (pos < atl.size() && atl[pos] == '^') {
        out.push_back('^');
        ++pos;
    }
    for (; pos < atl.size(); ++pos) {
        const char c = atl[pos];
        if (c == ']') {
            out.push_back(']');
            return pos + 1;
        }
        if (c == '-') {
            out.push_back('-'); // a range, as in the ATL syntax
        } else if (c == '\\') {
            if (++pos == atl.size())
                return std::string_view::npos;
            AppendLiteral(out, atl[pos]);
        } else {
            AppendLiteral(out, c); // '[' too: PCRE2 would read "[:" as a POSIX class
        }
    }
    return std::string_view::npos;
}

} // namespace

std::optional<std::string> TranslateAtlPattern(std::string_view atl) {
    std::string out;
    bool quantified = false; // the last item written was a quantifier
    for (std::size_t pos = 0; pos < atl.size(); ++pos) {
        const char c = atl[pos];
        const bool wasQuantified = quantified;
        quantified = false;
        switch (c) {
        case '{':
            out += "(";
            break;
        case '}':
            out += ")";
            break;
        case '(':
            out += "(?:";
            break;
        case ')':
            out += ")";
            break;
        case '|':
            out += "|";
            break;
        case '.':
            out += ".";
            break;
        case '$':
            out += "\\z";
            break;
        case '^':
            if (pos == 0)
                out += "^";
            else
                AppendLiteral(out, c);
            break;
        case '*':
        case '+':
        case '?':
            // "a**" is no pattern; in PCRE2 "a*+" would quietly be a possessive one.
            if (wasQuantified)
                return std::nullopt;
            out.push_back(c);
            if (pos + 1 < atl.size() && atl[pos + 1] == '?')
                out.push_back(atl[++pos]); // the non-greedy form
            quantified = true;
            break;
        case '[':
            pos = TranslateClass(atl, pos, out);
            if (pos == std::string_view::npos)
                return std::nullopt;
            --pos;
            break;
        case '\\': {
            if (++pos == atl.size())
                return std::nullopt;
            const char* abbreviation = Abbreviation(atl[pos]);
            if (abbreviation)
                out += abbreviation;
            else
                AppendLiteral(out, atl[pos]);
            break;
        }
        default:
            AppendLiteral(out, c);
            break;
        }
    }
    return out;
}

AtlPattern::AtlPattern(std::string_view atl, int groupCount) : groups(groupCount) {
    const std::optional<std::string> translated = TranslateAtlPattern(atl);
    if (!translated)
        return;
    // Latin-1 both ways keeps every byte one character, so the groups come back unchanged.
    expression.setPattern(QString::fromLatin1(translated->data(), qsizetype(translated->size())));
    expression.setPatternOptions(QRegularExpression::DotMatchesEverythingOption);
    usable = expression.isValid() && expression.captureCount() == groups;
}

std::optional<std::vector<std::string>> AtlPattern::Search(std::string_view text) const {
    if (!usable)
        return std::nullopt;
    const QRegularExpressionMatch match =
        expression.match(QString::fromLatin1(text.data(), qsizetype(text.size())));
    if (!match.hasMatch())
        return std::nullopt;
    std::vector<std::string> found;
    found.reserve(static_cast<std::size_t>(groups));
    for (int i = 1; i <= groups; ++i)
        found.push_back(match.captured(i).toLatin1().toStdString());
    return found;
}

} // namespace tvn::gps
