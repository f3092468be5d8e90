#include "tools/relay/browser_connection.h"

#include "tools/relay/relay_service.h"

#include <cerrno>
#include <sys/socket.h>

namespace tvn::relay {

CBrowserConnection::CBrowserConnection(CRelayService& owner, UniqueFd socket, Endpoint from,
                                       std::uint64_t number, Millis now)
    : service(owner), fd(std::move(socket)), readNotifier(fd.Get(), QSocketNotifier::Read),
      writeNotifier(fd.Get(), QSocketNotifier::Write), browser(from), serial(number),
      firstLine(EndpointText(from) + "\r\n"), lastActivity(now) {
    connect(&readNotifier, &QSocketNotifier::activated, this, &CBrowserConnection::OnReadable);
    connect(&writeNotifier, &QSocketNotifier::activated, this, &CBrowserConnection::OnWritable);
    UpdateInterest();
}

CBrowserConnection::~CBrowserConnection() = default;

void CBrowserConnection::OnReadable() {
    lastActivity = CRelayService::Now();
    if (state == BrowserState::kReadingRequest)
        ReadRequest();
    else
        Discard();
    UpdateInterest();
}

void CBrowserConnection::OnWritable() {
    lastActivity = CRelayService::Now();
    WriteSome();
    UpdateInterest();
}

// The request message holds the first line too, so the request may take what is left.
void CBrowserConnection::ReadRequest() {
    Q_ASSERT(state == BrowserState::kReadingRequest);
    const std::size_t cap = kMaxMessage - firstLine.size();
    char chunk[4096];
    const std::size_t want = std::min(sizeof chunk, cap - input.size());
    const ssize_t n = ::recv(fd.Get(), chunk, want, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        browserDone = true;
        End(); // the browser left before its request was whole
        return;
    }
    input.append(chunk, static_cast<std::size_t>(n));
    request = ParseBrowserRequest(input, cap);
    if (request.kind != BrowserRequest::Kind::kNeedMore)
        service.HeadDone(*this);
    switch (request.kind) {
    case BrowserRequest::Kind::kNeedMore:
        break;
    case BrowserRequest::Kind::kReject:
        Answer(request.status, "The relay cannot carry this request.");
        break;
    case BrowserRequest::Kind::kComplete:
        input.resize(request.used); // bytes after the request are not part of it
        HandleRequest();
        break;
    }
}

void CBrowserConnection::HandleRequest() {
    CRelayService::Route route = service.RouteRequest(request);
    if (route.status != 0 && !route.answer.empty()) {
        AnswerWith(route.status, route.answer);
        return;
    }
    if (route.status != 0) {
        Answer(route.status, route.explanation);
        return;
    }
    server = route.server;
    routedName = route.name;
    state = BrowserState::kWaitingTurn;
    service.Enqueue(*this);
}

// Bytes after the request, or a browser's end: kept from nobody, but read so that a close
// does not turn into a reset that could cost the browser the end of its answer.
void CBrowserConnection::Discard() {
    char chunk[4096];
    const ssize_t n = ::recv(fd.Get(), chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0)
        browserDone = true; // a half-close still reads the answer; a broken one fails a write
}

void CBrowserConnection::BeginOpen(std::int32_t requestId, Millis now) {
    Q_ASSERT(state == BrowserState::kWaitingTurn);
    state = BrowserState::kOpening;
    lastActivity = now;
    sender.emplace(requestId, firstLine + input, service.RequestRetries());
    sender->Start(now);
    for (const auto& datagram : sender->Datagrams())
        service.SendToServer(server, datagram);
    input.clear();
    input.shrink_to_fit();
}

void CBrowserConnection::OnOpenAck(std::int32_t id, Millis now) {
    Q_ASSERT(state == BrowserState::kOpening);
    state = BrowserState::kRelaying;
    lastActivity = now;
    sender->OnAck(now);
    connectionId = id;
    receiver.emplace(id);
}

void CBrowserConnection::OnResponse(const DatagramHeader& header, std::string_view payload,
                                    Millis now) {
    if (state != BrowserState::kRelaying)
        return; // the connection is ending: what the server repeats now needs no answer
    lastActivity = now;
    Apply(receiver->OnFragment(header, payload, Room()));
    UpdateInterest();
}

void CBrowserConnection::OnServerClose(Millis now) {
    if (state != BrowserState::kRelaying && state != BrowserState::kOpening)
        return;
    lastActivity = now;
    serverClosed = true;
    if (receiver)
        Apply(receiver->OnRoom()); // a message held back for a slow browser is whole: write it
    if (written == 0 && output.empty())
        Answer(502, "The server ended the connection without an answer.");
    else
        state = BrowserState::kFlushing;
    WriteSome();
    UpdateInterest();
}

void CBrowserConnection::OnTick(Millis now) {
    if (state == BrowserState::kOpening) {
        switch (sender->OnTick(now)) {
        case CRequestSender::Action::kIdle:
        case CRequestSender::Action::kAcknowledged: // only an acknowledgement says so
            break;
        case CRequestSender::Action::kTransmit:
            for (const auto& datagram : sender->Datagrams())
                service.SendToServer(server, datagram);
            break;
        case CRequestSender::Action::kGiveUp:
            Answer(504, "The server registered for this name did not answer.");
            break;
        }
    }
    if (state != BrowserState::kClosed && now - lastActivity >= kIdleLimit) {
        if (state == BrowserState::kWaitingTurn ||
            (state == BrowserState::kRelaying && written == 0 && output.empty()))
            Answer(504, "The server registered for this name did not answer in time.");
        else
            End();
    }
    UpdateInterest();
}

void CBrowserConnection::OnHeadOverdue() {
    if (state != BrowserState::kReadingRequest)
        return;
    Answer(408, "The request did not arrive in time.");
    UpdateInterest();
}

// The relay's own answer; the connection ends once it is written.
void CBrowserConnection::Answer(int answerStatus, std::string_view explanation) {
    AnswerWith(answerStatus,
               AnswerPage(answerStatus, explanation, !request.requestLine.starts_with("HEAD ")));
}

void CBrowserConnection::AnswerWith(int answerStatus, std::string_view answer) {
    status = answerStatus;
    state = BrowserState::kFlushing;
    Queue(answer);
}

void CBrowserConnection::Apply(const CResponseReceiver::Step& step) {
    if (!step.ack.empty())
        service.SendToServer(server, step.ack);
    if (step.deliver.empty())
        return;
    if (written == 0 && output.empty())
        status = ResponseStatus(step.deliver);
    Queue(step.deliver);
}

void CBrowserConnection::Queue(std::string_view bytes) {
    if (sent > 0 && sent == output.size()) {
        output.clear();
        sent = 0;
    }
    output.append(bytes);
    WriteSome();
}

void CBrowserConnection::WriteSome() {
    while (sent < output.size() && state != BrowserState::kClosed) {
        const ssize_t n = ::send(fd.Get(), output.data() + sent, output.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        if (n <= 0) {
            browserDone = true;
            End(); // the browser is gone
            return;
        }
        sent += static_cast<std::size_t>(n);
        written += static_cast<std::uint64_t>(n);
    }
    if (sent > kMaxBacklog) { // keep the buffer from growing by what is already written
        output.erase(0, sent);
        sent = 0;
    }
    if (state == BrowserState::kRelaying && receiver->Holding() && Room())
        Apply(receiver->OnRoom());
    if (state == BrowserState::kFlushing && sent == output.size())
        End();
}

// The one way out: the browser's connection closes, the server is told when it may still
// be sending, and the service is asked to delete this connection.
void CBrowserConnection::End() {
    if (state == BrowserState::kClosed)
        return;
    const bool serverBusy = state == BrowserState::kOpening || state == BrowserState::kRelaying ||
                            state == BrowserState::kFlushing;
    if (connectionId && serverBusy && !serverClosed)
        service.SendToServer(server, MakeClose(*connectionId, receiver->NextSequence()));
    state = BrowserState::kClosed;
    ::shutdown(fd.Get(), SHUT_RDWR);
    UpdateInterest();
    emit finished(this);
}

void CBrowserConnection::UpdateInterest() {
    readNotifier.setEnabled(state != BrowserState::kClosed && !browserDone);
    writeNotifier.setEnabled(state != BrowserState::kClosed && sent < output.size());
}

} // namespace tvn::relay
