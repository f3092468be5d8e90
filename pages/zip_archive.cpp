// A stored ZIP archive, laid out before its first byte and made as it is sent.
#include "pages/zip_archive.h"

#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <zlib.h>

namespace tvn {
namespace {

// The record signatures and sizes of the format (PKWARE's APPNOTE).
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint64_t kLocalHeaderSize = 30;
constexpr std::uint64_t kCentralHeaderSize = 46;
constexpr std::uint64_t kZip64EndSize = 56;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kEndSize = 22;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
// The value that tells a reader to look in the ZIP64 records instead.
constexpr std::uint32_t kMarker32 = 0xFFFFFFFF;
constexpr std::uint16_t kMarker16 = 0xFFFF;
// Sizes follow the bytes in a data descriptor (bit 3); the name is UTF-8 (bit 11).
constexpr std::uint16_t kFlagDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint16_t kVersionPlain = 20;
constexpr std::uint16_t kVersionZip64 = 45;
// Made on Unix (3), so that the modes in the external attributes count.
constexpr std::uint16_t kMadeBy = (3 << 8) | kVersionZip64;
constexpr std::uint32_t kDosFolder = 0x10;

bool NeedsZip64(std::uint64_t value) { return value >= kMarker32; }

std::uint64_t LocalExtraSize(const ZipMember& member) { return NeedsZip64(member.size) ? 20 : 0; }

std::uint64_t DescriptorSize(const ZipMember& member) { return NeedsZip64(member.size) ? 24 : 16; }

// The ZIP64 extra field of a central header: the sizes and the offset that do not fit.
std::uint64_t CentralExtraSize(const ZipMember& member) {
    const int fields = (NeedsZip64(member.size) ? 2 : 0) + (NeedsZip64(member.offset) ? 1 : 0);
    return fields == 0 ? 0 : 4 + 8 * static_cast<std::uint64_t>(fields);
}

bool EndNeedsZip64(std::size_t count, std::uint64_t centralSize, std::uint64_t centralOffset) {
    return count >= kMarker16 || NeedsZip64(centralSize) || NeedsZip64(centralOffset);
}

void Put16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void Put32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void Put64(std::string& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t Field32(std::uint64_t value) {
    return NeedsZip64(value) ? kMarker32 : static_cast<std::uint32_t>(value);
}

// The MS-DOS time and date of `seconds` in the server's time zone (as the listing shows
// them), held to the years the format can tell (1980 to 2107).
std::pair<std::uint16_t, std::uint16_t> DosTimeDate(std::int64_t seconds) {
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!::localtime_r(&when, &local) || local.tm_year < 80)
        return {0, (1 << 5) | 1}; // 1980-01-01 00:00
    if (local.tm_year > 207)
        return {(23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31};
    const auto time = static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) |
                                                 (local.tm_sec / 2));
    const auto date = static_cast<std::uint16_t>(((local.tm_year - 80) << 9) |
                                                 ((local.tm_mon + 1) << 5) | local.tm_mday);
    return {time, date};
}

bool IsFolder(const ZipMember& member) { return member.path.empty(); }

// Version needed, flags, method (stored), time and date: the same in both headers.
void PutCommon(std::string& out, const ZipMember& member) {
    Put16(out, NeedsZip64(member.size) ? kVersionZip64 : kVersionPlain);
    Put16(out, static_cast<std::uint16_t>(kFlagDescriptor | (member.utf8 ? kFlagUtf8 : 0)));
    Put16(out, 0);
    const auto [time, date] = DosTimeDate(member.modified);
    Put16(out, time);
    Put16(out, date);
}

void PutLocalHeader(std::string& out, const ZipMember& member) {
    Put32(out, kLocalHeaderSignature);
    PutCommon(out, member);
    // CRC and sizes follow the bytes (bit 3); a ZIP64 member says so here already.
    const bool zip64 = NeedsZip64(member.size);
    Put32(out, 0);
    Put32(out, zip64 ? kMarker32 : 0);
    Put32(out, zip64 ? kMarker32 : 0);
    Put16(out, static_cast<std::uint16_t>(member.name.size()));
    Put16(out, static_cast<std::uint16_t>(LocalExtraSize(member)));
    out.append(member.name);
    if (zip64) {
        Put16(out, kZip64ExtraId);
        Put16(out, 16);
        Put64(out, 0);
        Put64(out, 0);
    }
}

void PutDescriptor(std::string& out, const ZipMember& member) {
    Put32(out, kDescriptorSignature);
    Put32(out, member.crc);
    if (NeedsZip64(member.size)) {
        Put64(out, member.size);
        Put64(out, member.size);
    } else {
        Put32(out, static_cast<std::uint32_t>(member.size));
        Put32(out, static_cast<std::uint32_t>(member.size));
    }
}

void PutCentralHeader(std::string& out, const ZipMember& member) {
    Put32(out, kCentralSignature);
    Put16(out, kMadeBy);
    PutCommon(out, member);
    Put32(out, member.crc);
    Put32(out, Field32(member.size));
    Put32(out, Field32(member.size));
    Put16(out, static_cast<std::uint16_t>(member.name.size()));
    Put16(out, static_cast<std::uint16_t>(CentralExtraSize(member)));
    Put16(out, 0); // no comment
    Put16(out, 0); // disk 0
    Put16(out, 0); // internal attributes
    // Unix modes without the owner's own bits: what may run stays runnable.
    const std::uint32_t mode =
        IsFolder(member) ? (S_IFDIR | 0755) : (S_IFREG | (member.executable ? 0755 : 0644));
    Put32(out, (mode << 16) | (IsFolder(member) ? kDosFolder : 0));
    Put32(out, Field32(member.offset));
    out.append(member.name);
    if (const std::uint64_t extra = CentralExtraSize(member); extra > 0) {
        Put16(out, kZip64ExtraId);
        Put16(out, static_cast<std::uint16_t>(extra - 4));
        if (NeedsZip64(member.size)) {
            Put64(out, member.size);
            Put64(out, member.size);
        }
        if (NeedsZip64(member.offset))
            Put64(out, member.offset);
    }
}

void PutEnd(std::string& out, std::size_t count, std::uint64_t centralSize,
            std::uint64_t centralOffset) {
    const std::uint64_t zip64End = centralOffset + centralSize;
    if (EndNeedsZip64(count, centralSize, centralOffset)) {
        Put32(out, kZip64EndSignature);
        Put64(out, kZip64EndSize - 12); // the record behind this field
        Put16(out, kMadeBy);
        Put16(out, kVersionZip64);
        Put32(out, 0);
        Put32(out, 0);
        Put64(out, count);
        Put64(out, count);
        Put64(out, centralSize);
        Put64(out, centralOffset);
        Put32(out, kZip64LocatorSignature);
        Put32(out, 0);
        Put64(out, zip64End);
        Put32(out, 1); // one disk in all
    }
    const auto count16 = static_cast<std::uint16_t>(std::min<std::size_t>(count, kMarker16));
    Put32(out, kEndSignature);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, count16);
    Put16(out, count16);
    Put32(out, Field32(centralSize));
    Put32(out, Field32(centralOffset));
    Put16(out, 0); // no comment
}

} // namespace

