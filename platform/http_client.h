#pragma once

#include <atomic>
#include <string>

namespace tvn {

struct HttpGetOptions {
    long connectTimeoutMs = 10000;
    long totalTimeoutMs = 30000;
    std::size_t keepBytes = 1022; // the rest of a longer answer is not read
    // When set and true, a request under way gives up.
    const std::atomic<bool>* cancel = nullptr;
    std::string userAgent = "Tarvolin";
    // When `user` is not empty, sent with `password` as basic authentication.
    std::string user;
    std::string password;
    // When not empty, a PEM file of further certificate authorities trusted for https.
    std::string caFile;
};

struct HttpGetResult {
    bool answered = false; // a response came (any status)
    long status = 0;
    std::string body; // its first keepBytes bytes
    int error = 0;    // the library's error number when no answer came, else 0
};

// Sends one GET for `url` (http or https only; proxies as the environment names them) and
// waits for the answer. Blocks up to the total time-out: never call it on the event loop.
// The first call loads the client library (libcurl); without it every call fails.
HttpGetResult HttpGet(const std::string& url, const HttpGetOptions& options = {});

// An answer with the headers a protocol client looks at.
struct HttpAnswer : HttpGetResult {
    std::string location;    // the Location header, else empty
    std::string replayNonce; // the Replay-Nonce header, else empty
    std::string contentType; // the Content-Type header, else empty
};

// Sends `method` (GET, HEAD or POST) to `url`; a POST carries `body` as `contentType`.
// Redirects are not followed. Blocks as HttpGet does.
HttpAnswer HttpSend(const std::string& method, const std::string& url, const std::string& body,
                    const std::string& contentType, const HttpGetOptions& options = {});

} // namespace tvn
