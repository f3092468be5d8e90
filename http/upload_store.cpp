// Uploads into shared folders: the rules of a folder, the names it takes, the room on its
// disk, and the body's way to disk through a hidden part file.
#include "http/upload_store.h"

#include "http/request_context.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace tvn {
namespace {

bool StatvfsProbe(const std::string& folder, std::uint64_t& freeBytes, std::uint64_t& totalBytes) {
    struct statvfs st {};
    if (::statvfs(folder.c_str(), &st) != 0)
        return false;
    freeBytes = std::uint64_t(st.f_bavail) * st.f_frsize;
    totalBytes = std::uint64_t(st.f_blocks) * st.f_frsize;
    return true;
}

std::atomic<FreeSpaceProbe> freeSpaceProbe{&StatvfsProbe};

std::optional<std::uint64_t> ReadNumber(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool WriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Moves `from` to `to` unless `to` exists; false (errno EEXIST) when it does.
bool MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a hard link fails as well when the name is taken.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

void SyncFolder(const std::string& folder) {
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid())
        ::fsync(dir.Get());
}

} // namespace

std::optional<UploadRules> ReadUploadRules(const std::string& folder) {
    const std::string path = folder + std::string(kUploadRulesName);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const auto text = LoadWholeFile(path, 64 * 1024);
    if (!text)
        return std::nullopt; // a list that cannot be read takes nothing
    UploadRules rules;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.starts_with("maxsize=")) {
            if (const auto value = ReadNumber(line.substr(8)))
                rules.maxSize = *value;
        } else if (line.starts_with("maxfiles=")) {
            if (const auto value = ReadNumber(line.substr(9)))
                rules.maxFiles = *value;
        }
    }
    return rules;
}

bool IsUploadName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.front() == '.')
        return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\')
            return false;
    }
    return true;
}

std::string NumberedName(std::string_view name, int n) {
    if (n <= 1)
        return std::string(name);
    const auto dot = name.rfind('.');
    const std::size_t stemEnd = dot == std::string_view::npos || dot == 0 ? name.size() : dot;
    std::string numbered(name.substr(0, stemEnd));
    numbered.append(" (").append(std::to_string(n)).append(")");
    numbered.append(name.substr(stemEnd));
    return numbered;
}

void SetFreeSpaceProbe(FreeSpaceProbe probe) { freeSpaceProbe = probe ? probe : &StatvfsProbe; }

bool LeavesEnoughSpace(const std::string& folder, std::uint64_t bytes) {
    std::uint64_t freeBytes = 0;
    std::uint64_t totalBytes = 0;
    if (!freeSpaceProbe.load()(folder, freeBytes, totalBytes))
        return false;
    const std::uint64_t keep = std::max<std::uint64_t>(totalBytes / 20, std::uint64_t(1) << 30);
    return freeBytes >= bytes && freeBytes - bytes >= keep;
}

std::uint64_t CountVisibleFiles(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count;
}

UniqueFd CreatePartFile(const std::string& folder, std::string& partPath) {
    const std::string parts = folder + std::string(kUploadPartsName);
    if (::mkdir(parts.c_str(), 0700) != 0 && errno != EEXIST)
        return UniqueFd();
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        char name[40];
        std::snprintf(name, sizeof name, "/%08x%08x.part", random(), random());
        partPath = parts + name;
        UniqueFd fd(
            ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (fd.Valid() || errno != EEXIST)
            return fd;
    }
    return UniqueFd();
}