std::uint64_t LayOutZip(std::vector<ZipMember>& members) {
    std::uint64_t offset = 0;
    for (ZipMember& member : members) {
        member.offset = offset;
        offset += kLocalHeaderSize + member.name.size() + LocalExtraSize(member) + member.size +
                  DescriptorSize(member);
    }
    const std::uint64_t centralOffset = offset;
    for (const ZipMember& member : members)
        offset += kCentralHeaderSize + member.name.size() + CentralExtraSize(member);
    if (EndNeedsZip64(members.size(), offset - centralOffset, centralOffset))
        offset += kZip64EndSize + kZip64LocatorSize;
    return offset + kEndSize;
}

CZipStream::CZipStream(std::vector<ZipMember> laidOut, std::uint64_t total)
    : members(std::move(laidOut)), length(total) {}

bool CZipStream::OpenMember() {
    const ZipMember& member = members[at];
    file.Reset(::open(member.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    return file.Valid() && ::fstat(file.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
           static_cast<std::uint64_t>(st.st_size) == member.size;
}

bool CZipStream::ReadPiece(COutputBuffer& out, std::size_t room) {
    ZipMember& member = members[at];
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(member.size - read, room));
    char* into = out.Data() + out.Pending();
    ssize_t n;
    do {
        n = ::pread(file.Get(), into, want, static_cast<off_t>(read));
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false; // shrank, or cannot be read: the bytes counted are not there
    crc = static_cast<std::uint32_t>(
        ::crc32(crc, reinterpret_cast<const Bytef*>(into), static_cast<uInt>(n)));
    out.SetPending(out.Pending() + static_cast<std::size_t>(n));
    read += static_cast<std::uint64_t>(n);
    if (read < member.size)
        return true;
    // Grown meanwhile: its central directory entry would tell of bytes it has not got.
    struct stat st {};
    if (::fstat(file.Get(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) != member.size)
        return false;
    file.Reset();
    member.crc = crc;
    phase = Phase::kDescriptor;
    return true;
}

IBodySource::Outcome CZipStream::Produce(COutputBuffer& out) {
    // Headers fit beside a piece; a name is at most 64 KiB, so a larger one grows the buffer.
    out.Reserve(kPiece + (std::size_t(64) << 10));
    const std::size_t before = out.Pending();
    auto appended = [&] { return out.Pending() - before; };
    while (appended() < kPiece) {
        scratch.clear();
        switch (phase) {
        case Phase::kLocalHeader:
            if (at == members.size()) {
                centralOffset = produced + appended();
                at = 0;
                phase = Phase::kCentral;
                break;
            }
            Q_ASSERT(members[at].offset == produced + appended());
            if (!IsFolder(members[at]) && !OpenMember())
                return Outcome::kFailed;
            PutLocalHeader(scratch, members[at]);
            read = 0;
            crc = static_cast<std::uint32_t>(::crc32(0L, Z_NULL, 0));
            members[at].crc = crc;
            phase = members[at].size > 0 ? Phase::kData : Phase::kDescriptor;
            if (members[at].size == 0)
                file.Reset(); // nothing to read: it was found empty and is empty still
            break;
        case Phase::kData:
            if (!ReadPiece(out, kPiece - appended()))
                return Outcome::kFailed;
            break;
        case Phase::kDescriptor:
            PutDescriptor(scratch, members[at]);
            ++at;
            phase = Phase::kLocalHeader;
            break;
        case Phase::kCentral:
            if (at == members.size()) {
                phase = Phase::kEnd;
                break;
            }
            PutCentralHeader(scratch, members[at++]);
            break;
        case Phase::kEnd:
            PutEnd(scratch, members.size(), produced + appended() - centralOffset, centralOffset);
            phase = Phase::kDone;
            break;
        case Phase::kDone:
            produced += appended();
            Q_ASSERT(produced == length);
            return appended() > 0 ? Outcome::kMore : Outcome::kEnd;
        }
        out.Append(scratch);
    }
    produced += appended();
    return Outcome::kMore;
}

} // namespace tvn
