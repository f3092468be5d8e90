#pragma once

#include "http/request_channel.h"
#include "http/request_connection.h"
#include "relay/datagram.h"
#include "relay/stop_and_wait.h"

#include <QTimer>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace tvn {

class CHttpSvrDoc;
class CTcpOverUdp;

// One relayed connection: the channel of a CRequestConnection over the relay link. Its
// request arrives as one delivered message; its answer leaves as acknowledged messages of at
// most 16384 bytes (sequences 1, 2, ...), each sent until the service acknowledges it (the
// link's retry policy, 5 times 5 s apart), then one close datagram. Nothing waits by blocking: a
// message in flight makes Send report would-block, and the acknowledgement steps the connection on.
// Every message is filled: bytes sent with more of the answer to follow (a head before its
// file) wait to leave with what follows, as they leave in one segment on TCP.
class CUDPReq : public IRequestChannel {
  public:
    CUDPReq(CHttpSvrDoc& doc, CTcpOverUdp& link, std::int32_t id, const sockaddr_in& peer,
            const relay::MessageDigest& openingDigest);
    ~CUDPReq() override;

    // Hands the request bytes to the connection and runs it as far as it goes.
    void Deliver(std::string request);
    // An acknowledgement for this connection arrived.
    void OnAck(const relay::DatagramHeader& header);
    // The service closed this connection: the answer cannot go anywhere.
    void OnServiceClose();
    // Closes a connection idle (or whose request is incomplete) for too long.
    void ExpireIfIdle(CRequestConnection::Clock::time_point now);

    std::int32_t Id() const { return id; }
    const relay::MessageDigest& OpeningDigest() const { return openingDigest; }
    bool Closed() const { return closed; }

    long Send(const char* data, std::size_t length, bool more = false) override;
    long Receive(char* buffer, std::size_t length) override;
    void Rearm(bool wantRead, bool wantWrite) override;
    bool ShutDown(int how) override;
    // The browser is known to the service only: empty, as the access log then shows.
    std::string PeerName() const override { return {}; }
    bool IsRelayed() const override { return true; }
    // The whole request came in one message: nothing follows it.
    bool CanLinger() const override { return false; }
    void Release() override;

  private:
    // Sends `message` as the next acknowledged message.
    void BeginMessage(std::string_view message);
    // Does what the stop-and-wait sender decided, then sets the resend timer by its state.
    void Apply(relay::CStopAndWait::Action action);
    void ArmResendTimer();
    // The message is done (acknowledged, given up or refused): the connection goes on.
    void AfterMessage();
    void StepLater();
    // Sends the close datagram and hands the connection back to the link.
    void FinishClose();

    CTcpOverUdp& link;
    const std::int32_t id;
    const sockaddr_in peer;
    const relay::MessageDigest openingDigest;
    std::uint32_t sequence = 1; // of the next response message
    std::string delivered;
    bool deliveredTaken = false;
    std::string held; // the start of the next message, while more of the answer follows
    std::vector<std::string> inFlight; // the fragments of the message awaiting its ack
    relay::CStopAndWait sender;        // whether a message is in flight, and when it goes again
    bool failed = false;               // the service gave up or closed: the next Send fails
    bool closed = false;
    bool closeWhenSent = false; // released while its last message was in flight
    bool stepPosted = false;
    QTimer resendTimer;            // on while a message is in flight: the sender's next deadline
    CRequestConnection connection; // last: goes first, while the members it uses stand
};

} // namespace tvn
