#pragma once

#include "http/body_sink.h"
#include "platform/unique_fd.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tvn {

// Uploads into shared folders: which folders take them (a drop-in ".upload" file), which
// names are taken, whether the disk has room, and the body's way to disk: a part file in
// the folder's hidden ".upload-parts" folder, written on a thread of its own, synced and
// renamed into place when whole, never over a file that is there.

constexpr std::string_view kUploadRulesName = ".upload";
constexpr std::string_view kUploadPartsName = ".upload-parts";

struct UploadRules {
    static constexpr std::uint64_t kDefaultMaxSize = std::uint64_t(4) << 30;
    std::uint64_t maxSize = kDefaultMaxSize; // bytes per file
    std::uint64_t maxFiles = 0;              // 0: no limit
};

// The rules of `folder` (ending in '/') from its ".upload" file: lines "maxsize=N" and
// "maxfiles=N", anything else ignored; nothing when the folder takes no uploads.
std::optional<UploadRules> ReadUploadRules(const std::string& folder);

// True when `name` may be the name of an uploaded file: not empty, at most 255 bytes, no
// '/', '\\', NUL or other control byte, no leading dot (".." included).
bool IsUploadName(std::string_view name);

// The name that the n-th file of `name` takes: `name` itself for 1, else "stem (n).ext".
std::string NumberedName(std::string_view name, int n);

// Free and total bytes of the file system holding `folder`; false when unknown.
using FreeSpaceProbe = bool (*)(const std::string& folder, std::uint64_t& freeBytes,
                                std::uint64_t& totalBytes);
// Replaces the probe (statvfs) for tests; nullptr puts statvfs back.
void SetFreeSpaceProbe(FreeSpaceProbe probe);
// True when storing `bytes` more in `folder` leaves at least 5 % of the disk and 1 GiB free.
bool LeavesEnoughSpace(const std::string& folder, std::uint64_t bytes);

// How many visible files `folder` holds (names without a leading dot).
std::uint64_t CountVisibleFiles(const std::string& folder);

// Opens a new part file in the ".upload-parts" folder of `folder` (made when missing);
// its path goes to `partPath`. An invalid descriptor when it cannot (errno set).
UniqueFd CreatePartFile(const std::string& folder, std::string& partPath);

// Removes the part files of `folder` that nobody wrote to for kPartLifetime (uploads that
// were cut off or outlived a crash).
constexpr std::int64_t kPartLifetimeSeconds = 24 * 60 * 60;
void RemoveExpiredParts(const std::string& folder);

// Resumable uploads: each has a part file "<id>.part" and a description "<id>.info" (its
// name and length, and once whole the name it took) in the ".upload-parts" folder; the id is
// 32 hexadecimal digits. The offset of an upload is what its part file holds.
struct ResumableUpload {
    std::string id;
    std::string name;
    std::uint64_t length = 0;
    std::uint64_t offset = 0; // the bytes the part holds; `length` once whole
    std::string stored;       // the name the whole file took; empty until then
};
bool IsUploadId(std::string_view id);
// Creates a resumable upload of `name` and `length` in `folder`; false (errno set) when not.
// One of no bytes is whole at once: it is placed before this returns.
bool CreateResumableUpload(const std::string& folder, std::string_view name, std::uint64_t length,
                           ResumableUpload& made);
// Reads upload `id` of `folder`; false when there is none, or it is expired or not one this
// program wrote.
bool ReadResumableUpload(const std::string& folder, std::string_view id, ResumableUpload& upload);
// Opens the part of upload `id` for writing at its end, locked against every other writer.
// `busy` tells when another holds it (an invalid descriptor then).
UniqueFd OpenResumablePart(const std::string& folder, std::string_view id, bool& busy);
// Notes in the description of upload `id` the name its whole file took.
bool MarkResumableUploadStored(const std::string& folder, std::string_view id,
                               std::string_view stored);
// Removes upload `id` (its part and description); `busy` when a writer holds it.
bool RemoveResumableUpload(const std::string& folder, std::string_view id, bool& busy);
std::string PartPathOf(const std::string& folder, std::string_view id);

// Moves the whole part file to the first free name of `name` in `folder` (never replacing
// a file); the name taken goes to `stored`. False when none could be taken (errno set).
bool PlaceFinishedFile(const std::string& partPath, const std::string& folder,
                       std::string_view name, std::string& stored);

// The body of one upload on its way to disk. The bytes taken wait in memory, at most about
// kHighWater, for a writer thread of the upload's own; when the whole body is written it is
// synced and placed, and `done` runs (on the writer thread). An upload dropped before it was
// placed takes its part file with it.
class CUploadSink : public IBodySink {
  public:
    static constexpr std::size_t kHighWater = std::size_t(4) << 20;
    static constexpr std::size_t kLowWater = std::size_t(1) << 20;

    struct Outcome {
        int status = 0;            // 201 stored, 507 the disk is full, 500 another failure
        std::string stored;        // the name the file took
        std::uint64_t written = 0; // bytes this sink wrote
    };
    // How the part file is ended. A plain upload is placed when whole and gone when not. A
    // resumable one keeps what reached it, synced, when cut or failed, and is placed (its
    // description told the name taken) only by the piece that completes it.
    struct Ending {
        bool resumable = false;
        bool place = true;
        std::string uploadId;
    };

    CUploadSink(UniqueFd part, std::string partPath, std::string folder, std::string name,
                std::function<void()> done);
    CUploadSink(UniqueFd part, std::string partPath, std::string folder, std::string name,
                std::function<void()> done, Ending ending);
    ~CUploadSink() override;
    CUploadSink(const CUploadSink&) = delete;
    CUploadSink& operator=(const CUploadSink&) = delete;

    bool Take(std::string_view bytes) override;
    bool Full() const override;
    void End() override;
    void SetOnRoom(std::function<void()> onRoom) override;
    // What became of the upload once `done` ran.
    Outcome Result() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared;
};

} // namespace tvn
