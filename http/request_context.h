#pragma once

#include "http/answer.h"
#include "http/body_sink.h"
#include "http/output_buffer.h"
#include "http/request.h"
#include "platform/unique_fd.h"
#include "resources/string_ids.h"

#include <ctime>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

class QThreadPool;

namespace tvn {

class CHttpSvrDoc;

// The ".pass" rule of one request, for folders looked at off the main thread (a walk below
// the target): the request's credentials, and whether they may be looked at at all.
class CFolderAdmission {
  public:
    CFolderAdmission(std::string expected, bool mayRead);
    // True when `folder` (ending in '/') holds no ".pass" list, or one that holds the
    // request's "user,password" while they may be read. Never answers anything.
    bool Admits(const std::string& folder) const;

  private:
    std::string expected;
    bool mayRead;
};

// What a stage of a request did: answered it, left it to the next stage, or parked the
// request (kWaiting): the pipeline then stops at that stage, and the stage's resume function
// says later, on the main thread, what the stage did after all (and may wait once more).
enum class StageResult { kAnswered, kGoOn, kWaiting };

// Everything one request needs to be answered, apart from its socket: the parsed request,
// the open target file, the answer and the server document. Direct and relayed connections
// answer through the same operations. Page handlers read `request` and `target` and make
// `answer` (docs/design.md, "Adding a page handler"); the head is written once, when the
// answer is complete.
//
// The GET path is one list of stages, each answering, going on or waiting (the pipeline
// then goes on behind the stage that waited): built-in files and thumbnails, locate (and
// log), hidden, open, password, folder listing, page handlers, frame, file.
class CRequestContext {
  public:
    // Pages are framed up to this size; a larger one goes out as the file it is (a text
    // file as plain text).
    static constexpr off_t kMaxFramedPage = off_t(8) << 20;

    CRequestContext(CHttpSvrDoc& doc, std::string peerAddressPort);
    virtual ~CRequestContext();
    CRequestContext(const CRequestContext&) = delete;
    CRequestContext& operator=(const CRequestContext&) = delete;

    // Runs the request by method. The answer is written to the output buffer (its file part
    // left in `answer.File()`) when it returns, unless a stage parked the request (Parked()):
    // it is then written when OnAnswerReady is called.
    void RunRequest();

    // --- Answers that wait ---
    // What a parked stage does once its wait is over: answers, goes on to the next stage,
    // or waits once more.
    using Resume = std::function<StageResult(CRequestContext&)>;
    // Parks the request: `work` runs off the main thread (on `pool`, else the global pool),
    // then `resume` runs on the main thread; returns kWaiting, which the stage returns.
    // Other connections go on meanwhile; a request whose client went away meanwhile is
    // dropped and `resume` never runs. Where the context cannot wait (no event loop to come
    // back through) both run here and the result of `resume` is returned: the stage is
    // written once for both. `work` must not touch the context.
    StageResult Park(std::function<void()> work, Resume resume, QThreadPool* pool = nullptr);
    // Parks the request until the returned function is called (once); `resume` then runs on
    // the main thread, unless the client went away meanwhile. The stage then returns
    // WaitForWake(). Where the context cannot wait, the function must be called (on this
    // thread) before WaitForWake, which runs `resume` in place.
    std::function<void()> ParkUntilWoken(Resume resume);
    // kWaiting where the context waits through the event loop; else the result of the
    // resume given to ParkUntilWoken (a 503 when it was never woken).
    StageResult WaitForWake();
    bool Parked() const { return parked; }
    // The request's body goes to `sink` as the connection reads it (it stops reading while
    // the sink is full); the stage then waits (ParkUntilWoken) for the sink to be done.
    // Where the context cannot wait, no body is read.
    void ReceiveBody(std::shared_ptr<IBodySink> sink);
    // True when a stage that parks comes back through the event loop (the connection's
    // context); false where it runs to its end in place.
    bool WaitsThroughEventLoop() const { return CanPark(); }

    // Maps a URL path to a local path below the root; false when it leaves the root.
    // `attributes`, when given, receives the target's attributes if the mapping learned them
    // (else kUnknownAttributes).
    bool MapToLocalPath(std::string& path, int* attributes = nullptr) const;
    bool IsPageFile() const;
    // Adds the Content-Type of the target to the answer: text/html for page files, else by
    // extension (or none); text types carry "; charset=utf-8".
    void AddContentType();
    bool IsIndexName() const;
    // The folder part of the local path with its trailing '/'.
    std::string LocalFolder() const;
    // The same, written into `folder` (its room reused).
    void LocalFolderInto(std::string& folder) const;

