// The request as one list of stages, and the way a stage waits without holding the event
// loop.
#include "http/request_context.h"

#include "http/http_date.h"
#include "http/http_svr_doc.h"
#include "http/request_reader.h"
#include "http/url_path.h"
#include "platform/text.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <algorithm>
#include <new>
#include <span>
#include <utility>

namespace tvn {

CRequestContext::CRequestContext(CHttpSvrDoc& owner, std::string peer)
    : doc(owner), peerAddressPort(std::move(peer)) {
    const auto colon = peerAddressPort.rfind(':');
    request.peerAddress = peerAddressPort.substr(0, colon == std::string::npos ? 0 : colon);
}

CRequestContext::~CRequestContext() = default;

void CRequestContext::ResetForNextRequest() {
    std::string peer = std::move(request.peerAddress);
    CHeaderList headers = std::move(request.headers); // its room serves the next request
    headers.clear();
    request = CRequest{};
    request.peerAddress = std::move(peer);
    request.headers = std::move(headers);
    buffer.Reset();
    target.Close();
    answer.Clear();
    parked = false;
    wokenInPlace = false;
    resumeParked = nullptr;
    bodySink.reset();
    bodyLeft = 0;
    uploadName.clear();
    resumable = false;
    parkTicket.reset(); // a result still under way for the last request finds it gone
    pipeline = nullptr;
    pipelineLength = 0;
    stageAt = 0;
    headOnly = false;
    passedFolderPassword = false;
    keepsConnection = false;
}

void CRequestContext::RunRequest() {
    try {
        RunStagesByMethod();
    } catch (const std::bad_alloc&) {
        AnswerOutOfMemory();
    }
    if (!parked)
        CompleteAnswer();
}

void CRequestContext::AnswerOutOfMemory() noexcept {
    // One request that needs more memory than there is must not end the server for all.
    parked = false;
    resumeParked = nullptr;
    target.Close();
    try {
        answer.StartError(HttpStatus::kServiceUnavailable);
    } catch (const std::bad_alloc&) {
        answer.Clear(); // nothing at all to say: the connection just closes
    }
}

void CRequestContext::RunStagesByMethod() {
    using C = CRequestContext;
    static constexpr Stage kGet[] = {&C::ServeBuiltIn,    &C::LocateAndLog,  &C::RefuseHidden,
                                     &C::OpenTarget,      &C::CheckPassword, &C::ListFolder,
                                     &C::RunPageHandlers, &C::FramePage,     &C::SendFile};
    // The head of an answer tells as much as the answer: a protected target asks for
    // credentials first, and nothing (a listing's thumbnails) is made for a refusal.
    static constexpr Stage kHead[] = {&C::LocateTarget,  &C::RefuseHidden, &C::OpenTarget,
                                      &C::CheckPassword, &C::ListFolder,   &C::HeadOfFile};
    static constexpr Stage kPost[] = {&C::LocateTarget, &C::AnswerNotImplemented};
    static constexpr Stage kPut[] = {&C::LeaveUnlessTakesUploads, &C::RefuseRelayedUpload,
                                     &C::LocateUploadFolder, &C::CheckUploadPassword,
                                     &C::AcceptUpload};
    static constexpr Stage kResumable[] = {&C::RefuseRelayedUpload, &C::LocateResumableFolder,
                                           &C::CheckUploadPassword, &C::CheckResumableVersion,
                                           &C::AnswerResumable};
    static constexpr Stage kLongBody[] = {&C::RefuseLongBody};
    static constexpr Stage kOther[] = {&C::AnswerNotImplemented};
    const bool noBody = request.contentLength == 0;
    std::span<const Stage> list = kOther;
    if (SpeaksResumable()) {
        resumable = true;
        headOnly = EqualsNoCase(request.method, "HEAD");
        list = kResumable;
    } else if (request.contentLength > CRequestReader::kMaxBodyBytes &&
               !EqualsNoCase(request.method, "PUT")) {
        list = kLongBody;
    } else if (noBody && EqualsNoCase(request.method, "GET")) {
        list = kGet;
    } else if (noBody && EqualsNoCase(request.method, "HEAD")) {
        headOnly = true;
        list = kHead;
    } else if (!noBody && EqualsNoCase(request.method, "POST")) {
        list = kPost;
    } else if (EqualsNoCase(request.method, "PUT")) {
        list = kPut;
    }
    pipeline = list.data();
    pipelineLength = list.size();
    RunStagesFrom(0);
}

StageResult CRequestContext::RunStagesFrom(std::size_t first) {
    for (stageAt = first; stageAt < pipelineLength; ++stageAt) {
        const StageResult result = (this->*pipeline[stageAt])();
        if (result != StageResult::kGoOn)
            return AfterStage(result);
    }
    return StageResult::kGoOn;
}

StageResult CRequestContext::AfterStage(StageResult result) {
    if (result == StageResult::kGoOn)
        return RunStagesFrom(stageAt + 1);
    return result;
}

void CRequestContext::CompleteAnswer() {
    target.Close();
    // An answer to HEAD never carries a body, not even a refusal text.
    if (headOnly)
        answer.CutToHead();
    // The protocol's answers say which protocol they speak, refusals too.
    if (resumable && answer.Started())
        answer.AddHeader("Tus-Resumable", "1.0.0");
    // A request with a body ends its connection.
    keepsConnection = requestsLeft > 0 && answer.HasKnownEnd(headOnly) && ClientKeepsAlive() &&
                      request.contentLength == 0;
    if (keepsConnection) {
        answer.DropTrailer();
        answer.AddHeader("Connection", "keep-alive");
    }
    WriteAnswer();
}

bool CRequestContext::ClientKeepsAlive() const {
    const std::string& connection = request.Header("connection");
    bool keepAlive = false;
    bool close = false;
    for (std::size_t at = 0; at <= connection.size();) {
        const std::size_t comma = std::min(connection.find(',', at), connection.size());
        std::string_view token = std::string_view(connection).substr(at, comma - at);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
            token.remove_prefix(1);
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
            token.remove_suffix(1);
        keepAlive = keepAlive || EqualsNoCase(token, "keep-alive");
        close = close || EqualsNoCase(token, "close");
        at = comma + 1;
    }
    if (close)
        return false;
    return keepAlive || request.version == "HTTP/1.1";
}

void CRequestContext::WriteAnswer() {
    try {
        answer.WriteTo(buffer);
    } catch (const std::bad_alloc&) {
        // Not even the head fits: the connection just closes.
        buffer.SetPending(0);
        answer.Clear();
    }
}

StageResult CRequestContext::LocateAndLog() {
    const StageResult located = LocateTarget();
    WriteRequestLine(); // failures are logged too
    return located;
}

void CRequestContext::WriteRequestLine() {
    // One line's room serves every request of the thread: the log takes a copy.
    thread_local std::string line;
    line.clear();
    line.push_back('\n');
    AppendLogSafe(line, request.method);
    line.push_back(' ');
    AppendLogSafe(line, request.url);
    line.push_back(' ');
    line.append(peerAddressPort);
    if (doc.showActivity)
        doc.showActivity(line);
    doc.WriteAccessLog(line);
}

StageResult CRequestContext::HeadOfFile() {
    // Asked for a range of a plain file, HEAD gives the head a GET would give; without a
    // Range header its head stays the short one it has always been.
    if (target.IsOpen() && !IsPageFile() && !request.Header("range").empty()) {
        if (target.lastWrite)
            answer.AddHeader("Last-Modified", FormatHttpDate(*target.lastWrite));
        if (AnswerRange() == StageResult::kAnswered)
            return StageResult::kAnswered;
        answer.AddHeaderNumber("Content-Length",
                               static_cast<long long>(target.size - target.offset));
    }
    return StageResult::kAnswered;
}

StageResult CRequestContext::AnswerNotImplemented() {
    answer.StartError(HttpStatus::kNotImplemented);
    return StageResult::kAnswered;
}

StageResult CRequestContext::Park(std::function<void()> work, Resume resume, QThreadPool* pool) {
    if (!CanPark()) {
        work();
        return resume(*this);
    }
    std::function<void()> wake = ParkUntilWoken(std::move(resume));
    (pool ? pool : QThreadPool::globalInstance())
        ->start([work = std::move(work), wake = std::move(wake)] {
            try {
                work();
            } catch (const std::bad_alloc&) {
                // The resume finds the work's result missing and answers with what it has.
            }
            wake();
        });
    return StageResult::kWaiting;
}

void CRequestContext::ReceiveBody(std::shared_ptr<IBodySink> sink) {
    if (!CanPark())
        return;
    bodyLeft = request.contentLength;
    if (!parkTicket)
        parkTicket = std::make_shared<char>();
    std::weak_ptr<char> alive = parkTicket;
    sink->SetOnRoom([this, alive] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, alive] {
                if (alive.lock())
                    OnBodyRoom();
            },
            Qt::QueuedConnection);
    });
    bodySink = std::move(sink);
}

