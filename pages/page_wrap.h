#pragma once

#include <string>
#include <vector>

namespace tvn {

class CRequestContext;

// What a page handler merges into its page: records repeated in a section (or, without a
// section tag, the first record's values put in place), and the map-key step.
struct WrapItems {
    const char* sectionTag = nullptr;   // e.g. "<blogitem>"; may be null
    std::vector<const char*> valueTags; // e.g. "<comment>"; null entries skipped
    std::vector<std::vector<std::string>> records;
    bool mapKeyStep = false;
};

// Frames the open page file of the request with its folder's ".file" template, merging
// `items`, and writes Content-Length, the empty line and the page. False (nothing
// written) when there is no template or the page cannot be read.
bool WrapPage(CRequestContext& context, const WrapItems& items = {});

// A page without <body> and <html> pairs is plain text: blank lines become "<p>" and the
// remaining line breaks "<br>".
std::string PlainTextToHtml(std::string_view text);

} // namespace tvn