    // --- Protected folders ---
    // True when the request may have the content; false when the 401 answer replaced it.
    // A target is guarded by the list of the folder its URL names and by that of the folder
    // it really lives in (a link placed in a protected folder stays protected).
    bool CheckFolderPassword();
    struct Credentials {
        std::string user;
        std::string password;
    };
    Credentials ReadBasicCredentials() const;
    // The request's credentials as a line of a ".pass" list ("user,password"), for lists met
    // below the target (a search of the folder); nothing when no password may be looked at on
    // this request, since it would cross the network in clear (see MustAskOverTls).
    std::optional<std::string> PassLine() const;
    // True once the request's credentials satisfied a ".pass" list that guards its target:
    // the visitor knows a password of the site.
    bool PassedFolderPassword() const { return passedFolderPassword; }
    // The request's ".pass" rule for folders below its target. A visitor who would be sent
    // to HTTPS for a password has none looked at: every protected folder refuses.
    CFolderAdmission FolderAdmission() const;

    CHttpSvrDoc& Doc() const { return doc; }
    // True when the request came through the relay service, not a direct connection: its
    // peer address is then the relay's view of the visitor, never a local one.
    bool Relayed() const { return relayed; }
    // True when the request came over TLS.
    bool Secure() const { return secure; }

    // The bytes written for the connection once the answer is complete: the head, the body
    // bytes and a small file part; empty before.
    std::string_view OutputView() const { return buffer.View(); }

    CRequest request;
    // The request's file, opened by the open stage (page files and plain files); the answer
    // sends it only when the file stage puts it there.
    COpenFile target;
    CAnswer answer;

  protected:
    // True when Park can run work off the main thread and come back through the event loop.
    virtual bool CanPark() const { return false; }
    // The answer of a parked request is complete; the connection sends it.
    virtual void OnAnswerReady() {}
    // Makes the context ready for the next request on the same connection: the request,
    // the answer and the open file of the last one go.
    void ResetForNextRequest();
    // Writes the answer to the output buffer: the one place where a head is written.
    void WriteAnswer();
    // How many more requests the connection may carry after this one (0: it ends with this
    // answer, as an HTTP/1.0 connection does).
    void SetRequestsLeft(int count) { requestsLeft = count; }
    // True when the answer written keeps the connection for the next request: the client
    // asked for it (HTTP/1.1 without "Connection: close", or "Connection: keep-alive"), the
    // answer has a known end, and the connection may carry more.
    bool KeepsConnection() const { return keepsConnection; }
    // The sink of the request's body while it is read, and the bytes still to come.
    IBodySink* BodySink() const { return bodySink.get(); }
    // The body is not read on: an upload cut short takes its part file with it.
    void DropBodySink() { bodySink.reset(); }
    long long bodyLeft = 0;
    // The body sink has room again (on the main thread).
    virtual void OnBodyRoom() {}
    // A parked request's resume parked it once more (it may now want its body read).
    virtual void OnParkedAgain() {}
    // The receive buffer, and the output buffer of the answer.
    COutputBuffer buffer;
    bool relayed = false;
    bool secure = false;

  private:
    // True when the open file was written after `when` (whole seconds), or its time is unknown.
    bool FileNewerThan(std::time_t when) const;
    // The part of `path` below the root ("/a/b" of "<root>/a/b"); empty when `path` lies
    // outside the shared tree.
    std::string_view PathBelowRoot(std::string_view path) const;
    bool BelowSettingsFolder(const std::string& path) const;
    // True when the credentials of the request satisfy the ".pass" list of every folder
    // given (each ending in '/'); false when the 401 answer replaced the answer.
    bool FoldersAdmit(std::initializer_list<const std::string*> folders);
    // True when a password must not be asked for on this request: HTTPS is served, and the
    // request came in plain from outside this machine's own networks, not through the relay.
    bool MustAskOverTls() const;
    // Sends the browser to the same URL over HTTPS (301).
    void RedirectToTls();

    // --- The stages ---
    // Built-in files and cached thumbnails, answered before the URL is mapped.
    StageResult ServeBuiltIn();
    // Maps the URL to the target: the local path, its attributes and the URL path as far as
    // the target found; answers 400, 404 and folder redirects.
    StageResult LocateTarget();
    // Refuses a hidden target (or one below a dot-folder) with the refusal text.
    StageResult RefuseHidden();
    // Opens a file target (503 when it cannot), answers 304 for an unchanged non-page file,
    // else starts the 200 answer with its Content-Type and goes on.
    StageResult OpenTarget();
    // The password of the target's folders: 401 when the credentials do not satisfy them.
    StageResult CheckPassword();
    // A folder target: its listing (404 without content stages). A kept listing is the
    // answer's file part.
    StageResult ListFolder();
    // The page handlers (GPS pages, remote control, blog) for pages, the screenshot for any
    // file.
    StageResult RunPageHandlers();
    // Last-Modified, then the frame of a page file.
    StageResult FramePage();
    // The file itself: Content-Length, and the file (a small one at once, else streamed);
    // one byte range of it when the request asks for one.
    StageResult SendFile();

