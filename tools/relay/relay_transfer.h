#pragma once

// The relay service's two halves of a relayed connection, free of sockets and clocks: the
// request message that goes out until the server acknowledges it, and the response messages
// that come back, each written once and in order.
#include "relay/datagram.h"
#include "relay/stop_and_wait.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tvn::relay {

// Sends the request message (open, sequence 0) until it is acknowledged: again after every
// wait of `retries`, kRequestRetries (5 times, 3 s apart) unless the options say otherwise.
// Its connection id is -1, so that the server assigns one, or an id of the relay's own (see
// CRelayService::StartNextOpen).
class CRequestSender {
  public:
    using Action = CStopAndWait::Action;

    // `message`: the first line with the browser's address, then the request bytes; at most
    // kMaxMessage bytes.
    CRequestSender(std::int32_t requestId, std::string_view message,
                   RetryPolicy retries = kRequestRetries);

    // The first sending at `now`: kTransmit.
    Action Start(Millis now) { return machine.Begin(0, now); }
    // kTransmit when the wait since the last sending has passed, kGiveUp when that was the
    // last sending, else kIdle.
    Action OnTick(Millis now) { return machine.OnTick(now); }
    // The server acknowledged the request (see IsOpenAck): kAcknowledged while it was in
    // flight.
    Action OnAck(Millis now) { return machine.OnAck(0, now); }
    // The fragments to send at each kTransmit.
    const std::vector<std::string>& Datagrams() const { return datagrams; }
    std::int32_t RequestId() const { return requestId; }
    int Sends() const { return machine.Sends(); }

  private:
    std::int32_t requestId;
    std::vector<std::string> datagrams;
    CStopAndWait machine;
};

// True for a server's acknowledgement of a request message sent with `requestId`: 16 bytes,
// open and ack set, sequence 0, and that id, or any id but -1 when it was sent with -1.
bool IsOpenAck(const DatagramHeader& header, std::size_t datagramSize, std::int32_t requestId);

// Takes the response messages of one connection (sequence 1, 2, ...). A message is written
// to the browser once, in order, and acknowledged when it is written; one that arrives while
// the browser has no room is held, unacknowledged, so that the server waits.
class CResponseReceiver {
  public:
    struct Step {
        std::string ack;     // datagram for the server; empty when none
        std::string deliver; // bytes for the browser; empty when none
    };

    explicit CResponseReceiver(std::int32_t connectionId);

    // A response datagram of this connection. `room`: whether the browser can take a message
    // now.
    Step OnFragment(const DatagramHeader& header, std::string_view payload, bool room);
    // The browser has room again: the held message, if any, with its acknowledgement.
    Step OnRoom();
    // A message is complete but not yet written.
    bool Holding() const;
    // The sequence of the next message to write.
    std::uint32_t NextSequence() const { return next; }

  private:
    Step Deliver();

    std::int32_t id;
    std::uint32_t next = 1;
    CMessageAssembler assembler;
};

} // namespace tvn::relay
