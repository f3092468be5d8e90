#include "http/request_connection.h"

#include "http/request_channel.h"
#include "platform/text.h"

#include <QCoreApplication>
#include <QtGlobal>
#include <algorithm>
#include <unistd.h>

namespace tvn {

CRequestConnection::CRequestConnection(CHttpSvrDoc& server, IRequestChannel& owner)
    : CRequestContext(server, owner.PeerName()), channel(owner), lastProgress(Clock::now()),
      started(lastProgress) {}

void CRequestConnection::Step() {
    ConnState before;
    waiting = false;
    do {
        before = state;
        switch (state) { // no default: -Wswitch flags a new state
        case ConnState::ReadingRequest:
            ReadRequest();
            break;
        case ConnState::Handling:
            Handle();
            break;
        case ConnState::Waiting:
            waiting = true; // the parked work comes back through OnAnswerReady
            break;
        case ConnState::ReceivingBody:
            ReceiveSome();
            break;
        case ConnState::Writing:
            WriteSome();
            break;
        case ConnState::Draining:
            Drain();
            break;
        case ConnState::Closing:
            Close();
            break;
        case ConnState::Done:
            break;
        }
    } while (state != before && !waiting);
    if (released)
        return;
    // The one place where the notification interest follows from the state.
    const bool body = state == ConnState::ReceivingBody;
    const bool bodyRoom = body && continueLeft.empty() && BodySink() && !BodySink()->Full();
    channel.Rearm(state == ConnState::ReadingRequest || state == ConnState::Draining || bodyRoom,
                  state == ConnState::Writing || (body && !continueLeft.empty()));
    if (state == ConnState::Done) {
        released = true;
        channel.Release();
    }
}

bool CRequestConnection::CanPark() const { return QCoreApplication::instance() != nullptr; }

void CRequestConnection::OnAnswerReady() {
    if (state == ConnState::ReceivingBody) {
        // The body's way to disk failed before the body was all read: the answer says so,
        // and what the client still sends is drained.
        DropBodySink();
        continueLeft.clear();
        mayHaveUnread = true;
        state = ConnState::Waiting;
    }
    if (state != ConnState::Waiting)
        return;
    lastProgress = Clock::now();
    state = ConnState::Writing;
    Step();
}

void CRequestConnection::OnParkedAgain() {
    if (BeginReceivingBody())
        Step();
}

bool CRequestConnection::BeginReceivingBody() {
    if (state != ConnState::Waiting || !BodySink())
        return false;
    // A client that waits for leave to send its body gets it now.
    if (bodyLeft > 0 && request.version == "HTTP/1.1" &&
        EqualsNoCase(request.Header("expect"), "100-continue"))
        continueLeft = "HTTP/1.1 100 Continue\r\n\r\n";
    lastProgress = Clock::now();
    state = ConnState::ReceivingBody;
    return true;
}

void CRequestConnection::OnBodyRoom() {
    if (state != ConnState::ReceivingBody)
        return;
    lastProgress = Clock::now();
    Step();
}

bool CRequestConnection::ExpireIfIdle(Clock::time_point now) {
    if (state == ConnState::Done)
        return false;
    const bool headLate = state == ConnState::ReadingRequest && now - started >= kHeadDeadline;
    // A kept connection waits for its next request only so long.
    const bool keptIdle =
        state == ConnState::ReadingRequest && answered > 0 && now - lastProgress >= kKeepAliveIdle;
    const bool drainedEnough = state == ConnState::Draining && now - lastProgress >= kLingerLimit;
    if (!headLate && !keptIdle && !drainedEnough && now - lastProgress < kIdleLimit)
        return false;
    BeginClosing(false);
    Step();
    return true;
}

bool CRequestConnection::AbandonIfReadingHead() {
    // A connection that only lingers after its answer is as cheap to end.
    if (state != ConnState::ReadingRequest && state != ConnState::Draining)
        return false;
    BeginClosing(false);
    Step();
    return true;
}

void CRequestConnection::BeginClosing(bool drain) {
    if (!drain)
        mayHaveUnread = false;
    // The answer is out, but the client may still be sending (a body no answer uses):
    // closing now would reset the connection and the client could lose the answer. The
    // server says it is done and reads what still comes, without keeping it, for a while.
    if (drain && mayHaveUnread && channel.CanLinger() && channel.ShutDown(1)) {
        state = ConnState::Draining;
        lastProgress = Clock::now();
        return;
    }
    state = ConnState::Closing;
}

void CRequestConnection::BeginNextRequest() {
    ResetForNextRequest();
    reader = CRequestReader();
    headWasWhole = false;
    mayHaveUnread = true;
    drained = 0;
    lastProgress = Clock::now();
    started = lastProgress; // the head deadline counts for each request anew
    state = ConnState::ReadingRequest;
}

void CRequestConnection::Drain() {
    Q_ASSERT(state == ConnState::Draining);
    for (;;) {
        const long received = channel.Receive(buffer.Data(), buffer.Size());
        if (received == IRequestChannel::kWouldBlock) {
            waiting = true;
            return;
        }
        if (received <= 0 || (drained += static_cast<std::size_t>(received)) > kLingerBytes) {
            mayHaveUnread = received > 0; // what is left the reset takes
            state = ConnState::Closing;
            return;
        }
    }
}

void CRequestConnection::ReadRequest() {
    Q_ASSERT(state == ConnState::ReadingRequest);
    long received = 0;
    if (!unread.empty()) {
        // The bytes that came behind the last head are the start of this one; they came in
        // one read, so they fit.
        received = static_cast<long>(std::min(unread.size(), buffer.Size()));
        unread.copy(buffer.Data(), static_cast<std::size_t>(received));
        unread.clear();
    } else {
        received = channel.Receive(buffer.Data(), buffer.Size());
    }
    if (received == IRequestChannel::kWouldBlock) {
        waiting = true;
        return;
    }
    if (received == 0 || received == IRequestChannel::kFailed) {
        // The peer closed (or the socket broke) before its request was whole.
        BeginClosing(false);
        return;
    }
    lastProgress = Clock::now();
    switch (
        reader.Feed(std::string_view(buffer.Data(), static_cast<std::size_t>(received)), request)) {
    case CRequestReader::Outcome::NeedMore:
        break;
    case CRequestReader::Outcome::Complete:
        mayHaveUnread =
            static_cast<std::size_t>(received) == buffer.Size() || reader.HadTrailingBytes();
        // Behind the head: the next head on a kept connection, or the start of a body.
        if ((maxRequests > 1 || request.contentLength > 0) &&
            reader.HeadEnd() < static_cast<std::size_t>(received))
            unread.assign(buffer.Data() + reader.HeadEnd(),
                          static_cast<std::size_t>(received) - reader.HeadEnd());
        state = ConnState::Handling;
        break;
    case CRequestReader::Outcome::Reject:
        buffer.Reset();
        answer.StartError(StatusForCode(reader.RejectStatus()));
        WriteAnswer();
        state = ConnState::Writing;
        break;
    }
}

void CRequestConnection::Handle() {
    Q_ASSERT(state == ConnState::Handling);
    buffer.Reset();
    relayed = channel.IsRelayed(); // the desktop pages refuse relayed visitors
    secure = channel.IsSecure();
    headWasWhole = true;
    SetRequestsLeft(maxRequests - answered - 1);
    RunRequest();
    state = Parked() ? ConnState::Waiting : ConnState::Writing;
    BeginReceivingBody();
}

bool CRequestConnection::SendContinue() {
    while (!continueLeft.empty()) {
        const long sent = channel.Send(continueLeft.data(), continueLeft.size(), false);
        if (sent == IRequestChannel::kWouldBlock) {
            waiting = true;
            return false;
        }
        if (sent <= 0) {
            DropBodySink();
            BeginClosing(false);
            return false;
        }
        continueLeft.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}

void CRequestConnection::ReceiveSome() {
    Q_ASSERT(state == ConnState::ReceivingBody);
    IBodySink* sink = BodySink();
    if (!sink) {
        state = ConnState::Waiting;
        return;
    }
    if (!SendContinue())
        return;
    while (bodyLeft > 0) {
        if (sink->Full()) {
            waiting = true; // the sink's room brings the connection back
            return;
        }
        const auto want = static_cast<std::size_t>(
            std::min<long long>(bodyLeft, static_cast<long long>(kBodyPiece)));
        long received = 0;
        bool taken = true;
        if (!unread.empty()) {
            received = static_cast<long>(std::min(unread.size(), want));
            taken =
                sink->Take(std::string_view(unread).substr(0, static_cast<std::size_t>(received)));
            unread.erase(0, static_cast<std::size_t>(received));
        } else if (const std::span<char> room = sink->Room(want); !room.empty()) {
            // Straight into the sink's own memory: no copy on the way to disk.
            received = channel.Receive(room.data(), room.size());
            taken = sink->TakeRoom(received > 0 ? static_cast<std::size_t>(received) : 0);
        } else {
            if (!bodyPiece)
                bodyPiece = std::make_unique_for_overwrite<char[]>(kBodyPiece);
            received = channel.Receive(bodyPiece.get(), want);
            if (received > 0)
                taken = sink->Take(
                    std::string_view(bodyPiece.get(), static_cast<std::size_t>(received)));
        }
        if (received == IRequestChannel::kWouldBlock) {
            waiting = true;
            return;
        }
        if (received <= 0) {
            // The client left before its body was whole: nothing of it is kept.
            DropBodySink();
            BeginClosing(false);
            return;
        }
        lastProgress = Clock::now();
        bodyLeft -= received;
        if (!taken) {
            bodyPiece.reset();
            state = ConnState::Waiting; // the writer failed: its wake brings the answer
            return;
        }
    }
    bodyPiece.reset();
    sink->End();
    state = ConnState::Waiting;
}

void CRequestConnection::WriteSome() {
    Q_ASSERT(state == ConnState::Writing);
    // Goes on until the socket would block or the answer is out: going round the event
    // loop between two pieces would cost a wake-up for nothing.
    while (!waiting) {
        if (buffer.Pending() == 0 && answer.Source() && !RefillFromSource())
            return;
        if (buffer.Pending() == 0 && !RefillFromFile()) {
            if (headWasWhole)
                ++answered;
            if (headWasWhole && KeepsConnection() && request.contentLength == 0)
                BeginNextRequest();
            else
                BeginClosing(true);
            return;
        }
        if (buffer.Pending() == 0)
            continue; // the file went out through SendFile, or waits for the socket
        const COpenFile& file = answer.File();
        const bool more = (file.IsOpen() && file.offset < file.size) || answer.Source();
        const long sent = channel.Send(buffer.Data(), buffer.Pending(), more);
        if (sent == IRequestChannel::kWouldBlock) {
            waiting = true;
            return;
        }
        if (sent == IRequestChannel::kFailed) {
            BeginClosing(false);
            return;
        }
        lastProgress = Clock::now();
        buffer.Consume(static_cast<std::size_t>(sent));
    }
}

bool CRequestConnection::RefillFromSource() {
    switch (answer.Source()->Produce(buffer)) {
    case IBodySource::Outcome::kMore:
        return true;
    case IBodySource::Outcome::kEnd:
        answer.SetSource(nullptr); // whole: the answer ends as one with a file part does
        return true;
    case IBodySource::Outcome::kFailed:
        break;
    }
    // The client counts on the length announced: a connection that ends short of it tells
    // that the body is broken, where a keep-alive would leave it waiting or misread.
    buffer.SetPending(0);
    answer.SetSource(nullptr);
    BeginClosing(false);
    return false;
}

// Puts the next part of the open file on its way. False when nothing is left to send.
bool CRequestConnection::RefillFromFile() {
    COpenFile& file = answer.File();
    if (!file.IsOpen())
        return false;
    const off_t left = file.size - file.offset;
    if (left > 0) {
        const long sent = channel.SendFile(
            file.fd.Get(), file.offset, static_cast<std::size_t>(std::min<off_t>(left, 1 << 20)));
        if (sent > 0) {
            lastProgress = Clock::now();
            return true;
        }
        if (sent == IRequestChannel::kWouldBlock) {
            waiting = true;
            return true;
        }
        if (sent == IRequestChannel::kFailed) {
            file.Close();
            return false;
        }
        if (sent == IRequestChannel::kUnsupported) {
            // No more than Content-Length said, should the file have grown since.
            const std::size_t want = static_cast<std::size_t>(std::min<off_t>(left, buffer.Size()));
            const ssize_t n = ::pread(file.fd.Get(), buffer.Data(), want, file.offset);
            if (n > 0) {
                file.offset += n;
                buffer.SetPending(static_cast<std::size_t>(n));
                return true;
            }
        }
    }
    // End of file, a read error, or a file that shrank meanwhile: the answer ends here.
    file.Close();
    return false;
}

void CRequestConnection::Close() {
    Q_ASSERT(state == ConnState::Closing);
    answer.File().Close();
    state = ConnState::Done;
    channel.Rearm(false, false);
    // Drain unread input before closing: closing with unread data makes the kernel send
    // RST, and the browser can lose the tail of an answer it already got. A request read
    // whole with nothing behind it leaves nothing to drain.
    for (int i = 0; mayHaveUnread && i < 4 && channel.Receive(buffer.Data(), buffer.Size()) > 0;
         ++i) {
    }
    channel.ShutDown(2);
}

} // namespace tvn
