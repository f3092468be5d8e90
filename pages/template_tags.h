#pragma once

#include <string>
#include <string_view>

namespace tvn {

// Literal tag pairs of the templates. A tag is given in its opening form ("<diritem>"); its
// closing form inserts '/' after the first character. A tag is found in all-lowercase
// spelling, else in all-uppercase spelling; mixed case never matches.

// Where a pair was found: the opening tag at `open`, the closing tag at `close`.
struct TagPair {
    std::size_t open = std::string::npos;
    std::size_t openLength = 0;
    std::size_t close = std::string::npos;
    std::size_t closeLength = 0;

    bool Found() const { return open != std::string::npos; }
    std::size_t InnerBegin() const { return open + openLength; }
    std::size_t End() const { return close + closeLength; }
};

// The first pair of `tag` at or after `from`; not Found() when either tag is missing.
TagPair FindTagPair(std::string_view text, std::string_view tag, std::size_t from = 0);

// The first section of `tag`: with its tags, or only what stands between them. The whole
// text when there is no pair.
std::string_view ExtractSection(std::string_view text, std::string_view tag, bool withTags);

// Replaces the first pair of `tag` and everything between by `value`; false when none.
bool ReplaceFirstPair(std::string& text, std::string_view tag, std::string_view value);

// Replaces every pair of `tag`, each search starting behind the value just inserted.
void ReplaceAllPairs(std::string& text, std::string_view tag, std::string_view value);

// Link text for a page from decoded text: bytes 0x00-0x20 and 0x80-0xFF, the quote and angle
// characters that would end an attribute, and '%', '?' and '#', as %XX; everything else
// ('&', '/') unchanged.
std::string EncodeLink(std::string_view text);
void AppendEncodedLink(std::string& out, std::string_view text);

// A file-system name as HTML text: '&', '<', '>' and '"' as entities.
void AppendHtmlEscaped(std::string& out, std::string_view text);

// A file size as people read it: bytes below 1 KB ("512 B"), else in binary units (1 KB is
// 1024 bytes) with one decimal below 10 ("1.5 KB", "9.9 MB") and whole numbers from 10 on
// ("23 KB", "1023 KB"), the unit rounded up when the number would reach 1024. Appends
// nothing for a negative size.
void AppendReadableSize(std::string& out, long long bytes);

// A time in seconds since the epoch as "YYYY-MM-DD HH:MM", in the server's time zone (the
// owner's clock, which is how the owner knows the files). Appends nothing for a negative time.
void AppendListingDate(std::string& out, long long seconds);

} // namespace tvn
