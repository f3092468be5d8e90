#pragma once

#include "http/output_buffer.h"
#include "platform/unique_fd.h"
#include "resources/string_ids.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tvn {

// An open file: its descriptor, size, last-write time, and the part of it still to send.
struct COpenFile {
    UniqueFd fd;
    off_t size = 0;   // where the part to send ends: the file's size, or the end of a range
    off_t offset = 0; // the next byte to send: 0, or the start of a byte range
    std::optional<std::time_t> lastWrite;

    bool IsOpen() const { return fd.Valid(); }
    void Close() { fd.Reset(); }
};

// An answer, kept as data until the connection sends it: the status, the headers in the order
// they were added, and a body of bytes, of part of an open file (a file on disk, a kept
// listing's sealed memory file), or of both, the bytes first. WriteTo writes it out once.
class CAnswer {
  public:
    // Begins the answer anew with `status`: headers and body of an earlier start go. Its Date
    // is now; the head begins with Server and Date.
    void Start(HttpStatus status);
    // Begins the answer with `status` and the status's text as its body.
    void StartError(HttpStatus status);
    // Changes the status and keeps everything else (a file's 200 becomes a 206).
    void SetStatus(HttpStatus status) { status_ = status; }
    // kNone until the answer has started.
    HttpStatus Status() const { return status_; }
    bool Started() const { return status_ != HttpStatus::kNone; }
    // The second the answer's Date header names.
    std::time_t Date() const { return date; }

    void AddHeader(std::string_view name, std::string_view value);
    void AddHeaderNumber(std::string_view name, long long value);
    // The value of the first header added as `name` (spelt the same), if any. Server and
    // Date are not among them.
    std::optional<std::string_view> Header(std::string_view name) const;

    void AppendBody(std::string_view bytes) { body.append(bytes); }
    // The body bytes become `bytes`, without a copy.
    void SetBody(std::string&& bytes) { body = std::move(bytes); }
    const std::string& Body() const { return body; }
    // Bytes behind the counted body that go out only when the connection ends with the
    // answer (the CR LF behind a thumbnail, which clients of it may count on); a connection
    // that carries another request drops them, as they would begin the next answer.
    void SetTrailer(std::string_view bytes) { trailer.assign(bytes); }
    void DropTrailer() { trailer.clear(); }
    // True when the client can tell where the answer ends without the connection ending: it
    // gives its length, or can have no body (304, 204, or the head alone for HEAD), and it is
    // no error.
    bool HasKnownEnd(bool headOnly) const;
    // The part of a file that follows the body bytes (none when it is not open).
    COpenFile& File() { return file; }
    const COpenFile& File() const { return file; }
    void SetFile(COpenFile&& part) { file = std::move(part); }

    // No body at all: the answer to HEAD.
    void CutToHead();
    // No answer at all: the connection closes without a word.
    void Clear();

    // Writes the status line, Server, Date, the headers, the empty line and the body bytes
    // to `out`. The file part follows at once when it fits into the room left (a small file
    // goes out in one piece with its head, and its descriptor closes); else it stays in
    // File() to be streamed. Nothing is written for an answer never started.
    void WriteTo(COutputBuffer& out);

  private:
    HttpStatus status_ = HttpStatus::kNone;
    std::time_t date = 0;
    std::string headers; // "Name: value\r\n" lines
    std::string body;
    std::string trailer;
    COpenFile file;
};

} // namespace tvn