void RemoveExpiredParts(const std::string& folder) {
    const std::string parts = folder + std::string(kUploadPartsName);
    const UniqueFd dirFd(::open(parts.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!dirFd.Valid())
        return;
    DIR* dir = ::fdopendir(::dup(dirFd.Get()));
    if (!dir)
        return;
    const std::int64_t now = ::time(nullptr);
    const auto expired = [&](const std::string& name) {
        struct stat st {};
        return ::fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               now - st.st_mtim.tv_sec >= kPartLifetimeSeconds;
    };
    const auto present = [&](const std::string& name) {
        struct stat st {};
        return ::fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    };
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.ends_with(".part") && expired(name)) {
            ::unlinkat(dirFd.Get(), name.c_str(), 0);
            // A resumable upload's description goes with its part.
            const std::string info = name.substr(0, name.size() - 5) + ".info";
            ::unlinkat(dirFd.Get(), info.c_str(), 0);
        } else if (name.ends_with(".info") && expired(name) &&
                   !present(name.substr(0, name.size() - 5) + ".part")) {
            // The description of a finished upload, kept for its client's last question.
            ::unlinkat(dirFd.Get(), name.c_str(), 0);
        } else if (name.ends_with(".info.new") && expired(name)) {
            ::unlinkat(dirFd.Get(), name.c_str(), 0);
        }
    }
    ::closedir(dir);
}

