// The stages of an upload (PUT): where it goes, who may send it, whether the folder and its
// disk take it, and its answer once the body is stored.
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "http/request_reader.h"
#include "http/upload_store.h"
#include "http/url_path.h"
#include "platform/file_attributes.h"
#include "platform/local_networks.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <cerrno>
#include <charconv>
#include <memory>
#include <sys/stat.h>

namespace tvn {
namespace {

// Answers a refusal: the status text, then why.
StageResult Refuse(CAnswer& answer, HttpStatus status, StringId why) {
    answer.StartError(status);
    answer.AppendBody("\r\n");
    answer.AppendBody(LoadString(why));
    return StageResult::kAnswered;
}

// The body's length when Content-Length is one plain number; nothing otherwise.
std::optional<std::uint64_t> AnnouncedLength(const CRequest& request) {
    const std::string& text = request.Header("content-length");
    std::uint64_t length = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return length;
}

// What the disk and the folder say of an upload, found off the main thread.
struct UploadCheck {
    HttpStatus status = HttpStatus::kNone; // kNone: the part file is open
    StringId why = StringId::kUploadNotTaken;
    UniqueFd part;
    std::string partPath;
};

void CheckFolderTakes(const std::string& folder, std::uint64_t length, UploadCheck& check) {
    const auto rules = ReadUploadRules(folder);
    if (!rules) {
        check.status = HttpStatus::kForbidden;
        check.why = StringId::kUploadNotTaken;
        return;
    }
    if (length > rules->maxSize) {
        check.status = HttpStatus::kContentTooLarge;
        check.why = StringId::kUploadTooLarge;
        return;
    }
    if (rules->maxFiles > 0 && CountVisibleFiles(folder) >= rules->maxFiles) {
        check.status = HttpStatus::kInsufficientStorage;
        check.why = StringId::kUploadFolderFull;
        return;
    }
    RemoveExpiredParts(folder);
    if (!LeavesEnoughSpace(folder, length)) {
        check.status = HttpStatus::kInsufficientStorage;
        check.why = StringId::kUploadNoRoom;
        return;
    }
    check.part = CreatePartFile(folder, check.partPath);
    if (!check.part.Valid()) {
        const int error = errno;
        check.status = error == ENOSPC || error == EDQUOT ? HttpStatus::kInsufficientStorage
                                                          : HttpStatus::kForbidden;
        check.why = check.status == HttpStatus::kForbidden ? StringId::kUploadNotTaken
                                                           : StringId::kUploadNoRoom;
    }
}

} // namespace

bool CRequestContext::FolderTakesUploads(std::string folder) const {
    struct stat st {};
    if (folder.empty() || !MapToLocalPath(folder))
        return false;
    AddTrailingSlash(folder);
    folder.append(kUploadRulesName);
    return ::stat(folder.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

StageResult CRequestContext::LeaveUnlessTakesUploads() {
    const std::string& url = request.url;
    if (FolderTakesUploads(url.substr(0, url.rfind('/') + 1)))
        return StageResult::kGoOn;
    if (request.contentLength > CRequestReader::kMaxBodyBytes) {
        answer.StartError(HttpStatus::kBadRequest);
        return StageResult::kAnswered;
    }
    return AnswerNotImplemented();
}

StageResult CRequestContext::RefuseRelayedUpload() {
    WriteRequestLine();
    if (!relayed)
        return StageResult::kGoOn;
    // The relay carries small messages: a file would cross it in thousands of them.
    return Refuse(answer, HttpStatus::kContentTooLarge, StringId::kUploadThroughRelay);
}

StageResult CRequestContext::LocateUploadFolder() {
    const std::string& url = request.url;
    const auto slash = url.rfind('/');
    if (slash == std::string::npos || !IsUploadName(std::string_view(url).substr(slash + 1)))
        return Refuse(answer, HttpStatus::kBadRequest, StringId::kUploadBadName);
    uploadName = url.substr(slash + 1);
    return EnterUploadFolder(url.substr(0, slash + 1));
}

StageResult CRequestContext::EnterUploadFolder(std::string folderUrl) {
    std::string path = folderUrl;
    int known = kUnknownAttributes;
    if (!MapToLocalPath(path, &known)) {
        answer.StartError(HttpStatus::kBadRequest);
        return StageResult::kAnswered;
    }
    const int attributes = known != kUnknownAttributes ? known : GetFileAttributes(path);
    if (attributes == kInvalidAttributes || !(attributes & kAttributeDirectory)) {
        answer.StartError(HttpStatus::kNotFound);
        return StageResult::kAnswered;
    }
    std::string urlPath = CanonicalizePath(folderUrl);
    AddTrailingSlash(urlPath);
    AddTrailingSlash(path);
    // Nothing goes into a hidden folder, by the name the visitor used or by the real one.
    if (BelowDotFolder(urlPath) || BelowDotFolder(PathBelowRoot(path)))
        return Refuse(answer, HttpStatus::kForbidden, StringId::kUploadNotTaken);
    request.urlPath = std::move(urlPath);
    request.localPath = std::move(path);
    request.attributes = attributes;
    return StageResult::kGoOn;
}

StageResult CRequestContext::CheckUploadPassword() {
    if (!CheckFolderPassword())
        return StageResult::kAnswered;
    // From outside, only a folder that asked for a password takes files.
    if (!PassedFolderPassword() && !IsLocalNetworkAddress(request.peerAddress))
        return Refuse(answer, HttpStatus::kForbidden, StringId::kUploadNeedsPassword);
    return StageResult::kGoOn;
}

StageResult CRequestContext::AcceptUpload() {
    if (!request.Header("transfer-encoding").empty()) {
        answer.StartError(HttpStatus::kLengthRequired);
        return StageResult::kAnswered;
    }
    const auto length = AnnouncedLength(request);
    if (!length) {
        answer.StartError(HttpStatus::kLengthRequired);
        return StageResult::kAnswered;
    }
    if (!WaitsThroughEventLoop()) {
        // A body is read only by a connection that can wait for it.
        answer.StartError(HttpStatus::kServiceUnavailable);
        return StageResult::kAnswered;
    }
    auto check = std::make_shared<UploadCheck>();
    return Park([check, folder = request.localPath,
                 length = *length] { CheckFolderTakes(folder, length, *check); },
                [check](CRequestContext& context) {
                    if (check->status != HttpStatus::kNone)
                        return Refuse(context.answer, check->status, check->why);
                    return context.StartReceiving(std::move(check->part),
                                                  std::move(check->partPath));
                });
}

StageResult CRequestContext::StartReceiving(UniqueFd part, std::string partPath) {
    auto sink = std::make_shared<CUploadSink>(
        std::move(part), std::move(partPath), request.localPath, uploadName,
        ParkUntilWoken([](CRequestContext& context) {
            const auto* upload = static_cast<const CUploadSink*>(context.BodySink());
            const CUploadSink::Outcome outcome = upload->Result();
            if (outcome.status == 507)
                return Refuse(context.answer, HttpStatus::kInsufficientStorage,
                              StringId::kUploadNoRoom);
            if (outcome.status != 201) {
                context.answer.StartError(HttpStatus::kInternalError);
                return StageResult::kAnswered;
            }
            const std::string location =
                EncodeForLocation(context.request.urlPath + outcome.stored);
            context.answer.Start(HttpStatus::kCreated);
            context.answer.AddHeader("Location", location);
            context.answer.AddHeader("Content-Type", "text/plain; charset=utf-8");
            context.answer.AppendBody(LoadString(HttpStatus::kCreated));
            context.answer.AppendBody("\r\n");
            context.answer.AppendBody(location);
            context.answer.AppendBody("\r\n");
            return StageResult::kAnswered;
        }));
    ReceiveBody(std::move(sink));
    return WaitForWake();
}

} // namespace tvn
