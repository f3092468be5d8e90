#pragma once

// How much of a browser's bytes make its request, and where it goes: a pure function over
// the bytes read so far, with three outcomes.
#include <cstddef>
#include <string>
#include <string_view>

namespace tvn::relay {

struct BrowserRequest {
    enum class Kind { kNeedMore, kComplete, kReject } kind = Kind::kNeedMore;
    int status = 0;          // the answer when kReject: 400, 411 or 413
    std::size_t used = 0;    // when kComplete: bytes of the head and its Content-Length body
    std::string host;        // the Host header without its port, lower-case; empty if none
    std::string requestLine; // the first line, without its line end (also when rejected)
    std::string path;        // the request target up to '?'
    std::string query;       // the request target after '?'; empty when none
};

// Reads the request at the start of `bytes`. Lines end at LF, a CR before it is dropped; the
// head ends at the first empty line, and a Content-Length body follows it. Nothing of it may
// reach past `cap` bytes (413); a body announced by chunked transfer coding is refused (411).
BrowserRequest ParseBrowserRequest(std::string_view bytes, std::size_t cap);

// The host part of a Host header value: without a port, lower-case, without a trailing dot.
std::string HostWithoutPort(std::string_view value);

// A whole answer the relay gives itself: status line, a few headers and a short HTML page
// built around `explanation` (no body when `withBody` is false, as for HEAD).
std::string AnswerPage(int status, std::string_view explanation, bool withBody);
// The same with `body` of `contentType` as it stands, never kept by a cache.
std::string AnswerText(int status, std::string_view contentType, std::string_view body,
                       bool withBody);

// The status code of the response that begins with `head` ("HTTP/1.0 200 OK..."); 0 when
// it does not begin with a status line.
int ResponseStatus(std::string_view head);

} // namespace tvn::relay
