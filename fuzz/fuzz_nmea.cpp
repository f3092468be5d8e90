// What a GPS receiver's serial port delivers, byte by byte or in bursts: the lines taken from
// it, matched against the default NMEA patterns, and the numbers and texts made from the groups.
// The same bytes also go through the translation of a pattern written in the ATL syntax of the
// settings.
#include "fuzz/fuzz_check.h"
#include "gps/detail/atl_pattern.h"
#include "gps/detail/nmea.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using tvn::fuzz::Check;

// The defaults of gps/gps.cpp.
constexpr const char* kSentencePattern =
    "\\$GPGGA,{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},[^,]*?,{[^,]*?},[^\\*]+?\\*{"
    "\\h\\h}";
constexpr const char* kCoordinatePattern = "{\\-?\\d?\\d\\d}{\\d\\d\\.\\d+}";
constexpr const char* kTimePattern = "{\\d\\d}{\\d\\d}{\\d\\d}.*";

struct Patterns {
    tvn::gps::AtlPattern sentence{kSentencePattern, 8};
    tvn::gps::AtlPattern coordinate{kCoordinatePattern, 2};
    tvn::gps::AtlPattern time{kTimePattern, 3};
};

const Patterns& Defaults() {
    static const Patterns patterns;
    Check(patterns.sentence.Usable() && patterns.coordinate.Usable() && patterns.time.Usable());
    return patterns;
}

void Numbers(std::string_view text) {
    const double real = tvn::gps::LeadingReal(text);
    (void)tvn::gps::LeadingInt(text);
    const std::string fixed = tvn::gps::FormatFixed6(real);
    const std::string significant = tvn::gps::FormatSignificant10(real);
    (void)tvn::gps::FillTemplate(text, {{'f', fixed}, {'s', significant}, {'d', "42"}});
}

void Sentence(std::string_view line) {
    line = tvn::gps::UpToNul(line);
    if (line.size() > tvn::gps::kMaxSentenceLength)
        return;
    (void)tvn::gps::SentenceChecksum(line);
    const auto groups = Defaults().sentence.Search(line);
    if (!groups)
        return;
    Check(groups->size() == 8);
    for (const std::string& group : *groups)
        Numbers(group);
    for (const std::size_t at : {1u, 3u}) {
        if (const auto parts = Defaults().coordinate.Search((*groups)[at]))
            Check(parts->size() == 2);
    }
    if (const auto parts = Defaults().time.Search((*groups)[0]))
        Check(parts->size() == 3);
    // The history file keeps what was read; its line reads back to the texts without empties.
    std::vector<std::string> record;
    for (const std::string& group : *groups) {
        if (!group.empty() && group.find_first_of(",\r\n") == std::string::npos)
            record.push_back(group);
    }
    const std::string historyLine = tvn::gps::FormatHistoryLine(record);
    std::string_view withoutEnd(historyLine);
    withoutEnd.remove_suffix(2);
    Check(tvn::gps::SplitHistoryLine(withoutEnd) == record);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    (void)tvn::gps::TranslateAtlPattern(bytes);
    (void)tvn::gps::SplitHistoryLine(bytes);

    // The first byte sets the size of the reads from the port (1 to 256 bytes).
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    std::string pending;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        tvn::gps::TakeLines(pending, bytes.substr(at, piece), [](std::string_view line) {
            Check(line.find_first_of("\r\n") == std::string_view::npos);
            Sentence(line);
        });
        Check(pending.size() <= tvn::gps::kMaxPendingBytes);
    }
    Sentence(pending);
    return 0;
}
