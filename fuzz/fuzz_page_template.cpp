// The templates of the pages, which a site's owner writes and visitors' texts are merged into:
// the tag pairs found, sections cut out and pairs replaced, and plain text made HTML. The
// input is the template; its first byte picks the tag.
#include "fuzz/fuzz_check.h"
#include "pages/page_wrap.h"
#include "pages/template_tags.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using tvn::fuzz::Check;

constexpr std::string_view kTags[] = {"<diritem>", "<fileitem>", "<blogitem>", "<comment>", "<"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view tag = kTags[data[0] % std::size(kTags)];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::size_t from = data[0] < text.size() ? data[0] : 0;
    const tvn::TagPair pair = tvn::FindTagPair(text, tag, from);
    if (pair.Found()) {
        Check(pair.open >= from && pair.InnerBegin() <= pair.close && pair.End() <= text.size());
        Check(pair.openLength == tag.size() && pair.closeLength == tag.size() + 1);
    }

    const std::string_view inner = tvn::ExtractSection(text, tag, false);
    const std::string_view whole = tvn::ExtractSection(text, tag, true);
    Check(inner.size() <= whole.size() && whole.size() <= text.size());

    std::string first(text);
    Check(tvn::ReplaceFirstPair(first, tag, "value") == tvn::FindTagPair(text, tag).Found());

    // A value that holds the tags itself is not merged again.
    std::string all(text);
    tvn::ReplaceAllPairs(all, tag, text);
    std::string none(text);
    tvn::ReplaceAllPairs(none, tag, "");
    Check(none.size() <= text.size());

    const std::string html = tvn::PlainTextToHtml(text);
    const std::string escaped = tvn::PlainTextToHtml(text, true);
    Check(escaped.find('<') == std::string::npos || escaped.find("<br>") != std::string::npos ||
          escaped.find("<p>") != std::string::npos);
    (void)tvn::EncodeLink(text);
    std::string name;
    tvn::AppendHtmlEscaped(name, text);
    Check(name.find_first_of("<>\"") == std::string::npos);
    return 0;
}
