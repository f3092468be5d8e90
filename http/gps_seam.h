#pragma once

#include <array>
#include <string>
#include <vector>

namespace tvn {

// The receiver's current fix as the GPS pages show it: time ("12:35:19 UTC"), longitude and
// latitude (decimal degrees) and the receiver's status text, exactly as the receiver wrote
// them; the first three are empty until the first accepted fix.
struct GpsFix {
    std::string time;
    std::string longitude;
    std::string latitude;
    std::string hardware;
};

// One entry of the location history: fix time, longitude, latitude.
using GpsRecord = std::array<std::string, 3>;

// What the GPS pages need of the GPS receiver, which lives in a layer above the server
// document and is made by the shell. Every call may come from the main thread while the
// receiver's thread works.
class IGpsSource {
  public:
    virtual ~IGpsSource() = default;
    // Starts the receiver's thread when it is not running; returns at once.
    virtual void StartReceiver() = 0;
    // The receiver's polling period in milliseconds: 1000 while searching, 15000 while
    // receiving.
    virtual int PollingPeriodMs() const = 0;
    // A copy of the current fix, never half-written.
    virtual GpsFix CurrentFix() const = 0;
    // A copy of the location history, oldest first, taken under the history's lock.
    virtual std::vector<GpsRecord> History() const = 0;
};

} // namespace tvn