std::function<void()> CRequestContext::ParkUntilWoken(Resume resume) {
    resumeParked = std::move(resume);
    wokenInPlace = false;
    if (!parkTicket)
        parkTicket = std::make_shared<char>();
    std::weak_ptr<char> alive = parkTicket;
    if (!CanPark()) {
        return [this, alive] {
            if (alive.lock())
                wokenInPlace = true;
        };
    }
    parked = true;
    return [this, alive] {
        // Back to the main thread; the context is only looked at there, where it is also
        // deleted, so the ticket tells truly whether it is still there.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, alive] {
                if (alive.lock())
                    ResumeParked();
            },
            Qt::QueuedConnection);
    };
}

StageResult CRequestContext::WaitForWake() {
    if (CanPark())
        return StageResult::kWaiting;
    const Resume resume = std::move(resumeParked);
    resumeParked = nullptr;
    if (!std::exchange(wokenInPlace, false) || !resume) {
        // Nothing here could ever wake it: the request must not hang.
        answer.StartError(HttpStatus::kServiceUnavailable);
        return StageResult::kAnswered;
    }
    return resume(*this);
}

void CRequestContext::ResumeParked() {
    parked = false;
    const Resume resume = std::move(resumeParked);
    resumeParked = nullptr;
    try {
        AfterStage(resume(*this));
    } catch (const std::bad_alloc&) {
        AnswerOutOfMemory();
    }
    if (parked) {
        OnParkedAgain(); // waits once more
        return;
    }
    CompleteAnswer();
    OnAnswerReady();
}

} // namespace tvn
