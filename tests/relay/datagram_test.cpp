// The relay link's datagrams as bytes: header layout, fragments, acknowledgements,
// registrations, and the reassembly of a message from fragments in any order.
#include "relay/datagram.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tvn::relay {
namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// A message whose every byte tells its position, so a misplaced fragment shows.
std::string Pattern(std::size_t size, int seed = 0) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed) * 13 + i / 251) & 0xFF);
    return out;
}

DatagramHeader Parsed(const std::string& datagram, std::string_view* payload = nullptr) {
    DatagramHeader header;
    std::string_view rest;
    EXPECT_TRUE(ParseDatagram(datagram, header, rest));
    if (payload != nullptr)
        *payload = rest;
    return header;
}

TEST(Datagram, HeaderFieldsAreLittleEndianAtTheirOffsets) {
    DatagramHeader header;
    header.flags = 0x11;
    header.connectionId = 0x04030201;
    header.sequence = 0x08070605;
    header.fragmentOffset = 0x0A09;
    header.messageLength = 0x0C0B;
    std::string out = "x"; // appends: what was there stays
    AppendDatagram(out, header, "pay");
    EXPECT_EQ(out, "x" + Bytes({0x11, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}) + "pay");
}

TEST(Datagram, ParseReadsTheFieldsAndIgnoresTheReservedBytes) {
    const std::string bytes = Bytes({0x05, 0xAA, 0xBB, 0xCC, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01,
                                     0x00, 0x80, 0x14, 0x05, 0x00, 0x40}) +
                              "tail";
    std::string_view payload;
    const DatagramHeader header = Parsed(bytes, &payload);
    EXPECT_EQ(header.flags, 0x05);
    EXPECT_EQ(header.connectionId, -1);
    EXPECT_EQ(header.sequence, 0x80000102u); // unsigned: the top bit is no sign
    EXPECT_EQ(header.fragmentOffset, 1300);
    EXPECT_EQ(header.messageLength, 16384);
    EXPECT_EQ(payload, "tail");
}

TEST(Datagram, RoundTripKeepsNegativeIdsAndTopBits) {
    for (const std::int32_t id :
         {-1, -2, 0, 1, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000)}) {
        SCOPED_TRACE(id);
        DatagramHeader header;
        header.flags = 0xFF;
        header.connectionId = id;
        header.sequence = 0xFFFFFFFF;
        header.fragmentOffset = 0xFFFF;
        header.messageLength = 0x8001;
        std::string out;
        AppendDatagram(out, header, {});
        const DatagramHeader back = Parsed(out);
        EXPECT_EQ(back.flags, header.flags);
        EXPECT_EQ(back.connectionId, id);
        EXPECT_EQ(back.sequence, header.sequence);
        EXPECT_EQ(back.fragmentOffset, header.fragmentOffset);
        EXPECT_EQ(back.messageLength, header.messageLength);
    }
}

TEST(Datagram, ShorterThanAHeaderIsRefused) {
    for (std::size_t size = 0; size < kHeaderSize; ++size) {
        SCOPED_TRACE(size);
        DatagramHeader header;
        std::string_view payload;
        EXPECT_FALSE(ParseDatagram(std::string(size, '\x01'), header, payload));
    }
    DatagramHeader header;
    std::string_view payload = "stale";
    EXPECT_TRUE(ParseDatagram(std::string(kHeaderSize, '\0'), header, payload));
    EXPECT_TRUE(payload.empty());
}

