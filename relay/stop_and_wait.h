#pragma once

// The stop-and-wait sender of the relay protocol, shared by the server (its response
// messages) and the relay service (its request messages): one message at a time goes out
// until it is acknowledged, again after every wait, a fixed number of times in all. Free of
// sockets and clocks: the caller passes the time in and sends what it is told to send.
#include <chrono>
#include <cstdint>

namespace tvn::relay {

using Millis = std::chrono::milliseconds;

// The steady clock's time as both ends pass it in.
Millis SteadyNow();

// How often a message goes out and how long each sending waits for its acknowledgement.
struct RetryPolicy {
    int attempts = 5; // sendings in all, the first included
    Millis wait{5000};
};

// The protocol's numbers. The server sends each response message 5 times, 5 s apart; the
// relay service sends each request message 5 times, 3 s apart. Change the retry count here.
inline constexpr RetryPolicy kResponseRetries{5, Millis{5000}};
inline constexpr RetryPolicy kRequestRetries{5, Millis{3000}};

class CStopAndWait {
  public:
    enum class Action {
        kIdle,         // nothing to do now
        kTransmit,     // send the message's fragments (all of them) now
        kGiveUp,       // the last sending's wait ended unacknowledged: the message failed
        kAcknowledged, // the message in flight was acknowledged
    };
    enum class State { kIdle, kWaitingForAck };

    // A policy of fewer than 1 attempt makes 1; a negative wait waits nothing.
    explicit CStopAndWait(RetryPolicy policy = kResponseRetries);

    // Message `sequence` begins at `now` (whatever was in flight is forgotten): kTransmit.
    Action Begin(std::uint32_t sequence, Millis now);
    // While a message waits: kTransmit once its wait has passed and sendings are left,
    // kGiveUp once the last one's wait has passed (the machine is then idle); else kIdle.
    Action OnTick(Millis now);
    // An acknowledgement of `sequence` at `now`: kAcknowledged when it is of the message in
    // flight (the machine is then idle); kIdle for an old or stray one, which changes
    // nothing.
    Action OnAck(std::uint32_t sequence, Millis now);
    // Nothing is in flight any more (the peer closed, the connection ends).
    void Cancel() { state = State::kIdle; }

    State Current() const { return state; }
    bool InFlight() const { return state == State::kWaitingForAck; }
    // Sendings of the current (or last) message so far.
    int Sends() const { return sends; }
    // When the next OnTick has something to do; meaningless while idle.
    Millis Deadline() const { return lastSent + policy.wait; }
    const RetryPolicy& Policy() const { return policy; }

  private:
    RetryPolicy policy;
    State state = State::kIdle;
    std::uint32_t sequence = 0;
    Millis lastSent{0};
    int sends = 0;
};

} // namespace tvn::relay
