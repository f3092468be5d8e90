#include "tools/relay/location_book.h"

#include "tools/relay/relay_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace tvn::relay {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> DecodeComponent(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
            const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
            if (low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

// A whole decimal integer, nothing else around it (from_chars knows no locale and no blanks).
template <typename Number> std::optional<Number> WholeNumber(std::string_view text) {
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// A finite number within [-limit, limit].
std::optional<double> Degrees(std::string_view text, double limit) {
    const auto value = WholeNumber<double>(text);
    if (!value || !std::isfinite(*value) || std::fabs(*value) > limit)
        return std::nullopt;
    return value;
}

// The hhmmss time number of a fix, as reports carry it.
std::optional<int> TimeNumber(std::string_view text) {
    const auto value = WholeNumber<int>(text);
    if (!value || *value < 0 || *value > 235959 || *value / 100 % 100 > 59 || *value % 100 > 59)
        return std::nullopt;
    return value;
}

using Query = std::map<std::string, std::string, std::less<>>;

// The value of `key`, or nothing when it is not there.
const std::string* Find(const Query& query, std::string_view key) {
    const auto found = query.find(key);
    return found == query.end() ? nullptr : &found->second;
}

CLocationBook::Answer Refuse(std::string why) {
    return CLocationBook::Answer{400, "text/plain", std::move(why) + "\n"};
}

// The distance between two places in radians of a great circle (haversine): "nearest" must
// hold across the date line and near the poles too.
double Distance(double lon1, double lat1, double lon2, double lat2) {
    constexpr double kRadians = 3.14159265358979323846 / 180;
    const double dLat = (lat2 - lat1) * kRadians;
    const double dLon = (lon2 - lon1) * kRadians;
    const double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
                     std::cos(lat1 * kRadians) * std::cos(lat2 * kRadians) * std::sin(dLon / 2) *
                         std::sin(dLon / 2);
    return 2 * std::asin(std::sqrt(std::min(1.0, a)));
}

std::string Fixed(double value, int decimals) {
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

std::string TimeText(int timeNumber) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d UTC", timeNumber / 10000,
                  timeNumber / 100 % 100, timeNumber % 100);
    return text;
}

// A count the query may give or leave out: `fallback` when absent, nothing when malformed,
// else clamped into [low, high].
std::optional<long long> Count(const Query& query, std::string_view key, long long fallback,
                               long long low, long long high) {
    const std::string* text = Find(query, key);
    if (!text)
        return fallback;
    const auto value = WholeNumber<long long>(*text);
    if (!value || *value < 0)
        return std::nullopt;
    return std::clamp(*value, low, high);
}

} // namespace

std::optional<Query> ParseQuery(std::string_view query) {
    Query values;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
        if (pair.empty())
            continue;
        const auto equals = pair.find('=');
        auto name = DecodeComponent(pair.substr(0, equals));
        auto value = DecodeComponent(equals == std::string_view::npos ? std::string_view()
                                                                      : pair.substr(equals + 1));
        if (!name || !value)
            return std::nullopt;
        values.emplace(std::move(*name), std::move(*value));
    }
    return values;
}

std::string JavaScriptString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // U+2028 and U+2029 end a line in older JavaScript, even inside a string.
        const bool separator = byte == 0xE2 && i + 2 < text.size() &&
                               static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                               (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xA8;
        if (separator) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\'' || byte == '\\' ||
                   byte == '<' || byte == '>' || byte == '&') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += text[i];
        }
    }
    return out + "\"";
}

