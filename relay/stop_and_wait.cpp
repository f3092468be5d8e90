#include "relay/stop_and_wait.h"

#include <algorithm>

namespace tvn::relay {

Millis SteadyNow() {
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now().time_since_epoch());
}

CStopAndWait::CStopAndWait(RetryPolicy chosen)
    : policy{std::max(chosen.attempts, 1), std::max(chosen.wait, Millis{0})} {}

CStopAndWait::Action CStopAndWait::Begin(std::uint32_t messageSequence, Millis now) {
    state = State::kWaitingForAck;
    sequence = messageSequence;
    lastSent = now;
    sends = 1;
    return Action::kTransmit;
}

CStopAndWait::Action CStopAndWait::OnTick(Millis now) {
    switch (state) {
    case State::kIdle:
        return Action::kIdle;
    case State::kWaitingForAck:
        if (now - lastSent < policy.wait)
            return Action::kIdle;
        if (sends >= policy.attempts) {
            state = State::kIdle;
            return Action::kGiveUp;
        }
        lastSent = now;
        ++sends;
        return Action::kTransmit;
    }
    return Action::kIdle;
}

CStopAndWait::Action CStopAndWait::OnAck(std::uint32_t ackSequence, Millis) {
    if (state != State::kWaitingForAck || ackSequence != sequence)
        return Action::kIdle;
    state = State::kIdle;
    return Action::kAcknowledged;
}

} // namespace tvn::relay