bool IsUploadId(std::string_view id) {
    return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string PartPathOf(const std::string& folder, std::string_view id) {
    return folder + std::string(kUploadPartsName) + "/" + std::string(id) + ".part";
}

namespace {

std::string InfoPathOf(const std::string& folder, std::string_view id) {
    return folder + std::string(kUploadPartsName) + "/" + std::string(id) + ".info";
}

// Writes the description of `upload` whole or not at all: aside, synced, renamed.
bool WriteDescription(const std::string& folder, const ResumableUpload& upload) {
    const std::string info = InfoPathOf(folder, upload.id);
    std::string text = "name=" + upload.name + "\nlength=" + std::to_string(upload.length) + "\n";
    if (!upload.stored.empty())
        text += "stored=" + upload.stored + "\n";
    const std::string aside = info + ".new";
    const UniqueFd out(
        ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    const bool written = out.Valid() && WriteAll(out.Get(), text.data(), text.size()) &&
                         ::fsync(out.Get()) == 0 && ::rename(aside.c_str(), info.c_str()) == 0;
    if (!written) {
        const int error = errno;
        ::unlink(aside.c_str());
        errno = error;
        return false;
    }
    SyncFolder(folder + std::string(kUploadPartsName));
    return true;
}

// Reads the description of upload `id`; false when it is missing or not one written here.
bool ReadDescription(const std::string& folder, std::string_view id, ResumableUpload& upload) {
    const std::string info = InfoPathOf(folder, id);
    struct stat st {};
    if (::lstat(info.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const auto text = LoadWholeFile(info, 4096);
    if (!text)
        return false;
    std::string_view rest = *text;
    std::optional<std::uint64_t> length;
    std::string name;
    std::string stored;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.starts_with("name="))
            name = line.substr(5);
        else if (line.starts_with("length="))
            length = ReadNumber(line.substr(7));
        else if (line.starts_with("stored="))
            stored = line.substr(7);
    }
    // The folder travels on drives: what it holds is checked as a visitor's words are.
    if (!length || !IsUploadName(name) || (!stored.empty() && !IsUploadName(stored)))
        return false;
    upload = {std::string(id), std::move(name), *length, 0, std::move(stored)};
    if (!upload.stored.empty()) {
        upload.offset = upload.length;
        return ::time(nullptr) - st.st_mtim.tv_sec < kPartLifetimeSeconds;
    }
    return true;
}

} // namespace

bool CreateResumableUpload(const std::string& folder, std::string_view name, std::uint64_t length,
                           ResumableUpload& made) {
    const std::string parts = folder + std::string(kUploadPartsName);
    if (::mkdir(parts.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        char id[40];
        std::snprintf(id, sizeof id, "%08x%08x%08x%08x", random(), random(), random(), random());
        const std::string partPath = PartPathOf(folder, id);
        const UniqueFd part(
            ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!part.Valid()) {
            if (errno == EEXIST)
                continue;
            return false;
        }
        ResumableUpload upload{id, std::string(name), length, 0, {}};
        bool done = WriteDescription(folder, upload);
        // Nothing to wait for: an empty file is whole at once.
        if (done && length == 0)
            done = PlaceFinishedFile(partPath, folder, name, upload.stored) &&
                   WriteDescription(folder, upload);
        if (!done) {
            const int error = errno;
            ::unlink(InfoPathOf(folder, id).c_str());
            ::unlink(partPath.c_str());
            errno = error;
            return false;
        }
        made = std::move(upload);
        return true;
    }
    errno = EEXIST;
    return false;
}

bool ReadResumableUpload(const std::string& folder, std::string_view id, ResumableUpload& upload) {
    if (!IsUploadId(id) || !ReadDescription(folder, id, upload))
        return false;
    if (!upload.stored.empty())
        return true;
    struct stat st {};
    if (::lstat(PartPathOf(folder, id).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::time(nullptr) - st.st_mtim.tv_sec >= kPartLifetimeSeconds)
        return false;
    upload.offset = static_cast<std::uint64_t>(st.st_size);
    return true;
}

UniqueFd OpenResumablePart(const std::string& folder, std::string_view id, bool& busy) {
    busy = false;
    if (!IsUploadId(id))
        return UniqueFd();
    UniqueFd part(::open(PartPathOf(folder, id).c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!part.Valid())
        return part;
    if (::flock(part.Get(), LOCK_EX | LOCK_NB) != 0) {
        busy = errno == EWOULDBLOCK;
        return UniqueFd();
    }
    if (::lseek(part.Get(), 0, SEEK_END) < 0)
        return UniqueFd();
    return part;
}

bool MarkResumableUploadStored(const std::string& folder, std::string_view id,
                               std::string_view stored) {
    ResumableUpload upload;
    if (!ReadDescription(folder, id, upload))
        return false;
    upload.stored = stored;
    return WriteDescription(folder, upload);
}

bool RemoveResumableUpload(const std::string& folder, std::string_view id, bool& busy) {
    busy = false;
    ResumableUpload upload;
    if (!ReadResumableUpload(folder, id, upload))
        return false;
    if (upload.stored.empty()) {
        const UniqueFd part = OpenResumablePart(folder, id, busy);
        if (!part.Valid())
            return false;
        ::unlink(PartPathOf(folder, id).c_str());
    }
    ::unlink(InfoPathOf(folder, id).c_str());
    SyncFolder(folder + std::string(kUploadPartsName));
    return true;
}

bool PlaceFinishedFile(const std::string& partPath, const std::string& folder,
                       std::string_view name, std::string& stored) {
    for (int n = 1; n <= 10000; ++n) {
        std::string candidate = NumberedName(name, n);
        if (candidate.size() > 255)
            break;
        if (MoveWithoutReplacing(partPath, folder + candidate)) {
            stored = std::move(candidate);
            SyncFolder(folder);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

struct CUploadSink::Shared {
    mutable std::mutex lock;
    std::condition_variable wake;
    std::deque<std::string> chunks;
    std::size_t pending = 0; // bytes in chunks and being written
    bool ended = false;
    bool dropped = false;
    bool finished = false; // the writer is done, placed or failed
    bool full = false;     // pending reached the high water and has not sunk to the low yet
    std::function<void()> onRoom;
    std::function<void()> done;
    Outcome outcome;
    UniqueFd part;
    std::string partPath;
    std::string folder;
    std::string name;
    Ending ending;
    std::uint64_t written = 0;

    void Write();
    // Ends the writer with `status`; the part file of a plain upload goes unless it was
    // placed, that of a resumable one stays.
    void Finish(std::unique_lock<std::mutex>& held, int status);
};

void CUploadSink::Shared::Finish(std::unique_lock<std::mutex>& held, int status) {
    if (ending.resumable && status != 201 && part.Valid()) {
        // What reached the part is kept for the client's next piece: on disk first.
        held.unlock();
        ::fsync(part.Get());
        held.lock();
    }
    part.Reset(); // the lock of a resumable part goes with it
    if (status != 201 && !ending.resumable)
        ::unlink(partPath.c_str());
    outcome.status = status;
    outcome.written = written;
    finished = true;
    std::function<void()> tell = dropped ? nullptr : std::move(done);
    held.unlock();
    if (tell)
        tell();
}

void CUploadSink::Shared::Write() {
    std::unique_lock held(lock);
    for (;;) {
        wake.wait(held, [&] { return dropped || ended || !chunks.empty(); });
        // A resumable upload cut off still writes the bytes it took: they came.
        if (dropped && (!ending.resumable || chunks.empty())) {
            Finish(held, 500);
            return;
        }
        if (chunks.empty()) { // ended, all written
            held.unlock();
            const bool synced = ::fsync(part.Get()) == 0;
            const int syncError = errno;
            std::string stored;
            const bool placed =
                synced && (!ending.place || PlaceFinishedFile(partPath, folder, name, stored));
            const int error = synced ? errno : syncError;
            if (placed && ending.place && ending.resumable)
                MarkResumableUploadStored(folder, ending.uploadId, stored);
            held.lock();
            outcome.stored = std::move(stored);
            Finish(held, placed ? 201 : (error == ENOSPC || error == EDQUOT ? 507 : 500));
            return;
        }
        std::string chunk = std::move(chunks.front());
        chunks.pop_front();
        held.unlock();
        const bool wrote = WriteAll(part.Get(), chunk.data(), chunk.size());
        const int error = errno;
        held.lock();
        if (!wrote) {
            chunks.clear();
            pending = 0;
            Finish(held, error == ENOSPC || error == EDQUOT ? 507 : 500);
            return;
        }
        pending -= chunk.size();
        written += chunk.size();
        if (full && pending <= kLowWater) {
            full = false;
            if (onRoom) {
                const std::function<void()> tell = onRoom;
                held.unlock();
                tell();
                held.lock();
            }
        }
    }
}

CUploadSink::CUploadSink(UniqueFd part, std::string partPath, std::string folder, std::string name,
                         std::function<void()> done)
    : CUploadSink(std::move(part), std::move(partPath), std::move(folder), std::move(name),
                  std::move(done), Ending()) {}

CUploadSink::CUploadSink(UniqueFd part, std::string partPath, std::string folder, std::string name,
                         std::function<void()> done, Ending ending)
    : shared(std::make_shared<Shared>()) {
    shared->ending = std::move(ending);
    shared->part = std::move(part);
    shared->partPath = std::move(partPath);
    shared->folder = std::move(folder);
    shared->name = std::move(name);
    shared->done = std::move(done);
    // A thread of its own: no visitor waits for another's disk. It holds the state, so
    // the sink may go while it still writes.
    std::thread([state = shared] { state->Write(); }).detach();
}

CUploadSink::~CUploadSink() {
    const std::lock_guard held(shared->lock);
    shared->dropped = !shared->finished;
    shared->onRoom = nullptr;
    shared->wake.notify_all();
}

bool CUploadSink::Take(std::string_view bytes) {
    const std::lock_guard held(shared->lock);
    if (shared->finished || shared->ended)
        return false;
    if (bytes.empty())
        return true;
    shared->chunks.emplace_back(bytes);
    shared->pending += bytes.size();
    if (shared->pending >= kHighWater)
        shared->full = true;
    shared->wake.notify_all();
    return true;
}

bool CUploadSink::Full() const {
    const std::lock_guard held(shared->lock);
    return shared->full && !shared->finished;
}

void CUploadSink::End() {
    const std::lock_guard held(shared->lock);
    shared->ended = true;
    shared->wake.notify_all();
}

void CUploadSink::SetOnRoom(std::function<void()> onRoom) {
    const std::lock_guard held(shared->lock);
    shared->onRoom = std::move(onRoom);
}

CUploadSink::Outcome CUploadSink::Result() const {
    const std::lock_guard held(shared->lock);
    return shared->outcome;
}

} // namespace tvn
