#pragma once

// The location service of the relay: Tarvolin servers report where they are
// ("/zadizo/update.php"), and the ZadiZo pages of other servers ask which servers were near a
// place ("/zadizo/request.php"). Pure over the query text, with the time passed in; the
// reports live in memory only.
#include "tools/relay/name_registry.h"

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace tvn::relay {

// The parameters of a URL query ("a=1&b=x%20y"): '+' is a blank and %XX a byte. Nothing when
// an escape is broken; of a name given twice, the first value counts.
std::optional<std::map<std::string, std::string, std::less<>>> ParseQuery(std::string_view query);

// `text` as a JavaScript string literal in double quotes, safe inside a script element:
// quotes, backslashes, control bytes, '<', '>', '&' and the line separators U+2028 and U+2029
// are escapes, so no text can end the string or the script.
std::string JavaScriptString(std::string_view text);

class CLocationBook {
  public:
    static constexpr std::size_t kMaxServers = 10000; // beyond it the oldest report goes
    static constexpr Millis kKeep{24 * 3600 * 1000};  // a report older than a day is dropped
    static constexpr int kMaxAnswered = 1000;         // servers in one answer at most
    static constexpr int kDefaultAnswered = 20;
    static constexpr int kMaxDecimals = 6;

    // What the relay answers: a status, the type and the body.
    struct Answer {
        int status = 200;
        std::string contentType = "text/plain";
        std::string body;
    };

    // A report "server=NAME&time=HHMMSS&lon=X&lat=Y&port=P" arriving at `now`. 200 when it
    // was kept (it replaces the name's previous one), 400 with the reason when a value is
    // missing or not one. Names are host names, kept lower-case.
    Answer Update(std::string_view query, Millis now);

    // "time=SECONDS&max=N&prec=DECIMALS&lon=X&lat=Y": a script defining the arrays lats, lons,
    // times and servers of the servers that reported within SECONDS before `now`, at most N
    // (20 when not given), nearest to lon/lat first, positions with DECIMALS places (6 when
    // not given). A server is its name, with ":PORT" when it reported another port than 80;
    // a time is the reported fix time as "12:35:19 UTC". 400 with the reason for a malformed
    // query.
    Answer Request(std::string_view query, Millis now) const;

    // Servers whose report is kept.
    std::size_t Size() const { return servers.size(); }

  private:
    struct Report {
        Millis arrived;
        int timeNumber = 0; // the fix time as the server sent it, hhmmss UTC
        double longitude = 0;
        double latitude = 0;
        int port = 80;
    };
    void DropOld(Millis now);

    std::map<std::string, Report, std::less<>> servers;
    std::set<std::pair<Millis, std::string>> byArrival; // oldest first, to drop from the front
};

} // namespace tvn::relay
