#include "tools/relay/relay_transfer.h"

namespace tvn::relay {

CRequestSender::CRequestSender(std::int32_t id, std::string_view message, RetryPolicy retries)
    : requestId(id), datagrams(FragmentMessage(kOpen, id, 0, message)), machine(retries) {}

bool IsOpenAck(const DatagramHeader& header, std::size_t datagramSize, std::int32_t requestId) {
    const bool ours =
        requestId == -1 ? header.connectionId != -1 : header.connectionId == requestId;
    return datagramSize == kHeaderSize && (header.flags & kOpen) && (header.flags & kAck) &&
           !(header.flags & (kClose | kRegister | kControl)) && header.sequence == 0 && ours;
}

CResponseReceiver::CResponseReceiver(std::int32_t connectionId) : id(connectionId) {}

CResponseReceiver::Step CResponseReceiver::OnFragment(const DatagramHeader& header,
                                                      std::string_view payload, bool room) {
    if (header.sequence < next) {
        // The server did not get our acknowledgement and sends the message again. One
        // acknowledgement per repetition: every further one would cost the server an attempt.
        if (header.fragmentOffset == 0)
            return Step{MakeAck(header, id), {}};
        return {};
    }
    if (header.sequence > next)
        return {}; // the server waits for an acknowledgement before it sends that one
    if (assembler.Add(header, payload) != CMessageAssembler::Result::kComplete || !room)
        return {};
    return Deliver();
}

CResponseReceiver::Step CResponseReceiver::OnRoom() { return Holding() ? Deliver() : Step{}; }

bool CResponseReceiver::Holding() const {
    return assembler.Begun() &&
           (assembler.Header().messageLength == 0 || !assembler.Message().empty());
}

CResponseReceiver::Step CResponseReceiver::Deliver() {
    Step step{MakeAck(assembler.Header(), id), std::string(assembler.Message())};
    ++next;
    assembler.Reset();
    return step;
}

} // namespace tvn::relay
