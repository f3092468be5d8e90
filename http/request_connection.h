#pragma once

#include "http/request_context.h"
#include "http/request_reader.h"

#include <chrono>
#include <memory>

namespace tvn {

class IRequestChannel;

// One connection's life: read one request, answer it (waiting, parked, while slow work runs
// off the main thread), send the answer and the rest of its file, shut down, or read the
// next request head when ReadsNextHead is on. The same state machine serves TCP and relayed
// channels.
class CRequestConnection : public CRequestContext {
  public:
    enum class ConnState {
        ReadingRequest,
        Handling,
        Waiting,
        ReceivingBody,
        Writing,
        Draining,
        Closing,
        Done
    };
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kIdleLimit{60};
    // A request head must be whole this long after the connection began, however slowly it
    // trickles in: a client sending a byte now and then must not hold a descriptor for ever.
    static constexpr std::chrono::seconds kHeadDeadline{30};
    // After the answer, what the client still sends is read and dropped, up to this much
    // for this long without progress, before the connection closes.
    static constexpr std::size_t kLingerBytes = 2 * 1024 * 1024;
    static constexpr std::chrono::seconds kLingerLimit{5};
    // A connection kept after an answer waits this long for the next request.
    static constexpr std::chrono::seconds kKeepAliveIdle{15};
    // The most requests one connection carries.
    static constexpr int kMaxRequestsPerConnection = 100;

    CRequestConnection(CHttpSvrDoc& doc, IRequestChannel& channel);

    // Runs the state machine as far as it goes without waiting; asks the channel for the
    // notification it then needs. Called at start and on every notification.
    void Step();
    // Closes a connection that made no progress for kIdleLimit by `now`, or whose request
    // head is not whole kHeadDeadline after its start; true when it did.
    bool ExpireIfIdle(Clock::time_point now);
    ConnState State() const { return state; }
    // Closes the connection if its request head is not yet whole, or if its answer is out
    // and it only reads what the client still sends; true when it did.
    bool AbandonIfReadingHead();
    // Lets the connection carry up to `requests` requests, each after the other, when the
    // client asks to keep it and the answer has a known end: after such an answer it reads
    // the next request head, beginning with what came behind the last head. A request with
    // a body still ends the connection. 1 (at first): every
    // connection answers one request, as HTTP/1.0 has it.
    void AllowRequests(int requests) { maxRequests = requests; }
    // The requests this connection has answered.
    int Answered() const { return answered; }

  protected:
    bool CanPark() const override;
    void OnAnswerReady() override;
    void OnParkedAgain() override;
    void OnBodyRoom() override;

  private:
    void ReadRequest();
    void Handle();
    void WriteSome();
    // A parked request that wants its body read: from Waiting to ReceivingBody; false when
    // it wants none.
    bool BeginReceivingBody();
    // Hands the body, as it comes, to the request's sink; stops while the sink is full.
    void ReceiveSome();
    // Sends what is left of the interim "100 Continue"; false while the socket would block.
    bool SendContinue();
    void Drain();
    void Close();
    bool RefillFromFile();
    // Puts the next piece of the answer's source into the buffer; false when the source
    // broke off (the connection then closes, short of the length it announced).
    bool RefillFromSource();
    // Every end of the connection goes this way: the peer left, the idle limit, an error
    // or the answer sent. `drain` reads what the client may still have sent first.
    void BeginClosing(bool drain);
    // The answer is out and the connection stays: back to reading a request head.
    void BeginNextRequest();

    IRequestChannel& channel;
    CRequestReader reader;
    ConnState state = ConnState::ReadingRequest;
    bool waiting = false;      // the last step stopped at a would-block
    bool mayHaveUnread = true; // the client may have sent more than its request
    bool released = false;     // the channel was told to go
    int maxRequests = 1;
    int answered = 0;
    bool headWasWhole = false; // the answer is to a whole head, not a refusal of a broken one
    std::size_t drained = 0;   // bytes read and dropped after the answer
    // What came behind a request head in the same read, while the next head is read: the
    // start of the next request, read before the channel is.
    std::string unread;
    // The interim answer a client waiting with "Expect: 100-continue" still has to get.
    std::string continueLeft;
    // A body is read in pieces of up to kBodyPiece, into the sink's own memory when it has
    // some, else here (only while a body is received).
    static constexpr std::size_t kBodyPiece = std::size_t(256) << 10;
    std::unique_ptr<char[]> bodyPiece;
    Clock::time_point lastProgress;
    Clock::time_point started;
};

} // namespace tvn
