#pragma once

// The relay service's two halves of a relayed connection, free of sockets and clocks: the
// request message that goes out until the server acknowledges it, and the response messages
// that come back, each written once and in order.
#include "relay/datagram.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tvn::relay {

using Millis = std::chrono::milliseconds;

// Sends the request message (open, sequence 0) again every kResendPeriod until it is
// acknowledged, kMaxSends times in all. Its connection id is -1, so that the server assigns
// one, or an id of the relay's own (see CRelayService::StartNextOpen).
class CRequestSender {
  public:
    static constexpr Millis kResendPeriod{3000};
    static constexpr int kMaxSends = 5;
    enum class Action { kWait, kSend, kGiveUp };

    // `message`: the first line with the browser's address, then the request bytes; at most
    // kMaxMessage bytes.
    CRequestSender(std::int32_t requestId, std::string_view message);

    // The first sending at `now`: kSend.
    Action Start(Millis now);
    // kSend when the period since the last sending has passed, kGiveUp when that was the
    // last sending, else kWait.
    Action OnTick(Millis now);
    // The fragments to send at each kSend.
    const std::vector<std::string>& Datagrams() const { return datagrams; }
    std::int32_t RequestId() const { return requestId; }
    int Sends() const { return sends; }

  private:
    std::int32_t requestId;
    std::vector<std::string> datagrams;
    Millis lastSent{0};
    int sends = 0;
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
