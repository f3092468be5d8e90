#pragma once

#include "gps/detail/atl_pattern.h"
#include "http/gps_seam.h"
#include "platform/serial_port.h"
#include "platform/trimmed_log.h"
#include "platform/work_thread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tvn {

// The location reporter: tells the location service (GpsZadiZoURL) where this server is,
// under the name it is reachable by worldwide.
class GPSZadiZo {
  public:
    // Reads GpsZadiZoURL.
    GPSZadiZo();
    GPSZadiZo(const GPSZadiZo&) = delete;
    GPSZadiZo& operator=(const GPSZadiZo&) = delete;

    // The name and port put into reports; an empty name sends none. Any thread.
    void SetRelayName(const std::string& name, int port);
    // The URL of a report of this fix; empty when none is sent (no name, or longer than
    // 499 characters).
    std::string ReportUrl(int timeNumber, double longitude, double latitude) const;
    // Sends the report and waits for the answer, which is read and dropped; true when the
    // service answered. Blocks: only on the receiver's worker.
    bool Report(int timeNumber, double longitude, double latitude) const;

  protected:
    ~GPSZadiZo() = default;
    // Makes a report under way give up (or lets them run again).
    void CancelReports(bool cancel) { cancelReports = cancel; }

  private:
    const std::string urlTemplate;
    mutable std::mutex nameLock; // guards the two below
    int port = 0;
    std::string serverName;
    std::atomic<bool> cancelReports = false;
};

// How fast the receiver works: a search each second and a read every 15 s by default;
// tests go faster.
struct GpsTimings {
    int searchPeriodMs = 1000;   // between two port tries
    int receivePeriodMs = 15000; // between two reads of an open port
    int readTimeoutMs = 5000;    // the longest wait of one read
};

// The GPS receiver: searches the serial ports named by NMEAPortTemplate for an NMEA 0183
// receiver, keeps its latest valid GGA fix, logs what it does to the GPS log, keeps the
// location history (gpsfix.log beside the settings) and reports fixes through GPSZadiZo.
class GPS : public GPSZadiZo, public CWorkThread, public IGpsSource {
  public:
    // Reads the settings, compiles the three patterns and, when all compiled, loads the
    // location history. Does not start reading.
    explicit GPS(GpsTimings timings = {});
    // Stops the worker, then saves the history (when it was loaded) and the previous fix to
    // the settings.
    ~GPS() override;

    // Starts a search unless one runs or the last one ended less than one search period
    // (31 tries) before `nowMs` (steady clock); 0 when started, else 1.
    int StartReceiverAt(std::int64_t nowMs);
    // Ends the search or the reading; from the worker itself it only signals. 0 when a
    // worker was running, else 1.
    int Stop() override;

    // IGpsSource
    void StartReceiver() override;
    int PollingPeriodMs() const override;
    GpsFix CurrentFix() const override;
    std::vector<GpsRecord> History() const override;

    // Takes bytes as read from the port; true when at least one complete line was taken.
    // Worker thread (or a test while no worker runs).
    bool ProcessInput(std::string_view bytes);
    // Checks one line and makes it the current fix when it is a valid GGA sentence.
    void ParseSentence(std::string_view line);
    // Keeps a fix that is new enough in time and place, and reports it.
    void RecordFix(int timeNumber, double longitude, double latitude, const std::string& timeText,
                   const std::string& longitudeText, const std::string& latitudeText);
    // Adds the history file's records to the history, keeping its newest GpsMaxFixes.
    void LoadHistory();
    // Writes the history file anew (a temporary file renamed over it); false when it could
    // not be written, and then the old file stays.
    bool SaveHistory() const;
    const std::string& HistoryFile() const { return historyFile; }

  protected:
    void Notify(bool final) override;

  private:
    struct Coordinate {
        double value = 0;
        std::string text;
    };
    void Poll();
    bool OpenNextPort();
    void Log(std::string_view text);
    void SetHardware(const std::string& text);
    std::string ConvertTime(std::string_view text) const;
    Coordinate ConvertCoordinate(std::string_view text) const;
    void AddToHistory(std::vector<std::string> record);
    std::size_t MaxFixes() const;

    const GpsTimings timings;
    mutable std::mutex historyLock; // guards the history and its file
    std::deque<std::vector<std::string>> history;
    bool historyLoaded = false; // not when a pattern did not compile: the file is kept

    // The worker's own: the port and the search.
    SerialPort port;
    int nextPort = 0;
    int attempts = 0;
    std::string portName;
    std::string portTemplate;
    std::string pending;
    WakeEvent wakeRead; // ends a read when the receiver stops
    std::atomic<std::thread::id> workerId;

    gps::AtlPattern sentencePattern;
    gps::AtlPattern coordinatePattern;
    gps::AtlPattern timePattern;

    mutable std::mutex fixLock; // guards the current fix
    GpsFix fix;

    mutable std::mutex stateLock; // guards the two below
    bool running = false;
    std::optional<std::int64_t> searchEndedMs;

    int validityMin = 1;
    int validityMax = 3;
    double maxDop = 50.0;

    TrimmedLog gpsLog;
    std::string logFile; // what the reader did, as a path of this computer
    int logFileSize = 1;
    int timePrec = 1500;
    double distPrec = 0.001;
    int prevTime = 0;
    double prevLon = 0;
    double prevLat = 0;
    int maxFixes = 20;
    std::string historyFile;
};

} // namespace tvn
