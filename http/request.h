#pragma once

#include "resources/string_ids.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tvn {

// One parsed request.
struct CRequest {
    std::string peerAddress; // client IPv4 address, dotted
    std::string method;      // as received
    std::string url;         // target without the query, percent-decoded ('+' kept)
    std::string version;     // protocol text, empty when the request line had none
    std::unordered_map<std::string, std::string> headers; // names in lower case
    std::string body;
    long long contentLength = 0;
    std::string urlPath;   // the target's URL path: canonical, and only as far as the file found
    std::string localPath; // local path of the target
    int attributes = -1;   // attribute bits of the target, -1 not found
    std::string query;     // raw text after the first '?'
    std::map<std::string, std::string> params; // decoded query parameters

    // The value of header `name` (any case); empty when absent.
    const std::string& Header(std::string_view name) const;
    // The value of query parameter `name`; empty when absent.
    const std::string& Param(const std::string& name) const;
};

// Percent-decodes `text` ("%%" gives '%'; '+' becomes ' ' when `plusToSpace`). Nothing when
// a '%' is followed by fewer than two characters or the result would hold a NUL byte.
std::optional<std::string> DecodeUrl(std::string_view text, bool plusToSpace);

// Fills `params` from `query` (name=value pairs split at '&'; names raw, values decoded with
// '+' as space; a trailing part without '=' ignored). False when a value cannot be decoded.
bool ParseQueryString(std::string_view query, std::map<std::string, std::string>& params);

} // namespace tvn
