// The location log: which fixes are kept and reported, the history and its file, and the
// reports to the location service.
#include "config/settings_section.h"
#include "gps/detail/nmea.h"
#include "gps/gps.h"
#include "platform/http_client.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace tvn {
namespace {

constexpr std::size_t kMaxReportUrl = 499;
constexpr long kReportConnectTimeoutMs = 10000;
constexpr long kReportTimeoutMs = 20000;

} // namespace

GPSZadiZo::GPSZadiZo() : urlTemplate(SettingsSection().Text(setting::kGpsZadiZoUrl)) {}

void GPSZadiZo::SetRelayName(const std::string& name, int newPort) {
    std::lock_guard guard(nameLock);
    serverName = name;
    port = newPort;
}

std::string GPSZadiZo::ReportUrl(int timeNumber, double longitude, double latitude) const {
    std::string name;
    int reportPort;
    {
        std::lock_guard guard(nameLock);
        name = serverName;
        reportPort = port;
    }
    if (name.empty())
        return {};
    std::string url = gps::FillTemplate(urlTemplate, {{'s', name},
                                                      {'d', std::to_string(timeNumber)},
                                                      {'f', gps::FormatFixed6(longitude)},
                                                      {'f', gps::FormatFixed6(latitude)},
                                                      {'d', std::to_string(reportPort)}});
    return url.size() > kMaxReportUrl ? std::string() : url;
}

bool GPSZadiZo::Report(int timeNumber, double longitude, double latitude) const {
    const std::string url = ReportUrl(timeNumber, longitude, latitude);
    if (url.empty())
        return false;
    HttpGetOptions options;
    options.connectTimeoutMs = kReportConnectTimeoutMs;
    options.totalTimeoutMs = kReportTimeoutMs;
    options.cancel = &cancelReports;
    // A failed report is dropped: the next fix that is new enough brings another.
    return HttpGet(url, options).answered;
}

void GPS::RecordFix(int timeNumber, double longitude, double latitude, const std::string& timeText,
                    const std::string& longitudeText, const std::string& latitudeText) {
    if (std::abs(static_cast<long long>(timeNumber) - prevTime) <= timePrec)
        return;
    prevTime = timeNumber;
    // The distances from (0, 0) are compared, not the distance between the two points.
    const double before = std::sqrt(prevLon * prevLon + prevLat * prevLat);
    const double now = std::sqrt(longitude * longitude + latitude * latitude);
    if (std::abs(before - now) > distPrec) {
        prevLon = longitude;
        prevLat = latitude;
        AddToHistory({timeText, longitudeText, latitudeText});
    }
    Report(timeNumber, longitude, latitude);
}

std::size_t GPS::MaxFixes() const { return maxFixes < 1 ? 1 : static_cast<std::size_t>(maxFixes); }

void GPS::AddToHistory(std::vector<std::string> record) {
    std::lock_guard guard(historyLock);
    while (history.size() >= MaxFixes())
        history.pop_front();
    history.push_back(std::move(record));
}

std::vector<GpsRecord> GPS::History() const {
    std::lock_guard guard(historyLock);
    std::vector<GpsRecord> copy;
    copy.reserve(history.size());
    for (const std::vector<std::string>& record : history) {
        GpsRecord entry; // a loaded record may hold more or fewer texts than three
        for (std::size_t i = 0; i < entry.size() && i < record.size(); ++i)
            entry[i] = record[i];
        copy.push_back(std::move(entry));
    }
    return copy;
}

void GPS::LoadHistory() {
    std::lock_guard guard(historyLock);
    historyLoaded = true;
    std::ifstream in(historyFile, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> record = gps::SplitHistoryLine(line);
        if (!record.empty())
            history.push_back(std::move(record));
    }
    while (history.size() > MaxFixes())
        history.pop_front();
}

bool GPS::SaveHistory() const {
    std::lock_guard guard(historyLock);
    std::string text;
    for (const std::vector<std::string>& record : history)
        text += gps::FormatHistoryLine(record);
    // A temporary file renamed over the old one: a failed write leaves the old history.
    const std::string temporary = historyFile + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            ::unlink(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), historyFile.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace tvn
