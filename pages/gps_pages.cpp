#include "pages/gps_pages.h"

#include "http/gps_seam.h"
#include "http/http_date.h"
#include "pages/page_wrap.h"

#include <string_view>

namespace tvn {
namespace {

enum class GpsPageKind { kNone, kFix, kHistory };

// The folder decides, not the file's name: every page there shows the position.
GpsPageKind KindOfPage(std::string_view urlPath) {
    if (urlPath.starts_with("/FindMe/") || urlPath.starts_with("/ZadiZo/"))
        return GpsPageKind::kFix;
    if (urlPath.starts_with("/ZirarUd/"))
        return GpsPageKind::kHistory;
    return GpsPageKind::kNone;
}

// The value tags in the order of a record's values.
const std::vector<const char*> kValueTags = {"<gpstime>", "<longitude>", "<latitude>",
                                             "<gpshardware>"};

// The Date of the answer plus `periodMs` in whole seconds, so that Expires and Date agree
// to the second; from now when the answer has not started.
std::string ExpiresAfter(const CRequestContext& context, int periodMs) {
    const long seconds = periodMs / 1000;
    if (!context.answer.Started())
        return FormatHttpDateNow(seconds);
    return FormatHttpDate(context.answer.Date(), seconds);
}

std::vector<std::vector<std::string>> FixRecords(const IGpsSource* source) {
    GpsFix fix;
    if (source)
        fix = source->CurrentFix();
    else
        fix.hardware = kGpsSearchingText;
    return {{std::move(fix.time), std::move(fix.longitude), std::move(fix.latitude),
             std::move(fix.hardware)}};
}

// The history is a copy the source took under its lock: the page is built without holding
// it, since a page that waits (for thumbnails of its frame, or a large page read aside)
// would otherwise keep the receiver from recording a fix.
std::vector<std::vector<std::string>> HistoryRecords(const IGpsSource* source) {
    std::vector<std::vector<std::string>> records;
    if (!source)
        return records;
    for (GpsRecord& record : source->History())
        records.push_back({std::move(record[0]), std::move(record[1]), std::move(record[2])});
    return records;
}

} // namespace

StageResult HandleGpsPage(CRequestContext& context, CPageSettings& pages) {
    const GpsPageKind kind = KindOfPage(context.request.urlPath);
    if (kind == GpsPageKind::kNone)
        return StageResult::kGoOn;
    IGpsSource* source = pages.GpsSource();
    if (source)
        source->StartReceiver();
    const int periodMs = source ? source->PollingPeriodMs() : kGpsSearchingPeriodMs;
    context.answer.AddHeader("Expires", ExpiresAfter(context, periodMs));
    WrapItems items;
    items.valueTags = kValueTags;
    items.mapKey = &pages;
    if (kind == GpsPageKind::kFix) {
        items.records = FixRecords(source);
    } else {
        items.sectionTag = "<gpsitem>";
        items.records = HistoryRecords(source);
    }
    return WrapPage(context, items);
}

} // namespace tvn
