#pragma once

#include "http/request_context.h"
#include "pages/page_settings.h"

#include <string>
#include <vector>

namespace tvn {

// What a page handler merges into its page: records repeated in a section (or, without a
// section tag, the first record's values put in place), and the map-key step.
struct WrapItems {
    const char* sectionTag = nullptr;   // e.g. "<blogitem>"; may be null
    std::vector<const char*> valueTags; // e.g. "<comment>"; null entries skipped
    std::vector<std::vector<std::string>> records;
    // The map-key step runs when set: the key comes from these settings, or is kept there.
    CPageSettings* mapKey = nullptr;
};

// Frames the open page file of the request with its folder's ".file" template, merging
// `items`, and writes Content-Length, the empty line and the page (once the folder's
// thumbnails are made, when the frame lists them). Goes on (nothing written) when there is
// no template, or the page is empty, larger than 8 MiB or cannot be read.
StageResult WrapPage(CRequestContext& context, const WrapItems& items = {});

// Plain text as HTML, in one pass: two line ends in a row (CR LF or LF alone) become "<p>",
// a single one "<br>". With `escapeMarkup` (text files, which may hold anything a visitor
// or a chat partner wrote), '&', '<' and '>' are written as entities.
std::string PlainTextToHtml(std::string_view text, bool escapeMarkup = false);

} // namespace tvn
