// Resumable uploads (the tus 1.0 protocol, core and creation, with termination): POST to a
// folder that takes uploads makes an upload at "/Folder/?upload=<id>", HEAD of it tells how
// much it holds, PATCH appends the next piece at exactly that offset, DELETE drops it. The
// folder rules are those of PUT; what an acknowledged piece brought is on disk.
#include "http/request_context.h"
#include "http/request_reader.h"
#include "http/upload_store.h"
#include "http/url_path.h"
#include "platform/file_attributes.h"
#include "platform/resources.h"
#include "platform/text.h"

#include <QByteArray>
#include <cerrno>
#include <charconv>
#include <memory>
#include <sys/stat.h>

namespace tvn {
namespace {

constexpr std::string_view kVersion = "1.0.0";

StageResult Refuse(CAnswer& answer, HttpStatus status, StringId why) {
    answer.StartError(status);
    answer.AppendBody("\r\n");
    answer.AppendBody(LoadString(why));
    return StageResult::kAnswered;
}

StageResult Plainly(CAnswer& answer, HttpStatus status) {
    answer.StartError(status);
    return StageResult::kAnswered;
}

// A header that holds one plain number, and nothing else.
std::optional<std::uint64_t> NumberHeader(const CRequest& request, std::string_view name) {
    const std::string& text = request.Header(name);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The file name of Upload-Metadata ("key base64,key base64,..."); nothing when it names none
// or the name is no strict Base64.
std::optional<std::string> MetadataFileName(std::string_view metadata) {
    while (!metadata.empty()) {
        const auto comma = metadata.find(',');
        std::string_view pair = metadata.substr(0, comma);
        metadata =
            comma == std::string_view::npos ? std::string_view() : metadata.substr(comma + 1);
        while (!pair.empty() && pair.front() == ' ')
            pair.remove_prefix(1);
        while (!pair.empty() && pair.back() == ' ')
            pair.remove_suffix(1);
        const auto space = pair.find(' ');
        if (pair.substr(0, space) != "filename")
            continue;
        if (space == std::string_view::npos)
            return std::nullopt;
        const std::string_view value = pair.substr(space + 1);
        const auto decoded = QByteArray::fromBase64Encoding(
            QByteArray(value.data(), static_cast<qsizetype>(value.size())),
            QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return std::nullopt;
        return decoded.decoded.toStdString();
    }
    return std::nullopt;
}

// What the disk and the folder said, found off the main thread.
struct PieceCheck {
    HttpStatus status = HttpStatus::kNone; // kNone: go on
    StringId why = StringId::kUploadNotTaken;
    bool plain = false; // the status text alone
    ResumableUpload upload;
    UniqueFd part;
    std::uint64_t maxSize = 0;

    void Set(HttpStatus to, StringId reason) {
        status = to;
        why = reason;
    }
    void SetPlain(HttpStatus to) {
        status = to;
        plain = true;
    }
    StageResult Answer(CAnswer& answer) const {
        return plain ? Plainly(answer, status) : Refuse(answer, status, why);
    }
};

// The folder's rules; false (with the refusal in `check`) when it takes no uploads now.
bool ReadRules(const std::string& folder, PieceCheck& check, UploadRules& rules) {
    const auto read = ReadUploadRules(folder);
    if (!read) {
        check.Set(HttpStatus::kForbidden, StringId::kUploadNotTaken);
        return false;
    }
    rules = *read;
    return true;
}

void CheckNewUpload(const std::string& folder, const std::string& name, std::uint64_t length,
                    PieceCheck& check) {
    UploadRules rules;
    if (!ReadRules(folder, check, rules))
        return;
    if (length > rules.maxSize || length > std::uint64_t(CRequestReader::kMaxUploadBytes))
        return check.Set(HttpStatus::kContentTooLarge, StringId::kUploadTooLarge);
    if (rules.maxFiles > 0 && CountVisibleFiles(folder) >= rules.maxFiles)
        return check.Set(HttpStatus::kInsufficientStorage, StringId::kUploadFolderFull);
    RemoveExpiredParts(folder);
    if (!LeavesEnoughSpace(folder, length))
        return check.Set(HttpStatus::kInsufficientStorage, StringId::kUploadNoRoom);
    if (!CreateResumableUpload(folder, name, length, check.upload)) {
        const bool full = errno == ENOSPC || errno == EDQUOT;
        check.Set(full ? HttpStatus::kInsufficientStorage : HttpStatus::kForbidden,
                  full ? StringId::kUploadNoRoom : StringId::kUploadNotTaken);
    }
}

void CheckPiece(const std::string& folder, const std::string& id, std::uint64_t offset,
                std::uint64_t length, PieceCheck& check) {
    UploadRules rules;
    if (!ReadRules(folder, check, rules))
        return;
    if (!ReadResumableUpload(folder, id, check.upload))
        return check.SetPlain(HttpStatus::kNotFound);
    ResumableUpload& upload = check.upload;
    if (offset != upload.offset)
        return check.Set(HttpStatus::kConflict, StringId::kUploadOtherOffset);
    if (length > upload.length - upload.offset)
        return check.Set(HttpStatus::kContentTooLarge, StringId::kUploadBeyondLength);
    if (!upload.stored.empty())
        return; // whole already: an empty piece at its end changes nothing
    if (!LeavesEnoughSpace(folder, upload.length - upload.offset))
        return check.Set(HttpStatus::kInsufficientStorage, StringId::kUploadNoRoom);
    bool busy = false;
    check.part = OpenResumablePart(folder, id, busy);
    if (busy)
        return check.Set(HttpStatus::kConflict, StringId::kUploadBusy);
    struct stat st {};
    if (!check.part.Valid() || ::fstat(check.part.Get(), &st) != 0)
        return check.SetPlain(HttpStatus::kNotFound);
    // The piece before may have ended since the offset was read.
    if (static_cast<std::uint64_t>(st.st_size) != offset) {
        check.part.Reset();
        return check.Set(HttpStatus::kConflict, StringId::kUploadOtherOffset);
    }
}

} // namespace

bool CRequestContext::SpeaksResumable() const {
    if (!request.headers.contains("tus-resumable"))
        return false;
    bool method = false;
    for (const char* name : {"OPTIONS", "POST", "HEAD", "PATCH", "DELETE"})
        method = method || EqualsNoCase(request.method, name);
    if (!method)
        return false;
    std::string folder = request.url;
    AddTrailingSlash(folder);
    return FolderTakesUploads(std::move(folder));
}

StageResult CRequestContext::RefuseLongBody() { return Plainly(answer, HttpStatus::kBadRequest); }

StageResult CRequestContext::LocateResumableFolder() {
    std::string folderUrl = request.url;
    AddTrailingSlash(folderUrl);
    return EnterUploadFolder(std::move(folderUrl));
}

StageResult CRequestContext::CheckResumableVersion() {
    if (EqualsNoCase(request.method, "OPTIONS") || request.Header("tus-resumable") == kVersion)
        return StageResult::kGoOn;
    answer.StartError(HttpStatus::kPreconditionFailed);
    answer.AddHeader("Tus-Version", kVersion);
    return StageResult::kAnswered;
}

StageResult CRequestContext::AnswerResumable() {
    if (EqualsNoCase(request.method, "OPTIONS"))
        return TellResumableLimits();
    if (EqualsNoCase(request.method, "POST"))
        return CreateUpload();
    if (!IsUploadId(request.Param("upload")))
        return Plainly(answer, HttpStatus::kNotFound);
    if (EqualsNoCase(request.method, "HEAD"))
        return TellUploadOffset();
    if (EqualsNoCase(request.method, "PATCH"))
        return AcceptUploadPiece();
    return EndUpload();
}

StageResult CRequestContext::TellResumableLimits() {
    auto check = std::make_shared<PieceCheck>();
    return Park(
        [check, folder = request.localPath] {
            UploadRules rules;
            if (ReadRules(folder, *check, rules))
                check->maxSize = rules.maxSize;
        },
        [check](CRequestContext& context) {
            if (check->status != HttpStatus::kNone)
                return check->Answer(context.answer);
            context.answer.Start(HttpStatus::kNoContent);
            context.answer.AddHeader("Tus-Version", kVersion);
            context.answer.AddHeader("Tus-Extension", "creation,termination");
            context.answer.AddHeaderNumber("Tus-Max-Size",
                                           static_cast<long long>(std::min<std::uint64_t>(
                                               check->maxSize, CRequestReader::kMaxUploadBytes)));
            return StageResult::kAnswered;
        });
}

StageResult CRequestContext::CreateUpload() {
    if (!request.Header("upload-defer-length").empty())
        return Plainly(answer, HttpStatus::kBadRequest); // every upload tells its length
    const auto length = NumberHeader(request, "upload-length");
    if (!length)
        return Plainly(answer, HttpStatus::kBadRequest);
    const auto name = MetadataFileName(request.Header("upload-metadata"));
    if (!name || !IsUploadName(*name))
        return Refuse(answer, HttpStatus::kBadRequest, StringId::kUploadBadName);
    auto check = std::make_shared<PieceCheck>();
    return Park([check, folder = request.localPath, name = *name,
                 length = *length] { CheckNewUpload(folder, name, length, *check); },
                [check](CRequestContext& context) {
                    if (check->status != HttpStatus::kNone)
                        return check->Answer(context.answer);
                    context.answer.Start(HttpStatus::kCreated);
                    context.answer.AddHeader("Location",
                                             EncodeForLocation(context.request.urlPath) +
                                                 "?upload=" + check->upload.id);
                    context.answer.AddHeader("Content-Length", "0");
                    return StageResult::kAnswered;
                });
}

StageResult CRequestContext::TellUploadOffset() {
    auto check = std::make_shared<PieceCheck>();
    return Park(
        [check, folder = request.localPath, id = request.Param("upload")] {
            UploadRules rules;
            if (ReadRules(folder, *check, rules) && !ReadResumableUpload(folder, id, check->upload))
                check->SetPlain(HttpStatus::kNotFound);
        },
        [check](CRequestContext& context) {
            if (check->status != HttpStatus::kNone)
                return check->Answer(context.answer);
            context.answer.Start(HttpStatus::kOk);
            context.answer.AddHeaderNumber("Upload-Offset",
                                           static_cast<long long>(check->upload.offset));
            context.answer.AddHeaderNumber("Upload-Length",
                                           static_cast<long long>(check->upload.length));
            context.answer.AddHeader("Cache-Control", "no-store");
            return StageResult::kAnswered;
        });
}

StageResult CRequestContext::AcceptUploadPiece() {
    if (!EqualsNoCase(request.Header("content-type"), "application/offset+octet-stream"))
        return Plainly(answer, HttpStatus::kUnsupportedMediaType);
    const auto offset = NumberHeader(request, "upload-offset");
    if (!offset)
        return Plainly(answer, HttpStatus::kBadRequest);
    const auto length = NumberHeader(request, "content-length");
    if (!request.Header("transfer-encoding").empty() ||
        (!length && !request.Header("content-length").empty()))
        return Plainly(answer, HttpStatus::kLengthRequired);
    if (!WaitsThroughEventLoop())
        return Plainly(answer, HttpStatus::kServiceUnavailable);
    auto check = std::make_shared<PieceCheck>();
    const std::uint64_t bytes = length.value_or(0);
    return Park([check, folder = request.localPath, id = request.Param("upload"), offset = *offset,
                 bytes] { CheckPiece(folder, id, offset, bytes, *check); },
                [check, bytes](CRequestContext& context) {
                    if (check->status != HttpStatus::kNone)
                        return check->Answer(context.answer);
                    const ResumableUpload& upload = check->upload;
                    if (!check->part.Valid()) { // whole already, and the piece is empty
                        context.answer.Start(HttpStatus::kNoContent);
                        context.answer.AddHeaderNumber("Upload-Offset",
                                                       static_cast<long long>(upload.offset));
                        return StageResult::kAnswered;
                    }
                    return context.ReceivePiece(std::move(check->part), upload.id, upload.name,
                                                upload.offset,
                                                upload.offset + bytes == upload.length);
                });
}

StageResult CRequestContext::ReceivePiece(UniqueFd part, std::string id, std::string name,
                                          std::uint64_t offset, bool completes) {
    std::string partPath = PartPathOf(request.localPath, id);
    CUploadSink::Ending ending;
    ending.resumable = true;
    ending.place = completes;
    ending.uploadId = std::move(id);
    auto sink = std::make_shared<CUploadSink>(
        std::move(part), std::move(partPath), request.localPath, std::move(name),
        ParkUntilWoken([offset](CRequestContext& context) {
            const auto* upload = static_cast<const CUploadSink*>(context.BodySink());
            const CUploadSink::Outcome outcome = upload->Result();
            if (outcome.status == 507)
                return Refuse(context.answer, HttpStatus::kInsufficientStorage,
                              StringId::kUploadNoRoom);
            if (outcome.status != 201)
                return Plainly(context.answer, HttpStatus::kInternalError);
            context.answer.Start(HttpStatus::kNoContent);
            context.answer.AddHeaderNumber("Upload-Offset",
                                           static_cast<long long>(offset + outcome.written));
            return StageResult::kAnswered;
        }),
        std::move(ending));
    ReceiveBody(std::move(sink));
    return WaitForWake();
}

StageResult CRequestContext::EndUpload() {
    auto check = std::make_shared<PieceCheck>();
    return Park(
        [check, folder = request.localPath, id = request.Param("upload")] {
            UploadRules rules;
            if (!ReadRules(folder, *check, rules))
                return;
            bool busy = false;
            if (RemoveResumableUpload(folder, id, busy))
                return;
            if (busy)
                check->Set(HttpStatus::kConflict, StringId::kUploadBusy);
            else
                check->SetPlain(HttpStatus::kNotFound);
        },
        [check](CRequestContext& context) {
            if (check->status != HttpStatus::kNone)
                return check->Answer(context.answer);
            context.answer.Start(HttpStatus::kNoContent);
            return StageResult::kAnswered;
        });
}

} // namespace tvn
