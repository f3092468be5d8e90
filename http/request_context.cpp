// The request as one list of stages, and the way a stage waits without holding the event
// loop.
#include "http/request_context.h"

#include "http/http_date.h"
#include "http/http_svr_doc.h"
#include "http/url_path.h"
#include "platform/text.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <new>

namespace tvn {

CRequestContext::CRequestContext(CHttpSvrDoc& owner, std::string peer)
    : doc(owner), peerAddressPort(std::move(peer)) {
    const auto colon = peerAddressPort.rfind(':');
    request.peerAddress = peerAddressPort.substr(0, colon == std::string::npos ? 0 : colon);
}

CRequestContext::~CRequestContext() = default;

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
    file.Close();
    try {
        buffer.Reset();
        PutErrorResponse(HttpStatus::kServiceUnavailable);
    } catch (const std::bad_alloc&) {
        buffer.SetPending(0); // nothing at all to say: the connection just closes
    }
}

void CRequestContext::RunStagesByMethod() {
    const bool noBody = request.contentLength == 0;
    if (noBody && EqualsNoCase(request.method, "GET")) {
        RunStages({&CRequestContext::ServeBuiltIn, &CRequestContext::LocateAndLog,
                   &CRequestContext::RefuseHidden, &CRequestContext::OpenTarget,
                   &CRequestContext::CheckPassword, &CRequestContext::ListFolder,
                   &CRequestContext::RunPageHandlers, &CRequestContext::FramePage,
                   &CRequestContext::SendFile});
    } else if (noBody && EqualsNoCase(request.method, "HEAD")) {
        headOnly = true;
        // The head of an answer tells as much as the answer: a protected target asks for
        // credentials first, and nothing (a listing's thumbnails) is made for a refusal.
        RunStages({&CRequestContext::LocateTarget, &CRequestContext::RefuseHidden,
                   &CRequestContext::OpenTarget, &CRequestContext::CheckPassword,
                   &CRequestContext::ListFolder, &CRequestContext::HeadOfFile});
    } else if (!noBody && EqualsNoCase(request.method, "POST")) {
        RunStages({&CRequestContext::LocateTarget, &CRequestContext::AnswerNotImplemented});
    } else {
        RunStages({&CRequestContext::AnswerNotImplemented});
    }
}

void CRequestContext::RunStages(std::initializer_list<Stage> stages) {
    for (const Stage stage : stages) {
        if ((this->*stage)() == StageResult::kGoOn)
            continue;
        // The listing stage leaves a file open only for a kept listing it answers with.
        if (stage != &CRequestContext::SendFile && stage != &CRequestContext::ListFolder)
            file.Close();
        return;
    }
}

void CRequestContext::CompleteAnswer() {
    if (!headOnly)
        return;
    // An answer to HEAD never carries a body, not even a refusal text.
    file.Close();
    const auto end = buffer.View().find("\r\n\r\n");
    if (end != std::string_view::npos)
        buffer.SetPending(end + 4);
}

StageResult CRequestContext::LocateAndLog() {
    const StageResult located = LocateTarget();
    WriteRequestLine(); // failures are logged too
    return located;
}

void CRequestContext::WriteRequestLine() {
    std::string line;
    line.reserve(request.method.size() + request.url.size() + peerAddressPort.size() + 3);
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
    if (file.IsOpen() && !IsPageFile() && !request.Header("range").empty()) {
        if (file.lastWrite)
            PutHeader("Last-Modified", FormatHttpDate(*file.lastWrite));
        if (AnswerRange() == StageResult::kAnswered)
            return StageResult::kAnswered;
        PutHeaderNumber("Content-Length", static_cast<long long>(file.size - file.offset));
    }
    PutText("\r\n");
    return StageResult::kAnswered;
}

StageResult CRequestContext::AnswerNotImplemented() {
    PutErrorResponse(HttpStatus::kNotImplemented);
    return StageResult::kAnswered;
}

void CRequestContext::Park(std::function<void()> work,
                           std::function<void(CRequestContext&)> resume) {
    if (!CanPark()) {
        work();
        resume(*this);
        return;
    }
    std::function<void()> wake = ParkUntilWoken(std::move(resume));
    QThreadPool::globalInstance()->start([work = std::move(work), wake = std::move(wake)] {
        try {
            work();
        } catch (const std::bad_alloc&) {
            // The resume finds the work's result missing and answers with what it has.
        }
        wake();
    });
}

std::function<void()>
CRequestContext::ParkUntilWoken(std::function<void(CRequestContext&)> resume) {
    if (!CanPark())
        return {};
    resumeParked = std::move(resume);
    parked = true;
    if (!parkTicket)
        parkTicket = std::make_shared<char>();
    std::weak_ptr<char> alive = parkTicket;
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

void CRequestContext::ResumeParked() {
    parked = false;
    const auto resume = std::move(resumeParked);
    resumeParked = nullptr;
    try {
        resume(*this);
    } catch (const std::bad_alloc&) {
        AnswerOutOfMemory();
    }
    if (parked)
        return; // waits once more
    CompleteAnswer();
    OnAnswerReady();
}

} // namespace tvn
