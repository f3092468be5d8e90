#pragma once

#include "resources/string_ids.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tvn {

// The headers of one request, in the order they came, names in lower case; a name sent twice
// keeps its last value. A request has a handful: they are found by a scan, with no hashing and
// no allocation per header, and clear() keeps the room for the next request. A head with more
// than kScanned of them (thousands fit in 64 KiB) is indexed, so that it costs no more than
// its length to read.
class CHeaderList {
  public:
    using Entry = std::pair<std::string, std::string>;
    using const_iterator = std::vector<Entry>::const_iterator;

    // The value of `name`, added empty (its name lower-cased) when it is not there yet.
    std::string& operator[](std::string_view name);
    // The entry of `name`, in any case; end() when absent.
    const_iterator find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != end(); }
    std::size_t count(std::string_view name) const { return contains(name) ? 1 : 0; }
    const_iterator begin() const { return entries.begin(); }
    const_iterator end() const { return entries.end(); }
    std::size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }
    void clear() {
        entries.clear();
        index.clear();
    }
    friend bool operator==(const CHeaderList& a, const CHeaderList& b) {
        return a.entries == b.entries;
    }

    static constexpr std::size_t kScanned = 32;

  private:
    // The position of `name` (lower case) in `entries`; entries.size() when absent.
    std::size_t Position(std::string_view name) const;

    std::vector<Entry> entries;
    // Lower-cased name to position, once there are more than kScanned entries.
    std::unordered_map<std::string, std::size_t> index;
};

// One parsed request.
struct CRequest {
    std::string peerAddress; // client IPv4 address, dotted
    std::string method;      // as received
    std::string url;         // target without the query, percent-decoded ('+' kept)
    std::string version;     // protocol text, empty when the request line had none
    CHeaderList headers;
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
