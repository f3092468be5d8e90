#pragma once

#include "http/output_buffer.h"
#include "platform/unique_fd.h"
#include "resources/string_ids.h"

#include <ctime>
#include <memory>
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

// A body made piece by piece while the connection sends it (an archive of many files): its
// length is known before its first byte, its bytes are made as the socket takes them.
class IBodySource {
  public:
    enum class Outcome {
        kMore,  // bytes were appended
        kEnd,   // nothing was appended: the body is whole
        kFailed // the body cannot go on as announced; what this call appended is not sent
    };
    virtual ~IBodySource() = default;
    // Appends the next bytes of the body to `out` (it may reserve room there first). Runs on
    // the main thread: a piece costs no more than a read of a file's next part.
    virtual Outcome Produce(COutputBuffer& out) = 0;
};

// An answer, kept as data until the connection sends it: the status, the headers in the order
// they were added, and a body of bytes, of part of an open file (a file on disk, a kept
// listing's sealed memory file), of both, the bytes first, or of bytes made piece by piece
// (a source). WriteTo writes it out once.
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
    // The body made piece by piece behind the body bytes, instead of a file part (none when
    // null); the connection asks it for pieces once the head is out.
    void SetSource(std::unique_ptr<IBodySource> made) { source = std::move(made); }
    IBodySource* Source() const { return source.get(); }

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
    static constexpr std::size_t kHeadersRoom = 512; // the headers of most answers
    std::string headers;                             // "Name: value\r\n" lines
    std::string body;
    std::string trailer;
    COpenFile file;
    std::unique_ptr<IBodySource> source;
};

} // namespace tvn
