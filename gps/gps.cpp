#include "gps/gps.h"

#include "config/settings_section.h"
#include "config/stored_path.h"
#include "gps/detail/nmea.h"
#include "platform/ini_file.h"
#include "platform/system_paths.h"

#include <array>
#include <charconv>
#include <chrono>

namespace tvn {
namespace {

constexpr const char* kLookingForHardware = "Looking for GPS hardware..........";
// The port numbers run 0..9; a search tries 31 names.
constexpr int kPortCount = 10;
constexpr int kSearchTries = 31;
constexpr std::size_t kReadBytes = 8191;

std::int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The folder that holds `file`, or "." when it names none.
std::string FolderOf(const std::string& file) {
    const auto slash = file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

// gps.log goes beside the access log: a folder chosen for the logs (by the user, or by the
// run script away from the program's folder) holds both.
std::string DefaultLogFileName() {
    const std::string accessLog = ini::ReadString(SettingsSection::FilePath(), kSettingsSectionName,
                                                  setting::kLogFileName.name, "");
    const std::string folder =
        accessLog.empty() ? LogFolder() : FolderOf(FromStoredPath(accessLog));
    return ToStoredPath(JoinPath(folder, "gps.log"));
}

} // namespace

GPS::GPS(GpsTimings newTimings)
    : timings(newTimings),
      historyFile(JoinPath(FolderOf(SettingsSection::FilePath()), "gpsfix.log")) {
    // The settings are read in this order, so that a new settings file lists them so.
    const SettingsSection settings;
    portTemplate = settings.Text(setting::kNmeaPortTemplate);
    logFile = FromStoredPath(settings.Text(setting::kGpsLogFileName, DefaultLogFileName()));
    logFileSize = settings.Number(setting::kGpsLogFileSize);
    timePrec = settings.Number(setting::kGpsLogTimePrec);
    distPrec = gps::LeadingReal(settings.Text(setting::kGpsLogDistPrec));
    validityMin = settings.Number(setting::kGpsValidityMin);
    validityMax = settings.Number(setting::kGpsValidityMax);
    maxDop = gps::LeadingReal(settings.Text(setting::kGpsMaxDop));
    maxFixes = settings.Number(setting::kGpsMaxFixes);
    prevTime = settings.Number(setting::kGpsPrevTime);
    prevLon = gps::LeadingReal(settings.Text(setting::kGpsPrevLon));
    prevLat = gps::LeadingReal(settings.Text(setting::kGpsPrevLat));
    sentencePattern = gps::AtlPattern(settings.Text(setting::kNmeaSentence), 8);
    coordinatePattern = gps::AtlPattern(settings.Text(setting::kNmeaCoordinate), 2);
    timePattern = gps::AtlPattern(settings.Text(setting::kNmeaTime), 3);
    fix.hardware = kLookingForHardware;
    if (sentencePattern.Usable() && coordinatePattern.Usable() && timePattern.Usable())
        LoadHistory();
}

GPS::~GPS() {
    Stop(); // the worker closes the port on its way out
    port.Close();
    // Without its patterns the receiver never loaded the history; writing the empty one
    // would lose the file for the run that has them again.
    if (historyLoaded)
        SaveHistory();
    const SettingsSection settings;
    settings.Store(setting::kGpsPrevTime, prevTime);
    settings.Store(setting::kGpsPrevLon, gps::FormatSignificant10(prevLon));
    settings.Store(setting::kGpsPrevLat, gps::FormatSignificant10(prevLat));
    gpsLog.Close();
}

void GPS::StartReceiver() { StartReceiverAt(SteadyNowMs()); }

int GPS::StartReceiverAt(std::int64_t nowMs) {
    {
        std::lock_guard guard(stateLock);
        if (running)
            return 1;
        // A visitor's page asks for a start with every request: after a search that found
        // nothing the ports rest for as long as a search takes.
        if (searchEndedMs &&
            nowMs - *searchEndedMs < std::int64_t{kSearchTries} * timings.searchPeriodMs)
            return 1;
        running = true;
    }
    // A worker that stopped itself may still be ending: it is joined, so that the start
    // below begins a new one instead of only changing the period of the one that ends.
    CWorkThread::Stop();
    attempts = 0;
    wakeRead.Clear();
    CancelReports(false);
    return CWorkThread::Start(timings.searchPeriodMs);
}

int GPS::Stop() {
    {
        std::lock_guard guard(stateLock);
        running = false;
        searchEndedMs = SteadyNowMs();
    }
    if (std::this_thread::get_id() == workerId.load()) {
        SignalStop(); // the end of a search, from the worker itself
        return 0;
    }
    wakeRead.Signal();
    CancelReports(true);
    return CWorkThread::Stop();
}

int GPS::PollingPeriodMs() const {
    const int period = PeriodMs();
    return period > 0 ? period : timings.searchPeriodMs;
}

GpsFix GPS::CurrentFix() const {
    std::lock_guard guard(fixLock);
    return fix;
}

void GPS::Notify(bool final) {
    workerId = std::this_thread::get_id();
    if (final)
        port.Close(); // only the worker that reads a port closes it
    else
        Poll();
}

void GPS::Poll() {
    if (!port.IsOpen() && !OpenNextPort())
        return;
    std::array<char, kReadBytes> buffer;
    const std::size_t got =
        port.Read(buffer.data(), buffer.size(), timings.readTimeoutMs, wakeRead.Fd());
    if (got > 0 && ProcessInput(std::string_view(buffer.data(), got))) {
        attempts = 0;
        CWorkThread::Start(timings.receivePeriodMs);
        return;
    }
    port.Close();
    CWorkThread::Start(timings.searchPeriodMs);
}

bool GPS::OpenNextPort() {
    if (nextPort >= kPortCount)
        nextPort = 0;
    std::string name;
    if (attempts++ < kSearchTries) {
        name = gps::FillTemplate(portTemplate, {{'d', std::to_string(nextPort)}});
        ++nextPort;
    } else {
        Stop();
    }
    portName = name;
    if (name.empty())
        return false;
    Log("\n" + name);
    std::string hardware = "GPS on " + name;
    if (!port.Open(name))
        hardware += "  not found. Searching...";
    SetHardware(hardware);
    if (!port.IsOpen()) {
        Log(".. failed");
        return false;
    }
    return true;
}

void GPS::Log(std::string_view text) { gpsLog.Append(logFile, logFileSize, text); }

void GPS::SetHardware(const std::string& text) {
    std::lock_guard guard(fixLock);
    fix.hardware = text;
}

bool GPS::ProcessInput(std::string_view bytes) {
    return gps::TakeLines(pending, bytes, [this](std::string_view line) { ParseSentence(line); }) >
           0;
}

void GPS::ParseSentence(std::string_view line) {
    if (line.size() > gps::kMaxSentenceLength)
        return;
    const auto groups = sentencePattern.Search(line);
    if (!groups)
        return;
    const std::vector<std::string>& g = *groups;
    const std::string_view shown = gps::UpToNul(line);
    unsigned sent = 0;
    std::from_chars(g[7].data(), g[7].data() + g[7].size(), sent, 16);
    if ((sent & 0xFF) != gps::SentenceChecksum(line)) {
        Log("\nToExtract checksum:  " + std::string(shown));
        return;
    }
    const int quality = gps::LeadingInt(g[5]);
    if (quality < validityMin || quality > validityMax) {
        Log("\nToExtract validity: " + std::to_string(quality) + "," + std::to_string(validityMin) +
            "->" + std::to_string(validityMax) + "  " + std::string(shown));
        return;
    }
    const double dilution = gps::LeadingReal(g[6]);
    if (dilution > maxDop) {
        Log("\nToExtract DOP " + gps::FormatFixed6(dilution) + "," + gps::FormatFixed6(maxDop) +
            "  " + std::string(shown));
        return;
    }
    const std::string timeText = ConvertTime(g[0]);
    const int timeNumber = gps::LeadingInt(g[0]);
    const Coordinate latitude = ConvertCoordinate((g[2] == "N" ? "" : "-") + g[1]);
    const Coordinate longitude = ConvertCoordinate((g[4] == "E" ? "" : "-") + g[3]);
    {
        std::lock_guard guard(fixLock);
        fix.time = timeText;
        fix.latitude = latitude.text;
        fix.longitude = longitude.text;
    }
    Log("\n" + timeText + "," + longitude.text + "," + latitude.text);
    if (!timeText.empty() && !longitude.text.empty() && !latitude.text.empty())
        RecordFix(timeNumber, longitude.value, latitude.value, timeText, longitude.text,
                  latitude.text);
}

std::string GPS::ConvertTime(std::string_view text) const {
    const auto groups = timePattern.Search(text);
    if (!groups)
        return {};
    const std::vector<std::string>& g = *groups;
    return g[0] + ":" + g[1] + ":" + g[2] + " UTC";
}

GPS::Coordinate GPS::ConvertCoordinate(std::string_view text) const {
    const auto groups = coordinatePattern.Search(text);
    if (!groups)
        return {};
    const std::vector<std::string>& g = *groups;
    const double degrees = gps::LeadingReal(g[0]);
    const double minutes = gps::LeadingReal(g[1]);
    // "-00" is a south or west position below one degree: its sign is in the text only.
    const double value =
        g[0].find('-') == std::string::npos ? degrees + minutes / 60 : degrees - minutes / 60;
    return {value, gps::FormatSignificant10(value)};
}

} // namespace tvn
