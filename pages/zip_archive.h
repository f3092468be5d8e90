#pragma once

#include "http/answer.h"
#include "platform/unique_fd.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tvn {

// One member of a stored (uncompressed) ZIP archive.
struct ZipMember {
    std::string name;          // its path in the archive, '/' between parts; a folder's ends in '/'
    std::string path;          // the local file whose bytes it holds; empty for a folder
    std::uint64_t size = 0;    // the file's size when it was found: exactly this many bytes go in
    std::int64_t modified = 0; // seconds since the epoch
    bool executable = false;   // a file someone may run
    bool utf8 = true;          // the name is UTF-8 (flag bit 11); else its bytes as they are
    std::uint64_t offset = 0;  // where its local header begins (LayOutZip)
    std::uint32_t crc = 0;     // CRC-32 of its bytes, known once they went out
};

// The total length of the archive of `members` in this order, setting each member's offset:
// local headers, bytes and data descriptors, then the central directory and its end. Sizes,
// offsets and counts that do not fit their 32-bit (or 16-bit) fields take ZIP64 records.
std::uint64_t LayOutZip(std::vector<ZipMember>& members);

// The archive of laid-out members made as the connection sends it: each file is opened when
// its turn comes and read in pieces, its CRC-32 computed on the way and written behind it in
// a data descriptor (names in UTF-8, flag bits 3 and 11). A file that is gone, or whose size
// is no longer the one the layout counted (before or after its bytes went out), breaks the
// body off: the archive would not be what its length and central directory say.
class CZipStream : public IBodySource {
  public:
    // `members` as LayOutZip laid them out, and the length it returned.
    CZipStream(std::vector<ZipMember> members, std::uint64_t length);
    Outcome Produce(COutputBuffer& out) override;

    // The largest piece of a file read at once.
    static constexpr std::size_t kPiece = std::size_t(256) << 10;

  private:
    enum class Phase { kLocalHeader, kData, kDescriptor, kCentral, kEnd, kDone };
    // Opens the current member's file; false when it is gone or changed size.
    bool OpenMember();
    // Reads the next piece of the current file, up to `room` bytes, into `out`; false when
    // it fell short or changed size.
    bool ReadPiece(COutputBuffer& out, std::size_t room);

    std::vector<ZipMember> members;
    std::uint64_t length;
    std::uint64_t produced = 0;
    std::uint64_t centralOffset = 0;
    Phase phase = Phase::kLocalHeader;
    std::size_t at = 0;     // the member being written
    UniqueFd file;          // its file while its bytes go out
    std::uint64_t read = 0; // the bytes of it written so far
    std::uint32_t crc = 0;  // their CRC-32
    std::string scratch;    // one header at a time
};

} // namespace tvn