TEST(Datagram, AckOfAnOpenMessage) {
    DatagramHeader request;
    request.flags = kOpen;
    request.connectionId = -1;
    request.sequence = 0;
    request.fragmentOffset = 1300;
    request.messageLength = 2000;
    EXPECT_EQ(MakeAck(request, 7), Bytes({0x05, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    DatagramHeader response;
    response.connectionId = 3;
    response.sequence = 0x102;
    response.messageLength = 10;
    EXPECT_EQ(MakeAck(response, 3), Bytes({0x04, 0, 0, 0, 3, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0}));
}

TEST(Datagram, RegistrationOfAbcIsTwentyBytes) {
    EXPECT_EQ(MakeRegistration("abc"),
              Bytes({0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + "abc" + '\0');
}

TEST(Datagram, RegistrationNameIsCutTo1499Bytes) {
    const std::string name(2000, 'n');
    const std::string datagram = MakeRegistration(name);
    ASSERT_EQ(datagram.size(), kHeaderSize + 1499 + 1);
    EXPECT_EQ(datagram.back(), '\0');
    std::string_view payload;
    Parsed(datagram, &payload);
    EXPECT_EQ(RegistrationName(payload), name.substr(0, 1499));
}

TEST(Datagram, RegistrationNameEndsAtTheFirstZeroByte) {
    struct Case {
        std::string payload;
        std::string_view name;
    };
    const Case cases[] = {
        {std::string("home.example\0", 13), "home.example"},
        {std::string("a\0junk\0", 7), "a"},
        {"unterminated", "unterminated"},
        {std::string("\0", 1), ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(RegistrationName(c.payload), c.name);
    }
}

// The secret follows the name's zero byte: a relay that knows none reads the name alone.
TEST(Datagram, RegistrationCarriesTheSecretBehindTheName) {
    const std::string secret = "0123456789abcdef0123456789abcdef";
    const std::string datagram = MakeRegistration("abc", secret);
    EXPECT_EQ(datagram, MakeRegistration("abc") + secret);
    DatagramHeader header;
    std::string_view payload;
    ASSERT_TRUE(ParseDatagram(datagram, header, payload));
    EXPECT_EQ(RegistrationName(payload), "abc");
    EXPECT_EQ(RegistrationSecret(payload), secret);
    EXPECT_EQ(MakeRegistration("abc", "not a secret"), MakeRegistration("abc"));
    // A name so long that the secret would not fit the relay's receive buffer goes alone.
    const std::string longName(1499, 'a');
    EXPECT_EQ(MakeRegistration(longName, secret), MakeRegistration(longName));

    const std::pair<std::string_view, std::string_view> payloads[] = {
        {std::string_view("abc\0", 4), ""},
        {"abc", ""},
        {std::string_view("abc\0s3cr3t\0tail", 15), "s3cr3t"},
    };
    for (const auto& [bytes, found] : payloads)
        EXPECT_EQ(RegistrationSecret(bytes), found);
    const std::pair<std::string_view, bool> secrets[] = {
        {"0123456789abcdef", true},     {"0123456789abcde", false},
        {"A-_z0123456789ABCDEF", true}, {std::string_view("0123456789abcdef\0", 17), false},
        {"0123456789 abcdef", false},
    };
    for (const auto& [text, valid] : secrets)
        EXPECT_EQ(IsRegistrationSecret(text), valid) << text;
    EXPECT_FALSE(IsRegistrationSecret(std::string(65, 'a')));
    EXPECT_TRUE(IsRegistrationSecret(std::string(64, 'a')));
}

TEST(Datagram, RegistrationReplyAndClose) {
    EXPECT_EQ(MakeRegistrationReply(), Bytes({0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(MakeClose(-1, 4),
              Bytes({0x02, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(FragmentMessage, SizesOffsetsAndLengths) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> payloads;
    };
    std::vector<std::size_t> full(12, 1300);
    full.push_back(784);
    const Case cases[] = {
        {0, {0}}, {1, {1}}, {1300, {1300}}, {1301, {1300, 1}}, {2600, {1300, 1300}}, {16384, full},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string message = Pattern(c.size);
        const auto fragments = FragmentMessage(kOpen, -1, 9, message);
        ASSERT_EQ(fragments.size(), c.payloads.size());
        std::size_t offset = 0;
        std::string joined;
        for (std::size_t i = 0; i < fragments.size(); ++i) {
            std::string_view payload;
            const DatagramHeader header = Parsed(fragments[i], &payload);
            EXPECT_EQ(fragments[i].size(), kHeaderSize + c.payloads[i]);
            EXPECT_EQ(header.flags, kOpen);
            EXPECT_EQ(header.connectionId, -1);
            EXPECT_EQ(header.sequence, 9u);
            EXPECT_EQ(header.fragmentOffset, offset);
            EXPECT_EQ(header.messageLength, c.size);
            joined.append(payload);
            offset += c.payloads[i];
        }
        EXPECT_EQ(joined, message);
    }
}

TEST(FragmentMessage, LongerThanTheLimitIsRefused) {
    EXPECT_TRUE(FragmentMessage(0, 1, 1, std::string(20000, 'x')).empty());
    EXPECT_TRUE(FragmentMessage(0, 1, 1, std::string(kMaxMessage + 1, 'x')).empty());
    EXPECT_EQ(FragmentMessage(0, 1, 1, std::string(kMaxMessage, 'x')).size(), 13u);
}

// Fragments of one message, as (header, payload) pairs that stay valid with `datagrams`.
struct Fragments {
    std::vector<std::string> datagrams;
    std::vector<DatagramHeader> headers;
    std::vector<std::string_view> payloads;
};

Fragments Split(std::int32_t id, std::uint32_t sequence, const std::string& message) {
    Fragments f;
    f.datagrams = FragmentMessage(0, id, sequence, message);
    for (const auto& d : f.datagrams) {
        std::string_view payload;
        f.headers.push_back(Parsed(d, &payload));
        f.payloads.push_back(payload);
    }
    return f;
}

using Result = CMessageAssembler::Result;

TEST(MessageAssembler, FragmentsInAnyOrderComplete) {
    const std::string message = Pattern(5000);
    const Fragments f = Split(4, 2, message); // four fragments
    ASSERT_EQ(f.datagrams.size(), 4u);
    const std::vector<std::vector<std::size_t>> orders = {
        {0, 1, 2, 3}, {3, 2, 1, 0}, {2, 0, 3, 1}, {1, 3, 0, 2}};
    for (const auto& order : orders) {
        SCOPED_TRACE(::testing::PrintToString(order));
        CMessageAssembler assembler;
        for (std::size_t i = 0; i < order.size(); ++i) {
            const Result result = assembler.Add(f.headers[order[i]], f.payloads[order[i]]);
            EXPECT_EQ(result, i + 1 == order.size() ? Result::kComplete : Result::kIncomplete);
            if (i + 1 < order.size()) {
                EXPECT_TRUE(assembler.Message().empty());
            }
        }
        EXPECT_EQ(assembler.Message(), message);
        EXPECT_EQ(assembler.Header().connectionId, 4);
        EXPECT_EQ(assembler.Header().sequence, 2u);
    }
}

// A count of arrived bytes would reach the length with the first fragment twice and the
// last one, while the middle one is missing.
TEST(MessageAssembler, DuplicateDoesNotStandInForAMissingFragment) {
    const Fragments f = Split(1, 1, Pattern(3900)); // three fragments of 1300
    CMessageAssembler assembler;
    EXPECT_EQ(assembler.Add(f.headers[0], f.payloads[0]), Result::kIncomplete);
    EXPECT_EQ(assembler.Add(f.headers[0], f.payloads[0]), Result::kIncomplete);
    EXPECT_EQ(assembler.Add(f.headers[2], f.payloads[2]), Result::kIncomplete);
    EXPECT_TRUE(assembler.Message().empty());
    EXPECT_EQ(assembler.Add(f.headers[1], f.payloads[1]), Result::kComplete);
    EXPECT_EQ(assembler.Message(), Pattern(3900));
}

TEST(MessageAssembler, OverlappingPiecesCoverTheMessage) {
    const std::string message = Pattern(100);
    DatagramHeader header;
    header.connectionId = 2;
    header.sequence = 1;
    header.messageLength = 100;
    struct Piece {
        std::size_t begin, end;
        Result result;
    };
    const Piece pieces[] = {
        {40, 60, Result::kIncomplete},  {0, 10, Result::kIncomplete},
        {50, 70, Result::kIncomplete}, // overlaps the first piece's tail
        {10, 40, Result::kIncomplete}, // touches two pieces: [0, 70) now
        {90, 100, Result::kIncomplete}, {65, 89, Result::kIncomplete}, // one byte still missing
        {88, 91, Result::kComplete},
    };
    CMessageAssembler assembler;
    for (const auto& p : pieces) {
        SCOPED_TRACE(p.begin);
        header.fragmentOffset = static_cast<std::uint16_t>(p.begin);
        EXPECT_EQ(assembler.Add(header, std::string_view(message).substr(p.begin, p.end - p.begin)),
                  p.result);
    }
    EXPECT_EQ(assembler.Message(), message);
}

TEST(MessageAssembler, Rejections) {
    DatagramHeader begun;
    begun.connectionId = 5;
    begun.sequence = 3;
    begun.messageLength = 2000;
    struct Case {
        const char* what;
        std::int32_t id;
        std::uint32_t sequence;
        std::uint16_t offset;
        std::uint16_t length;
        std::size_t payload;
    };
    const Case cases[] = {
        {"past the length", 5, 3, 1900, 2000, 101},
        {"offset past the length", 5, 3, 2001, 2000, 0},
        {"another connection", 6, 3, 1300, 2000, 700},
        {"another sequence", 5, 4, 1300, 2000, 700},
        {"another length", 5, 3, 1300, 2001, 700},
        {"length over the limit", 5, 3, 0, 16385, 1300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CMessageAssembler assembler;
        const std::string first = Pattern(1300);
        ASSERT_EQ(assembler.Add(begun, first), Result::kIncomplete);
        DatagramHeader other = begun;
        other.connectionId = c.id;
        other.sequence = c.sequence;
        other.fragmentOffset = c.offset;
        other.messageLength = c.length;
        EXPECT_EQ(assembler.Add(other, std::string(c.payload, 'z')), Result::kRejected);
        // The message begun goes on as if the stray fragment had never come.
        DatagramHeader rest = begun;
        rest.fragmentOffset = 1300;
        const std::string tail = Pattern(700, 1);
        EXPECT_EQ(assembler.Add(rest, tail), Result::kComplete);
        EXPECT_EQ(assembler.Message(), first + tail);
        EXPECT_EQ(assembler.Header().connectionId, 5);
    }
}

TEST(MessageAssembler, RejectedFirstFragmentBeginsNothing) {
    DatagramHeader header;
    header.messageLength = 20000;
    CMessageAssembler assembler;
    EXPECT_EQ(assembler.Add(header, std::string(1300, 'a')), Result::kRejected);
    header.messageLength = 10;
    EXPECT_EQ(assembler.Add(header, std::string(11, 'a')), Result::kRejected);
    EXPECT_FALSE(assembler.Begun());
    EXPECT_EQ(assembler.Add(header, std::string(10, 'a')), Result::kComplete);
}

TEST(MessageAssembler, NextMessageShowsNothingOfTheFirst) {
    CMessageAssembler assembler;
    const Fragments first = Split(1, 1, std::string(3000, 'A'));
    for (std::size_t i = 0; i < first.headers.size(); ++i)
        assembler.Add(first.headers[i], first.payloads[i]);
    ASSERT_EQ(assembler.Message(), std::string(3000, 'A'));
    assembler.Reset();
    EXPECT_FALSE(assembler.Begun());

    // The second message is shorter, and its first fragment to arrive is its last: the bytes
    // before it must not be the first message's, nor may the message count as complete.
    const Fragments second = Split(1, 2, std::string(2000, 'B'));
    EXPECT_EQ(assembler.Add(second.headers[1], second.payloads[1]), Result::kIncomplete);
    EXPECT_TRUE(assembler.Message().empty());
    EXPECT_EQ(assembler.Add(second.headers[0], second.payloads[0]), Result::kComplete);
    EXPECT_EQ(assembler.Message(), std::string(2000, 'B'));
    EXPECT_EQ(assembler.Header().sequence, 2u);
}

TEST(MessageAssembler, HeaderOnlyMessageIsCompleteAtOnce) {
    const Fragments f = Split(9, 4, "");
    ASSERT_EQ(f.headers.size(), 1u);
    CMessageAssembler assembler;
    EXPECT_EQ(assembler.Add(f.headers[0], f.payloads[0]), Result::kComplete);
    EXPECT_TRUE(assembler.Begun());
    EXPECT_TRUE(assembler.Message().empty());
    EXPECT_EQ(assembler.Header().connectionId, 9);
}

TEST(MessageAssembler, RepeatOfACompleteMessageStaysComplete) {
    const Fragments f = Split(1, 1, Pattern(1500));
    CMessageAssembler assembler;
    assembler.Add(f.headers[0], f.payloads[0]);
    ASSERT_EQ(assembler.Add(f.headers[1], f.payloads[1]), Result::kComplete);
    EXPECT_EQ(assembler.Add(f.headers[0], f.payloads[0]), Result::kComplete);
    EXPECT_EQ(assembler.Message(), Pattern(1500));
}

// A fragment that announces 16384 bytes and carries none took the whole length at once: a
// flood of them from the relay's address took the server to 1.9 GB. The buffer reaches as
// far as the fragments that came, and a reset gives the memory back.
TEST(MessageAssembler, BufferGrowsWithThePayloadThatArrives) {
    DatagramHeader header;
    header.flags = kOpen;
    header.connectionId = 7;
    header.messageLength = 16384;
    CMessageAssembler assembler;
    struct Step {
        std::uint16_t offset;
        std::size_t payload;
        std::size_t buffered;
    };
    const Step steps[] = {
        {0, 0, 0},          // the announced length alone
        {0, 1300, 1300},    // the first fragment
        {0, 1300, 1300},    // again
        {5200, 1300, 6500}, // one further on: as far as it reaches
        {1300, 1300, 6500}, // a gap filled
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.offset);
        header.fragmentOffset = step.offset;
        EXPECT_EQ(assembler.Add(header, Pattern(step.payload)), Result::kIncomplete);
        EXPECT_EQ(assembler.Buffered(), step.buffered);
        EXPECT_GE(assembler.Footprint(), assembler.Buffered());
    }
    assembler.Reset();
    EXPECT_EQ(assembler.Footprint(), 0u);
}

// SipHash-2-4 as its authors give it: key 00..0f, message 00..0e.
TEST(KeyedDigest, PublishedSipHashValueAndKeyDependence) {
    const DigestKey key = {0x0706050403020100ULL, 0x0F0E0D0C0B0A0908ULL};
    std::string message;
    for (int i = 0; i < 15; ++i)
        message.push_back(static_cast<char>(i));
    EXPECT_EQ(KeyedDigest(key, message), 0xA129CA6149BE45E5ULL);
    EXPECT_EQ(KeyedDigest(key, ""), 0x726FDB47DD0E0E31ULL);
    const DigestKey other = {key[0] ^ 1, key[1]};
    EXPECT_NE(KeyedDigest(other, message), KeyedDigest(key, message));
    std::string changed = message;
    changed[14] = 'x';
    EXPECT_NE(KeyedDigest(key, changed), KeyedDigest(key, message));
}

} // namespace
} // namespace tvn::relay
