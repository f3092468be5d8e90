#pragma once

// One browser of the relay service: its request is read, handed to the server registered for
// its host name, and the server's response messages are written back to it.
#include "platform/unique_fd.h"
#include "tools/relay/browser_request.h"
#include "tools/relay/name_registry.h"
#include "tools/relay/relay_transfer.h"

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <optional>
#include <string>

namespace tvn::relay {

class CRelayService;

enum class BrowserState {
    kReadingRequest, // the request's bytes arrive
    kWaitingTurn,    // another request to the same server is being opened
    kOpening,        // the request message goes out until the server acknowledges it
    kRelaying,       // response messages come in and go out to the browser
    kFlushing,       // the last bytes go to the browser, then the connection ends
    kClosed,         // ended; the service deletes it
};

class CBrowserConnection : public QObject {
    Q_OBJECT

  public:
    // More than this waiting for the browser, and response messages are no longer
    // acknowledged: the server waits instead of the relay buffering without limit.
    static constexpr std::size_t kMaxBacklog = 256 * 1024;
    // Nothing from the browser nor from the server for this long ends the connection.
    static constexpr Millis kIdleLimit{60000};

    // `serial`: the service's number for it.
    CBrowserConnection(CRelayService& service, UniqueFd fd, Endpoint browser, std::uint64_t serial,
                       Millis now);
    ~CBrowserConnection() override;

    // Its turn to open: the request message goes out with connection id `requestId`.
    void BeginOpen(std::int32_t requestId, Millis now);
    // The server acknowledged the request message, and `connectionId` is the connection's.
    void OnOpenAck(std::int32_t connectionId, Millis now);
    // A response datagram (not a close) of this connection.
    void OnResponse(const DatagramHeader& header, std::string_view payload, Millis now);
    // The server closed the connection: what it sent is written, then the browser's closes.
    void OnServerClose(Millis now);
    // Resends, gives up, ends an idle connection.
    void OnTick(Millis now);
    // The request head was not whole in time: answered 408, then the connection ends.
    void OnHeadOverdue();
    // Ends the connection at once, unanswered (its place goes to another browser).
    void Abandon() { End(); }

    BrowserState State() const { return state; }
    std::uint64_t Serial() const { return serial; }
    Endpoint Browser() const { return browser; }
    Endpoint Server() const { return server; }
    const std::string& RoutedName() const { return routedName; }
    // The id the request message was sent with (-1: the server assigns one).
    std::int32_t RequestId() const { return sender ? sender->RequestId() : -1; }
    int Sends() const { return sender ? sender->Sends() : 0; }
    // The connection id once the server acknowledged the request.
    std::optional<std::int32_t> ConnectionId() const { return connectionId; }

    // For the log line.
    bool ReceivedAnything() const {
        return !input.empty() || request.kind != BrowserRequest::Kind::kNeedMore;
    }
    const BrowserRequest& Request() const { return request; }
    int Status() const { return status; }
    std::uint64_t BytesWritten() const { return written; }

  signals:
    // The connection has ended; the service deletes it later.
    void finished(CBrowserConnection* connection);

  private:
    void OnReadable();
    void OnWritable();
    void ReadRequest();
    void HandleRequest();
    void Discard();
    void Answer(int answerStatus, std::string_view explanation);
    // The relay's own whole `answer` (status line and all); the connection ends once it is
    // written.
    void AnswerWith(int answerStatus, std::string_view answer);
    void Apply(const CResponseReceiver::Step& step);
    void Queue(std::string_view bytes);
    void WriteSome();
    bool Room() const { return output.size() - sent <= kMaxBacklog; }
    void End();
    void UpdateInterest();

    CRelayService& service;
    UniqueFd fd; // before the notifiers: they go first
    QSocketNotifier readNotifier;
    QSocketNotifier writeNotifier;
    BrowserState state = BrowserState::kReadingRequest;
    Endpoint browser;
    std::uint64_t serial;
    Endpoint server;
    std::string routedName;
    std::string firstLine; // "<browser address>:<port>\r\n", the request message's first line
    std::string input;
    BrowserRequest request;
    std::optional<CRequestSender> sender;
    std::optional<CResponseReceiver> receiver;
    std::optional<std::int32_t> connectionId;
    bool serverClosed = false;
    bool browserDone = false; // the browser sent its end, or the connection broke
    std::string output;
    std::size_t sent = 0; // bytes of `output` already written
    std::uint64_t written = 0;
    int status = 0; // of the answer the browser got; 0 while none
    Millis lastActivity;
};

} // namespace tvn::relay
