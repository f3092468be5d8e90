#pragma once

// The datagrams of the relay link: a 16-byte header, then up to 1300 payload bytes. A message
// of at most 16384 bytes travels as fragments that each carry the message's flags, connection
// id, sequence and length, and their own offset. Pure functions over bytes, no sockets.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tvn::relay {

constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kFragmentPayload = 1300; // largest datagram sent: 1316 bytes
constexpr std::size_t kMaxMessage = 16384;
constexpr std::size_t kReceiveBuffer = 1516; // every receive reads into this many bytes
constexpr std::size_t kMaxRegistrationName = 1499;
// A registration secret is this many bytes at least and at most.
constexpr std::size_t kMinRegistrationSecret = 16;
constexpr std::size_t kMaxRegistrationSecret = 64;

enum Flag : std::uint8_t {
    kOpen = 0x01,
    kClose = 0x02,
    kAck = 0x04,
    kRegister = 0x08,
    kControl = 0x10
};

// The flags of the relay service's answer to a registration, exactly.
constexpr std::uint8_t kRegistrationReply = kRegister | kAck;

struct DatagramHeader {
    std::uint8_t flags = 0;
    std::int32_t connectionId = 0;
    std::uint32_t sequence = 0;
    std::uint16_t fragmentOffset = 0;
    std::uint16_t messageLength = 0;
};

// Reads the header of `bytes` (little-endian fields; reserved bytes 1..3 ignored) and the
// payload behind it; false when shorter than 16 bytes.
bool ParseDatagram(std::string_view bytes, DatagramHeader& header, std::string_view& payload);

// Appends the 16-byte header (reserved bytes zero) and `payload`.
void AppendDatagram(std::string& out, const DatagramHeader& header, std::string_view payload);

// The datagrams of one message: fragments of 1300 bytes (the last shorter), each with the same
// flags, id, sequence and message length and its own offset; a message of length 0 is one
// header-only datagram. Empty when the message is longer than kMaxMessage.
std::vector<std::string> FragmentMessage(std::uint8_t flags, std::int32_t connectionId,
                                         std::uint32_t sequence, std::string_view message);

// The 16-byte acknowledgement of the message `of`: its flags with kAck added, connection id
// `connectionId`, its sequence, bytes 12..15 zero.
std::string MakeAck(const DatagramHeader& of, std::int32_t connectionId);

// The registration: flags 0x08, id 0, sequence 0, bytes 12..15 zero, then `name` (cut to 1499
// bytes) and one zero byte; then `secret` when it is one (IsRegistrationSecret) and the
// datagram stays within kReceiveBuffer. A relay that knows no secret reads only the name.
std::string MakeRegistration(std::string_view name, std::string_view secret = {});

// The name a registration's payload carries: the bytes before its first zero byte (all of
// them when there is none).
std::string_view RegistrationName(std::string_view payload);

// The secret a registration's payload carries behind the name's zero byte: the bytes up to
// the next zero byte or the end; empty when there are none.
std::string_view RegistrationSecret(std::string_view payload);

// True when `secret` may stand in a registration: kMinRegistrationSecret to
// kMaxRegistrationSecret letters, digits, '-' or '_'.
bool IsRegistrationSecret(std::string_view secret);

// The 16-byte answer to a registration: flags exactly 0x0C, every other byte zero.
std::string MakeRegistrationReply();

// The close datagram: flags 0x02, the connection id, `sequence`, bytes 12..15 zero, no
// payload.
std::string MakeClose(std::int32_t connectionId, std::uint32_t sequence);

// SipHash-2-4 of `bytes` under the 128-bit `key`: a digest that someone who does not know the
// key cannot make two texts share.
using DigestKey = std::array<std::uint64_t, 2>;
std::uint64_t KeyedDigest(const DigestKey& key, std::string_view bytes);

// What recognises a message again without keeping it: its keyed digest and its length.
struct MessageDigest {
    std::uint64_t hash = 0;
    std::size_t length = 0;
    bool operator==(const MessageDigest&) const = default;
};

// Reassembles one message from its fragments, in any order, duplicates and overlaps included.
// Complete only when every byte of [0, length) has arrived (tracked by byte ranges, never by
// summing payload lengths: a duplicated fragment must not stand in for a missing one); the
// message never shows bytes of an earlier message. The buffer grows with the payload that
// arrives, never ahead of it to the length a fragment announces.
class CMessageAssembler {
  public:
    enum class Result { kIncomplete, kComplete, kRejected };

    // Adds a fragment. kRejected: length over kMaxMessage, a fragment that reaches past the
    // length, or a fragment of another (connection id, sequence, length) than the message
    // begun (the caller decides what to do; the assembler keeps the message begun). The first
    // fragment begins the message. A fragment of the message once complete is kComplete again.
    Result Add(const DatagramHeader& header, std::string_view payload);
    bool Begun() const;
    const DatagramHeader& Header() const; // of the message begun
    std::string_view Message() const;     // the whole message once complete, else empty
    void Reset();                         // ready for the next message
    // Bytes the message buffer holds: as far as the furthest fragment reached, no further.
    std::size_t Buffered() const { return bytes.capacity(); }
    // All the memory this assembly holds beyond the object itself.
    std::size_t Footprint() const;

  private:
    struct Range {
        std::size_t begin;
        std::size_t end;
    };
    void Cover(std::size_t begin, std::size_t end);
    bool Complete() const;

    bool begun = false;
    DatagramHeader header;
    std::vector<char> bytes;   // up to the furthest byte arrived
    std::vector<Range> ranges; // arrived bytes: sorted, disjoint, not touching
};

} // namespace tvn::relay
