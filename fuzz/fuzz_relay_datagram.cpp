// Datagrams as they arrive from the relay link: the header reader, the registration name, and
// the reassembly of messages from fragments that may come in any order, twice, overlapping or
// made up. The input is a run of datagrams, each preceded by its length (two bytes). The
// assembler's buffer never reaches past the furthest byte that came, and a reset frees it.
#include "fuzz/fuzz_check.h"
#include "relay/datagram.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using tvn::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tvn::relay;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    CMessageAssembler assembler;
    std::size_t furthest = 0; // the furthest byte of the message begun that came
    while (input.size() >= 2) {
        std::size_t length = (static_cast<unsigned char>(input[0]) |
                              static_cast<std::size_t>(static_cast<unsigned char>(input[1])) << 8) %
                             (kReceiveBuffer + 1);
        input.remove_prefix(2);
        length = std::min(length, input.size());
        const std::string_view datagram = input.substr(0, length);
        input.remove_prefix(length);

        DatagramHeader header;
        std::string_view payload;
        if (!ParseDatagram(datagram, header, payload)) {
            Check(datagram.size() < kHeaderSize);
            continue;
        }
        Check(payload.size() == datagram.size() - kHeaderSize);

        // What is written back out reads the same.
        std::string again;
        AppendDatagram(again, header, payload);
        DatagramHeader reread;
        std::string_view repayload;
        Check(ParseDatagram(again, reread, repayload));
        Check(reread.flags == header.flags && reread.connectionId == header.connectionId &&
              reread.sequence == header.sequence &&
              reread.fragmentOffset == header.fragmentOffset &&
              reread.messageLength == header.messageLength && repayload == payload);
        Check(MakeAck(header, header.connectionId).size() == kHeaderSize);

        if (header.flags & kRegister) {
            const std::string_view name = RegistrationName(payload);
            Check(name.size() <= payload.size() && name.find('\0') == std::string_view::npos);
            Check(MakeRegistration(name).size() <= kHeaderSize + kMaxRegistrationName + 1);
            continue;
        }
        const bool wasBegun = assembler.Begun();
        const CMessageAssembler::Result added = assembler.Add(header, payload);
        if (added != CMessageAssembler::Result::kRejected) {
            if (!wasBegun)
                furthest = 0;
            furthest = std::max(furthest, std::size_t{header.fragmentOffset} + payload.size());
        }
        Check(!assembler.Begun() || assembler.Buffered() <= furthest);
        switch (added) {
        case CMessageAssembler::Result::kComplete: {
            const std::string_view message = assembler.Message();
            Check(message.size() == assembler.Header().messageLength);
            // A message cut into fragments and put together again is the same message.
            CMessageAssembler copy;
            auto result = CMessageAssembler::Result::kIncomplete;
            const auto& begun = assembler.Header();
            for (const std::string& fragment :
                 FragmentMessage(begun.flags, begun.connectionId, begun.sequence, message)) {
                DatagramHeader fragmentHeader;
                std::string_view fragmentPayload;
                Check(ParseDatagram(fragment, fragmentHeader, fragmentPayload));
                Check(fragment.size() <= kHeaderSize + kFragmentPayload);
                result = copy.Add(fragmentHeader, fragmentPayload);
            }
            Check(result == CMessageAssembler::Result::kComplete && copy.Message() == message);
            assembler.Reset();
            Check(assembler.Footprint() == 0);
            break;
        }
        case CMessageAssembler::Result::kIncomplete:
            Check(assembler.Begun() && assembler.Message().empty());
            break;
        case CMessageAssembler::Result::kRejected:
            break;
        }
    }
    return 0;
}
