// The settings file as any bytes (a file edited by hand, cut short by a full disk, or not
// ours at all): read, then one key written and read back. The write must give back the value
// it stored, refuse exactly what the header says it refuses, and leave every other key as it
// read before. The file lies in a private folder in /dev/shm, so the fsync of each write is
// cheap.
#include "fuzz/fuzz_check.h"
#include "platform/ini_file.h"
#include "platform/text.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

using tvn::fuzz::Check;

// A private folder in /dev/shm for the one file, removed at exit.
struct ScratchFile {
    ScratchFile() {
        char pattern[] = "/dev/shm/tvn-fuzz-ini-XXXXXX";
        Check(::mkdtemp(pattern) != nullptr);
        folder = pattern;
        path = folder + "/TVN.cfg";
    }
    ~ScratchFile() {
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
    std::string folder;
    std::string path;
};

const std::string& FilePath() {
    static const ScratchFile file;
    return file.path;
}

void WriteRaw(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

std::string ReadRaw(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Check(fd >= 0);
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// What WriteString refuses, in the words of its header.
bool Refused(std::string_view section, std::string_view key, std::string_view value) {
    const auto hasLineEnd = [](std::string_view s) {
        return s.find_first_of("\r\n") != std::string_view::npos;
    };
    return hasLineEnd(section) || hasLineEnd(key) || hasLineEnd(value) ||
           key.find('=') != std::string_view::npos || tvn::TrimBlanks(key).starts_with('[');
}

// True when the two names name the same entry (case and surrounding blanks do not count).
bool SameName(std::string_view a, std::string_view b) {
    return tvn::EqualsNoCase(tvn::TrimBlanks(a), tvn::TrimBlanks(b));
}

constexpr std::string_view kMissing = "\x01missing";
constexpr std::size_t kWhole = std::size_t(1) << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string section = input.ConsumeRandomLengthString(32);
    const std::string key = input.ConsumeRandomLengthString(32);
    const std::string value = input.ConsumeRandomLengthString(64);
    const std::string otherSection = input.ConsumeRandomLengthString(32);
    const std::string otherKey = input.ConsumeRandomLengthString(32);
    const std::string file = input.ConsumeRemainingBytesAsString();

    const std::string& path = FilePath();
    WriteRaw(path, file);
    (void)tvn::ini::ReadInt(path, section, key, 7);
    const std::string otherBefore =
        tvn::ini::ReadString(path, otherSection, otherKey, kMissing, kWhole);

    const bool written = tvn::ini::WriteString(path, section, key, value);
    if (Refused(section, key, value)) {
        Check(!written);
        Check(ReadRaw(path) == file);
        return 0;
    }
    Check(written);
    Check(tvn::ini::ReadString(path, section, key, kMissing, kWhole) == tvn::TrimBlanks(value));
    if (!SameName(section, otherSection) || !SameName(key, otherKey))
        Check(tvn::ini::ReadString(path, otherSection, otherKey, kMissing, kWhole) == otherBefore);
    return 0;
}