    // --- The PUT stages (http/uploads.cpp) ---
    // A PUT into a folder without ".upload" (or none at all) is answered as it always was:
    // 501, or 400 for a body over the limit of every other request.
    StageResult LeaveUnlessTakesUploads();
    // Uploads through the relay are refused (413).
    StageResult RefuseRelayedUpload();
    // The folder the URL names and the file name behind it: 400 for a name it cannot take,
    // 403 for a hidden folder, 404 for a missing one.
    StageResult LocateUploadFolder();
    // The request enters the upload folder `folderUrl` (ending in '/'): 400 for a URL that
    // maps nowhere, 404 for a missing folder, 403 for a hidden one.
    StageResult EnterUploadFolder(std::string folderUrl);
    // The folder's password, as for reading it.
    StageResult CheckUploadPassword();
    // The folder's ".upload" rules, the visitor, the size and the room on the disk (off the
    // main thread), then the body's way to disk: 201 with the Location of the stored file.
    StageResult AcceptUpload();
    StageResult StartReceiving(UniqueFd part, std::string partPath);
    // True when the folder `folderUrl` names holds a ".upload" file.
    bool FolderTakesUploads(std::string folderUrl) const;

    // --- The resumable upload stages (http/resumable_uploads.cpp) ---
    // True when the request speaks the resumable protocol (a Tus-Resumable header on
    // OPTIONS, POST, HEAD, PATCH or DELETE) to a folder that takes uploads; every other
    // request keeps its answers.
    bool SpeaksResumable() const;
    // The folder the URL names: 403 for a hidden one, 404 for a missing one.
    StageResult LocateResumableFolder();
    // 412 for a version of the protocol other than 1.0.0 (OPTIONS tells the versions).
    StageResult CheckResumableVersion();
    // OPTIONS, POST (a new upload), HEAD (its offset), PATCH (the next piece), DELETE.
    StageResult AnswerResumable();
    StageResult TellResumableLimits();
    StageResult CreateUpload();
    StageResult TellUploadOffset();
    StageResult AcceptUploadPiece();
    StageResult EndUpload();
    // The piece's way to disk, at `offset` of the upload; 204 with the new offset.
    StageResult ReceivePiece(UniqueFd part, std::string id, std::string name, std::uint64_t offset,
                             bool completes);
    // A request over the body size of every other request, in the resumable protocol to a
    // folder that takes none: 400, as it would have been.
    StageResult RefuseLongBody();

    using Stage = StageResult (CRequestContext::*)();
    // Runs the stages from `first` on until one answers or waits; `stageAt` keeps the stage
    // that waited, so that its resume goes on behind it.
    StageResult RunStagesFrom(std::size_t first);
    // What follows a stage's result: the next stages for kGoOn.
    StageResult AfterStage(StageResult result);
    // Writes the request line to the activity pop-up and the access log.
    void WriteRequestLine();
    StageResult LocateAndLog();
    StageResult HeadOfFile();
    StageResult AnswerNotImplemented();
    // Finishes the answer by method (HEAD: the head alone) once no stage waits any longer,
    // decides whether the connection stays, closes the target and writes the answer.
    void CompleteAnswer();
    void RunStagesByMethod();
    // Replaces whatever was written by a 503 when memory ran out.
    void AnswerOutOfMemory() noexcept;
    void ResumeParked();
    // True when the client asks to keep the connection after this request.
    bool ClientKeepsAlive() const;
    // Redirects a folder to the first existing name of `list` (LF-separated); true when it did.
    bool RedirectToIndex(std::string_view list, bool addQuestion);
    bool OpenTargetFile();
    // The answer to a Range header on the open plain file: 206 with the range set in `target`
    // (kGoOn, Content-Length still to come), 416 (kAnswered), or the whole file (kGoOn).
    // A request without Range is left exactly as it was.
    StageResult AnswerRange();
    // True when If-Range is absent or names the file's own last-write time.
    bool IfRangeHolds() const;
    CHttpSvrDoc& doc;
    std::string peerAddressPort;
    bool parked = false;
    bool wokenInPlace = false; // ParkUntilWoken's function ran where the context cannot wait
    const Stage* pipeline = nullptr;
    std::size_t pipelineLength = 0;
    std::size_t stageAt = 0; // the stage running, or the one that waits
    bool headOnly = false;   // a HEAD request: the answer is cut to its head
    bool passedFolderPassword = false;
    int requestsLeft = 0;
    bool keepsConnection = false;
    Resume resumeParked;
    std::shared_ptr<IBodySink> bodySink;
    std::string uploadName; // the name the uploaded file asks for
    bool resumable = false; // the request's answers speak the resumable protocol
    // Alive as long as the context: a result posted back for a context that is gone finds
    // it expired and is dropped.
    std::shared_ptr<char> parkTicket;
};

// True when the folder `folder` (ending in '/') holds a ".pass" list in any form, or one
// that cannot be looked at: the folder is protected. Any thread.
bool HasPassList(const std::string& folder);
// True when the ".pass" list of `folder` (ending in '/') can be read and holds the line
// `line` ("user,password"). Any thread.
bool PassListHolds(const std::string& folder, std::string_view line);

// The bytes of the file at `path`, read (never mapped) up to `limit` bytes; nothing when it
// is no regular file, cannot be read or is larger than `limit`.
std::optional<std::string> LoadWholeFile(const std::string& path, std::size_t limit = std::size_t(1)
                                                                                      << 20);

} // namespace tvn
