#include "relay/datagram.h"

#include <algorithm>

namespace tvn::relay {
namespace {

// Fields are written byte by byte: the format is little-endian whatever the machine's order.
void PutLittle(std::string& out, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetLittle(std::string_view bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// A header of the given flags, id and sequence with bytes 12..15 zero, alone.
std::string HeaderOnly(std::uint8_t flags, std::int32_t connectionId, std::uint32_t sequence) {
    DatagramHeader header;
    header.flags = flags;
    header.connectionId = connectionId;
    header.sequence = sequence;
    std::string out;
    AppendDatagram(out, header, {});
    return out;
}

} // namespace

bool ParseDatagram(std::string_view bytes, DatagramHeader& header, std::string_view& payload) {
    if (bytes.size() < kHeaderSize)
        return false;
    header.flags = static_cast<std::uint8_t>(bytes[0]);
    header.connectionId = static_cast<std::int32_t>(GetLittle(bytes, 4, 4));
    header.sequence = GetLittle(bytes, 8, 4);
    header.fragmentOffset = static_cast<std::uint16_t>(GetLittle(bytes, 12, 2));
    header.messageLength = static_cast<std::uint16_t>(GetLittle(bytes, 14, 2));
    payload = bytes.substr(kHeaderSize);
    return true;
}

void AppendDatagram(std::string& out, const DatagramHeader& header, std::string_view payload) {
    out.reserve(out.size() + kHeaderSize + payload.size());
    out.push_back(static_cast<char>(header.flags));
    out.append(3, '\0');
    PutLittle(out, static_cast<std::uint32_t>(header.connectionId), 4);
    PutLittle(out, header.sequence, 4);
    PutLittle(out, header.fragmentOffset, 2);
    PutLittle(out, header.messageLength, 2);
    out.append(payload);
}

std::vector<std::string> FragmentMessage(std::uint8_t flags, std::int32_t connectionId,
                                         std::uint32_t sequence, std::string_view message) {
    std::vector<std::string> fragments;
    if (message.size() > kMaxMessage)
        return fragments;
    DatagramHeader header;
    header.flags = flags;
    header.connectionId = connectionId;
    header.sequence = sequence;
    header.messageLength = static_cast<std::uint16_t>(message.size());
    std::size_t offset = 0;
    do {
        const std::string_view part = message.substr(offset, kFragmentPayload);
        header.fragmentOffset = static_cast<std::uint16_t>(offset);
        AppendDatagram(fragments.emplace_back(), header, part);
        offset += kFragmentPayload;
    } while (offset < message.size());
    return fragments;
}

std::string MakeAck(const DatagramHeader& of, std::int32_t connectionId) {
    return HeaderOnly(static_cast<std::uint8_t>(of.flags | kAck), connectionId, of.sequence);
}

std::string MakeRegistration(std::string_view name, std::string_view secret) {
    std::string out = HeaderOnly(kRegister, 0, 0);
    out.append(name.substr(0, kMaxRegistrationName));
    out.push_back('\0');
    if (IsRegistrationSecret(secret) && out.size() + secret.size() <= kReceiveBuffer)
        out.append(secret);
    return out;
}

std::string_view RegistrationName(std::string_view payload) {
    return payload.substr(0, payload.find('\0'));
}

std::string_view RegistrationSecret(std::string_view payload) {
    const auto end = payload.find('\0');
    if (end == std::string_view::npos)
        return {};
    const std::string_view rest = payload.substr(end + 1);
    return rest.substr(0, rest.find('\0'));
}

bool IsRegistrationSecret(std::string_view secret) {
    if (secret.size() < kMinRegistrationSecret || secret.size() > kMaxRegistrationSecret)
        return false;
    return std::all_of(secret.begin(), secret.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

std::string MakeRegistrationReply() { return HeaderOnly(kRegistrationReply, 0, 0); }

std::string MakeClose(std::int32_t connectionId, std::uint32_t sequence) {
    return HeaderOnly(kClose, connectionId, sequence);
}

CMessageAssembler::Result CMessageAssembler::Add(const DatagramHeader& fragment,
                                                 std::string_view payload) {
    if (fragment.messageLength > kMaxMessage ||
        std::size_t{fragment.fragmentOffset} + payload.size() > fragment.messageLength)
        return Result::kRejected;
    if (!begun) {
        begun = true;
        header = fragment;
    } else if (fragment.connectionId != header.connectionId ||
               fragment.sequence != header.sequence ||
               fragment.messageLength != header.messageLength) {
        return Result::kRejected;
    }
    // The buffer reaches as far as this fragment, exactly: an announced length alone (a
    // fragment without payload) costs nothing.
    const std::size_t end = fragment.fragmentOffset + payload.size();
    if (end > bytes.size()) {
        bytes.reserve(end);
        bytes.resize(end, '\0');
    }
    std::copy(payload.begin(), payload.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(fragment.fragmentOffset));
    Cover(fragment.fragmentOffset, end);
    return Complete() ? Result::kComplete : Result::kIncomplete;
}

// Merges [begin, end) into the arrived ranges, joining those it overlaps or touches.
void CMessageAssembler::Cover(std::size_t begin, std::size_t end) {
    if (begin == end)
        return;
    auto first =
        std::find_if(ranges.begin(), ranges.end(), [&](const Range& r) { return r.end >= begin; });
    auto last = first;
    while (last != ranges.end() && last->begin <= end) {
        begin = std::min(begin, last->begin);
        end = std::max(end, last->end);
        ++last;
    }
    first = ranges.erase(first, last);
    ranges.insert(first, Range{begin, end});
}

bool CMessageAssembler::Complete() const {
    if (!begun)
        return false;
    if (header.messageLength == 0)
        return true;
    return ranges.size() == 1 && ranges.front().begin == 0 &&
           ranges.front().end == header.messageLength;
}

bool CMessageAssembler::Begun() const { return begun; }

const DatagramHeader& CMessageAssembler::Header() const { return header; }

std::string_view CMessageAssembler::Message() const {
    return Complete() ? std::string_view(bytes.data(), bytes.size()) : std::string_view();
}

void CMessageAssembler::Reset() {
    begun = false;
    header = DatagramHeader{};
    // The memory goes too, not only the contents.
    std::vector<char>().swap(bytes);
    std::vector<Range>().swap(ranges);
}

std::size_t CMessageAssembler::Footprint() const {
    return bytes.capacity() + ranges.capacity() * sizeof(Range);
}

namespace {

std::uint64_t Rotate(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

void SipRound(std::uint64_t (&v)[4]) {
    v[0] += v[1];
    v[1] = Rotate(v[1], 13) ^ v[0];
    v[0] = Rotate(v[0], 32);
    v[2] += v[3];
    v[3] = Rotate(v[3], 16) ^ v[2];
    v[0] += v[3];
    v[3] = Rotate(v[3], 21) ^ v[0];
    v[2] += v[1];
    v[1] = Rotate(v[1], 17) ^ v[2];
    v[2] = Rotate(v[2], 32);
}

void Absorb(std::uint64_t (&v)[4], std::uint64_t word) {
    v[3] ^= word;
    SipRound(v);
    SipRound(v);
    v[0] ^= word;
}

} // namespace

std::uint64_t KeyedDigest(const DigestKey& key, std::string_view bytes) {
    std::uint64_t v[4] = {key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
                          key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word = 0;
        for (int i = 7; i >= 0; --i)
            word =
                (word << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
        Absorb(v, word);
    }
    // The last word: the bytes left, and the length's low byte on top.
    std::uint64_t last = static_cast<std::uint64_t>(bytes.size() & 0xFF) << 56;
    for (std::size_t i = 0; at + i < bytes.size(); ++i)
        last |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    Absorb(v, last);
    v[2] ^= 0xFF;
    for (int i = 0; i < 4; ++i)
        SipRound(v);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

} // namespace tvn::relay