CLocationBook::Answer CLocationBook::Update(std::string_view queryText, Millis now) {
    const auto query = ParseQuery(queryText);
    if (!query)
        return Refuse("The query holds a broken escape.");
    const std::string* server = Find(*query, "server");
    const std::string* time = Find(*query, "time");
    const std::string* lon = Find(*query, "lon");
    const std::string* lat = Find(*query, "lat");
    const std::string* port = Find(*query, "port");
    if (!server || !time || !lon || !lat || !port)
        return Refuse("A report needs server, time, lon, lat and port.");
    std::string name = NormalizeName(*server);
    if (name.empty())
        return Refuse("server is no host name.");
    const auto timeNumber = TimeNumber(*time);
    const auto longitude = Degrees(*lon, 180);
    const auto latitude = Degrees(*lat, 90);
    const auto portNumber = WholeNumber<int>(*port);
    if (!timeNumber)
        return Refuse("time is no time of day hhmmss.");
    if (!longitude || !latitude)
        return Refuse("lon and lat must be degrees.");
    if (!portNumber || *portNumber < 1 || *portNumber > 65535)
        return Refuse("port is no port number.");

    DropOld(now);
    if (const auto known = servers.find(name); known != servers.end()) {
        byArrival.erase({known->second.arrived, name});
        servers.erase(known);
    }
    while (servers.size() >= kMaxServers && !byArrival.empty()) {
        servers.erase(byArrival.begin()->second);
        byArrival.erase(byArrival.begin());
    }
    byArrival.emplace(now, name);
    servers.emplace(std::move(name), Report{now, *timeNumber, *longitude, *latitude, *portNumber});
    return Answer{200, "text/plain", "OK\n"};
}

void CLocationBook::DropOld(Millis now) {
    while (!byArrival.empty() && now - byArrival.begin()->first > kKeep) {
        servers.erase(byArrival.begin()->second);
        byArrival.erase(byArrival.begin());
    }
}

CLocationBook::Answer CLocationBook::Request(std::string_view queryText, Millis now) const {
    const auto query = ParseQuery(queryText);
    if (!query)
        return Refuse("The query holds a broken escape.");
    const auto seconds = Count(*query, "time", 3600, 0, kKeep.count() / 1000);
    const auto most = Count(*query, "max", kDefaultAnswered, 0, kMaxAnswered);
    const auto decimals = Count(*query, "prec", kMaxDecimals, 0, kMaxDecimals);
    const std::string* lonText = Find(*query, "lon");
    const std::string* latText = Find(*query, "lat");
    const auto longitude = lonText ? Degrees(*lonText, 180) : std::nullopt;
    const auto latitude = latText ? Degrees(*latText, 90) : std::nullopt;
    if (!seconds || !most || !decimals)
        return Refuse("time, max and prec must be whole numbers.");
    if (!longitude || !latitude)
        return Refuse("lon and lat must be degrees.");

    struct Near {
        double distance;
        const std::string* name;
        const Report* report;
    };
    std::vector<Near> near;
    const Millis window{*seconds * 1000};
    for (const auto& [name, report] : servers) {
        if (now - report.arrived <= window)
            near.push_back({Distance(*longitude, *latitude, report.longitude, report.latitude),
                            &name, &report});
    }
    const auto count = std::min(near.size(), static_cast<std::size_t>(*most));
    // Equal distances in name order, so that one question gets one answer.
    std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(count), near.end(),
                      [](const Near& a, const Near& b) {
                          return a.distance != b.distance ? a.distance < b.distance
                                                          : *a.name < *b.name;
                      });
    std::string lats, lons, times, names;
    for (std::size_t i = 0; i < count; ++i) {
        const char* comma = i == 0 ? "" : ", ";
        const Report& report = *near[i].report;
        lats += comma + Fixed(report.latitude, static_cast<int>(*decimals));
        lons += comma + Fixed(report.longitude, static_cast<int>(*decimals));
        times += comma + JavaScriptString(TimeText(report.timeNumber));
        const std::string shown =
            report.port == 80 ? *near[i].name : *near[i].name + ":" + std::to_string(report.port);
        names += comma + JavaScriptString(shown);
    }
    return Answer{200, "application/javascript",
                  "var lats = [" + lats + "];\nvar lons = [" + lons + "];\nvar times = [" + times +
                      "];\nvar servers = [" + names + "];\n"};
}

} // namespace tvn::relay
