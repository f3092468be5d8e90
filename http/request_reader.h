#pragma once

#include "http/request.h"

#include <string_view>

namespace tvn {

// Reads one request from the bytes of a connection, in pieces of any size. Lines end at
// LF, with or without CR (a CR is dropped wherever it stands); the head ends at the first
// empty line; a body follows when Content-Length is present and positive.
class CRequestReader {
  public:
    enum class Outcome { NeedMore, Complete, Reject };
    enum class State { ReadingRequestLine, ReadingHeaders, ReadingBody, RequestComplete };

    static constexpr std::size_t kMaxHeadBytes = 64 * 1024;
    static constexpr int kMaxBodyBytes = 1024 * 1024;

    // Consumes `bytes` into `request`. Complete: the request is whole (bytes behind it are
    // ignored); Reject: the request cannot be served and RejectStatus() tells the answer.
    Outcome Feed(std::string_view bytes, CRequest& request);
    State GetState() const { return state; }
    int RejectStatus() const { return rejectStatus; }
    // True when bytes followed the complete request in what was fed.
    bool HadTrailingBytes() const { return trailingBytes; }

  private:
    Outcome ConsumeLine(CRequest& request);
    Outcome ConsumeRequestLine(CRequest& request);
    void ConsumeHeaderLine(CRequest& request);
    bool BeginBody(CRequest& request);
    Outcome Reject(int status);

    State state = State::ReadingRequestLine;
    std::string line;
    std::size_t headBytes = 0;
    int rejectStatus = 0;
    bool trailingBytes = false;
};

} // namespace tvn
