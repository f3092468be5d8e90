#include "relay/relayed_request.h"

#include "relay/relay_link.h"

#include <QMetaObject>
#include <algorithm>
#include <cstring>

namespace tvn {

CUDPReq::CUDPReq(CHttpSvrDoc& doc, CTcpOverUdp& owner, std::int32_t connectionId,
                 const sockaddr_in& peerAddress, const relay::MessageDigest& opening)
    : link(owner), id(connectionId), peer(peerAddress), openingDigest(opening),
      sender(owner.Retries()), connection(doc, *this) {
    resendTimer.setSingleShot(true);
    QObject::connect(&resendTimer, &QTimer::timeout,
                     [this] { Apply(sender.OnTick(relay::SteadyNow())); });
}

CUDPReq::~CUDPReq() = default;

void CUDPReq::Deliver(std::string request) {
    delivered = std::move(request);
    deliveredTaken = false;
    connection.Step();
}

long CUDPReq::Receive(char* buffer, std::size_t length) {
    if (deliveredTaken || delivered.empty())
        return kWouldBlock; // a further delivery never comes: the request deadline ends it
    const std::size_t n = std::min(length, delivered.size());
    std::memcpy(buffer, delivered.data(), n);
    delivered.erase(0, n);
    deliveredTaken = delivered.empty();
    return static_cast<long>(n);
}

long CUDPReq::Send(const char* data, std::size_t length, bool more) {
    if (failed || closed)
        return kFailed; // reports its own failure, never a stale errno
    if (sender.InFlight())
        return kWouldBlock;
    // One message per buffer, at most 16384 bytes; the connection sends the rest next. A
    // message that is not full waits while more of the answer follows at once.
    const std::size_t n = std::min(length, relay::kMaxMessage - held.size());
    held.append(data, n);
    if (more && held.size() < relay::kMaxMessage)
        return static_cast<long>(n);
    BeginMessage(held);
    held.clear();
    return static_cast<long>(n);
}

void CUDPReq::BeginMessage(std::string_view message) {
    inFlight = relay::FragmentMessage(0, id, sequence, message);
    Apply(sender.Begin(sequence, relay::SteadyNow()));
}

void CUDPReq::Apply(relay::CStopAndWait::Action action) {
    switch (action) {
    case relay::CStopAndWait::Action::kIdle:
        break; // a timer that fired early, or a stray acknowledgement
    case relay::CStopAndWait::Action::kTransmit:
        for (const std::string& fragment : inFlight) // all fragments, every time
            link.Transmit(fragment, peer);
        break;
    case relay::CStopAndWait::Action::kGiveUp:
        inFlight.clear();
        failed = true; // the next Send fails and the connection finishes
        break;
    case relay::CStopAndWait::Action::kAcknowledged:
        ++sequence;
        inFlight.clear();
        break;
    }
    ArmResendTimer();
    if (action == relay::CStopAndWait::Action::kGiveUp ||
        action == relay::CStopAndWait::Action::kAcknowledged)
        AfterMessage();
}

// The one place the timer follows the sender: on, for its next deadline, while a message is
// in flight.
void CUDPReq::ArmResendTimer() {
    if (sender.InFlight())
        resendTimer.start(std::max(sender.Deadline() - relay::SteadyNow(), relay::Millis{0}));
    else
        resendTimer.stop();
}

void CUDPReq::AfterMessage() {
    if (closeWhenSent)
        FinishClose();
    else
        connection.Step();
}

void CUDPReq::OnAck(const relay::DatagramHeader& header) {
    // An old or stray acknowledgement changes nothing.
    Apply(sender.OnAck(header.sequence, relay::SteadyNow()));
}

void CUDPReq::OnServiceClose() {
    held.clear();
    inFlight.clear();
    sender.Cancel();
    ArmResendTimer();
    failed = true;
    AfterMessage();
}

void CUDPReq::ExpireIfIdle(CRequestConnection::Clock::time_point now) {
    if (!closed)
        connection.ExpireIfIdle(now);
}

void CUDPReq::Rearm(bool, bool wantWrite) {
    // The relay's socket is always ready for another message unless one is in flight; then
    // its acknowledgement steps the connection on.
    if (wantWrite && !sender.InFlight() && !closed)
        StepLater();
}

void CUDPReq::StepLater() {
    if (stepPosted)
        return;
    stepPosted = true;
    QMetaObject::invokeMethod(
        &resendTimer,
        [this] {
            stepPosted = false;
            if (!closed)
                connection.Step();
        },
        Qt::QueuedConnection);
}

bool CUDPReq::ShutDown(int) { return true; }

void CUDPReq::Release() {
    if (closed || closeWhenSent)
        return;
    if (!held.empty() && !failed) {
        // The answer ended sooner than announced (a file that shrank): what was held goes.
        BeginMessage(held);
        held.clear();
    }
    if (sender.InFlight()) {
        // The last message still waits for its acknowledgement: the close follows it, with
        // the sequence after it.
        closeWhenSent = true;
        return;
    }
    FinishClose();
}

void CUDPReq::FinishClose() {
    closed = true;
    sender.Cancel();
    ArmResendTimer();
    inFlight.clear();
    // The end of the answer: never acknowledged, so not waited for.
    link.Transmit(relay::MakeClose(id, sequence), peer);
    link.Retire(*this);
}

} // namespace tvn
