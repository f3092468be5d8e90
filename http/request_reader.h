#pragma once

#include "http/request.h"

#include <string_view>

namespace tvn {

// Reads one request from the bytes of a connection, in pieces of any size. Lines end at
// LF, with or without CR (a CR is dropped wherever it stands); the request is complete at
// the first empty line. Content-Length is recorded, but no body is read or kept here: only
// an upload (PUT, or a piece of a resumable one) has one, which the connection streams to disk.
class CRequestReader {
  public:
    enum class Outcome { NeedMore, Complete, Reject };
    enum class State { ReadingRequestLine, ReadingHeaders, RequestComplete };

    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;
    static constexpr int kMaxBodyBytes = 1024 * 1024;
    // The largest body an upload may announce (each folder has its own, smaller limit).
    static constexpr long long kMaxUploadBytes = 1LL << 40;

    // Consumes `bytes` into `request`. Complete: the request is whole (the bytes behind it,
    // from HeadEnd() on, are not read); Reject: the request cannot be served and
    // RejectStatus() tells the answer.
    Outcome Feed(std::string_view bytes, CRequest& request);
    State GetState() const { return state; }
    int RejectStatus() const { return rejectStatus; }
    // True when bytes (a body, say) followed the request, or announced by Content-Length
    // may still come: they must be drained before the connection closes.
    bool HadTrailingBytes() const { return trailingBytes; }
    // Where in the bytes of the Feed that completed the request its head ended.
    std::size_t HeadEnd() const { return headEnd; }

  private:
    // `text`: one line without its CR and LF.
    Outcome ConsumeLine(std::string_view text, CRequest& request);
    Outcome ConsumeRequestLine(std::string_view text, CRequest& request);
    void ConsumeHeaderLine(std::string_view text, CRequest& request);
    // Records Content-Length; false (with rejectStatus) for one over kMaxBodyBytes (over
    // kMaxUploadBytes for an upload: 413).
    bool RecordContentLength(CRequest& request);
    Outcome Reject(int status);

    State state = State::ReadingRequestLine;
    std::string line; // a line cut between two reads, or one with a CR inside, put together
    std::size_t headBytes = 0;
    int rejectStatus = 0;
    bool trailingBytes = false;
    std::size_t headEnd = 0;
};

} // namespace tvn
