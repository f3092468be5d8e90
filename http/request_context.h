#pragma once

#include "http/output_buffer.h"
#include "http/request.h"
#include "platform/unique_fd.h"

#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tvn {

class CHttpSvrDoc;

// The file being answered: its descriptor, size, last-write time and how much of it has
// been handed to the connection.
struct COpenFile {
    UniqueFd fd;
    off_t size = 0;
    off_t offset = 0;
    std::optional<std::time_t> lastWrite;

    bool IsOpen() const { return fd.Valid(); }
    void Close() { fd.Reset(); }
};

// Everything one request needs to be answered, apart from its socket: the parsed request,
// the output buffer, the open file and the server document. Direct and relayed
// connections answer through the same operations. Page handlers write into `buffer`.
class CRequestContext {
  public:
    CRequestContext(CHttpSvrDoc& doc, std::string peerAddressPort);

    // Runs the complete request by method; the answer stands in `buffer` (and `file`).
    void RunRequest();

    // --- Response vocabulary ---
    void PutText(std::string_view text) { buffer.Append(text); }
    void PutResourceText(int id);
    // Status line "HTTP/1.0 <text of id>", then Server and Date.
    void PutStatus(int id);
    void PutHeader(std::string_view name, std::string_view value);
    void PutHeaderNumber(std::string_view name, long long value);
    // Status line, empty line, and the status text as the body.
    void PutErrorResponse(int id);
    // Content-Type of the target: text/html for page files, else by extension (or none).
    void PutContentType();

    // --- The GET stages ---
    void HandleGet();
    // False when a built-in file or thumbnail was answered.
    bool TryBuiltInUrl();
    bool ServeEmbedded(std::string_view name, std::string_view contentType);
    void LocateTarget();
    // True when EmitContent should follow (a file was opened or the target is a folder).
    bool OpenTarget();
    void EmitContent();
    // Maps a URL path to a local path below the root; false when it leaves the root.
    // `attributes`, when given, receives the target's attributes if the mapping learned them
    // (else kUnknownAttributes).
    bool MapToLocalPath(std::string& path, int* attributes = nullptr) const;
    // Redirects a folder to the first existing name of list `listId`; true when it did.
    bool RedirectToIndex(int listId, bool addQuestion);
    bool IsPageFile() const;
    bool IsIndexName() const;
    // True when the open file was written after `when` (whole seconds), or its time is unknown.
    bool FileNewerThan(std::time_t when) const;
    // The bytes of `name` in the folder of the local path; nothing when it does not exist,
    // cannot be read or is larger than LoadWholeFile's limit.
    std::optional<std::string> LoadSiblingFile(std::string_view name) const;
    // The folder part of the local path with its trailing '/'.
    std::string LocalFolder() const;
    // The part of `path` below the root ("/a/b" of "<root>/a/b"); empty when `path` lies
    // outside the shared tree.
    std::string_view PathBelowRoot(std::string_view path) const;

    // --- Protected folders ---
    // True when the request may have the content; false when the 401 answer replaced it.
    // A target is guarded by the list of the folder its URL names and by that of the folder
    // it really lives in (a link placed in a protected folder stays protected).
    bool CheckFolderPassword();
    // True when the credentials of the request satisfy the ".pass" list of every folder
    // given (each ending in '/'); false when the 401 answer replaced the buffer.
    bool FoldersAdmit(std::initializer_list<const std::string*> folders);
    struct Credentials {
        std::string user;
        std::string password;
    };
    Credentials ReadBasicCredentials() const;

    CHttpSvrDoc& Doc() const { return doc; }
    const std::string& PeerAddressPort() const { return peerAddressPort; }

    CRequest request;
    COutputBuffer buffer;
    COpenFile file;

  protected:
    // HEAD of a folder answers the listing's head without its body.
    void CutToHead();

  private:
    bool OpenTargetFile();

    CHttpSvrDoc& doc;
    std::string peerAddressPort;
};

// Removes "." and ".." pieces and doubled separators: '/' + the kept pieces joined by '/', with a
// trailing '/' when `in` ends in a separator ('\' and '/' are both separators).
std::string CanonicalizePath(std::string_view in);
// Removes the last component of `path` (from its last '/' on) and returns it.
std::string SplitTail(std::string& path);
// Appends `text` to `out` with every byte for which `escape` is true written as %XX.
void AppendPercentEncoded(std::string& out, std::string_view text, bool (*escape)(unsigned char));
// Bytes 0x00-0x20 and 0x80-0xFF, and '%', '?' and '#', as %XX; everything else unchanged.
std::string EncodeForLocation(std::string_view text);
// The bytes of the file at `path`, read (never mapped) up to `limit` bytes; nothing when it
// is no regular file, cannot be read or is larger than `limit`.
std::optional<std::string> LoadWholeFile(const std::string& path, std::size_t limit = std::size_t(1)
                                                                                      << 20);
// True when `name` equals one of the LF-separated names of `list` (without regard to case).
bool NameInList(std::string_view name, std::string_view list);

} // namespace tvn
