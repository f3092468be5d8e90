// The stop-and-wait sender of both ends of the relay link, driven by times the tests choose:
// when a message goes out again, when it is given up, and which acknowledgements count.
#include "relay/stop_and_wait.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace tvn::relay {
namespace {

using namespace std::chrono_literals;
using A = CStopAndWait::Action;

enum class Event { kBegin, kTick, kAck, kCancel };

struct Step {
    Event event;
    Millis at;
    A expected;
    std::uint32_t sequence = 0; // of kBegin and kAck
};

struct Scenario {
    const char* what;
    RetryPolicy policy;
    std::vector<Step> steps;
    int sends; // sendings of the last message when the steps are done
};

A Apply(CStopAndWait& machine, const Step& step) {
    switch (step.event) {
    case Event::kBegin:
        return machine.Begin(step.sequence, step.at);
    case Event::kTick:
        return machine.OnTick(step.at);
    case Event::kAck:
        return machine.OnAck(step.sequence, step.at);
    case Event::kCancel:
        machine.Cancel();
        return A::kIdle;
    }
    return A::kIdle;
}

const char* Name(A action) {
    switch (action) {
    case A::kIdle:
        return "idle";
    case A::kTransmit:
        return "transmit";
    case A::kGiveUp:
        return "give up";
    case A::kAcknowledged:
        return "acknowledged";
    }
    return "?";
}

TEST(StopAndWait, Timelines) {
    const RetryPolicy three{3, 100ms};
    const Scenario scenarios[] = {
        {"nothing begun: ticks and acknowledgements do nothing",
         three,
         {{Event::kTick, 0ms, A::kIdle},
          {Event::kTick, 10s, A::kIdle},
          {Event::kAck, 10s, A::kIdle, 0},
          {Event::kAck, 10s, A::kIdle, 1}},
         0},
        {"unacknowledged: sent again after every wait, given up after the last one's",
         three,
         {{Event::kBegin, 1000ms, A::kTransmit, 1},
          {Event::kTick, 1099ms, A::kIdle},
          {Event::kTick, 1100ms, A::kTransmit},
          {Event::kTick, 1199ms, A::kIdle},
          {Event::kTick, 1200ms, A::kTransmit},
          {Event::kTick, 1299ms, A::kIdle},
          {Event::kTick, 1300ms, A::kGiveUp},
          // Given up: idle from then on, and a late acknowledgement changes nothing.
          {Event::kTick, 1400ms, A::kIdle},
          {Event::kAck, 1400ms, A::kIdle, 1}},
         3},
        {"a late tick: the next wait runs from the sending it made",
         three,
         {{Event::kBegin, 0ms, A::kTransmit, 1},
          {Event::kTick, 250ms, A::kTransmit},
          {Event::kTick, 349ms, A::kIdle},
          {Event::kTick, 350ms, A::kTransmit}},
         3},
        {"acknowledged once, however often the acknowledgement comes",
         three,
         {{Event::kBegin, 0ms, A::kTransmit, 1},
          {Event::kTick, 100ms, A::kTransmit},
          {Event::kAck, 150ms, A::kAcknowledged, 1},
          {Event::kAck, 151ms, A::kIdle, 1},
          {Event::kTick, 10s, A::kIdle}},
         2},
        {"an acknowledgement after the wait ran out but before the tick still counts",
         three,
         {{Event::kBegin, 0ms, A::kTransmit, 1},
          {Event::kTick, 200ms, A::kTransmit},
          {Event::kAck, 400ms, A::kAcknowledged, 1},
          {Event::kTick, 400ms, A::kIdle}},
         2},
        {"old and stray acknowledgements leave the message waiting",
         three,
         {{Event::kBegin, 0ms, A::kTransmit, 1},
          {Event::kAck, 10ms, A::kAcknowledged, 1},
          {Event::kBegin, 20ms, A::kTransmit, 2},
          {Event::kAck, 30ms, A::kIdle, 1},          // the previous message's, repeated
          {Event::kAck, 30ms, A::kIdle, 3},          // one not sent yet
          {Event::kAck, 30ms, A::kIdle, 0xFFFFFFFF}, // nonsense
          {Event::kTick, 120ms, A::kTransmit},
          {Event::kAck, 130ms, A::kAcknowledged, 2}},
         2},
        {"sequence 0, the relay service's request message",
         three,
         {{Event::kBegin, 0ms, A::kTransmit, 0}, {Event::kAck, 1ms, A::kAcknowledged, 0}},
         1},
        {"a new message replaces the one in flight, with a count of its own",
         three,
         {{Event::kBegin, 0ms, A::kTransmit, 1},
          {Event::kTick, 100ms, A::kTransmit},
          {Event::kBegin, 150ms, A::kTransmit, 2},
          {Event::kAck, 160ms, A::kIdle, 1},
          {Event::kTick, 250ms, A::kTransmit},
          {Event::kTick, 350ms, A::kTransmit},
          {Event::kTick, 450ms, A::kGiveUp}},
         3},
        {"cancelled: nothing more goes out and no acknowledgement is awaited",
         three,
         {{Event::kBegin, 0ms, A::kTransmit, 1},
          {Event::kCancel, 10ms, A::kIdle},
          {Event::kTick, 1s, A::kIdle},
          {Event::kAck, 1s, A::kIdle, 1}},
         1},
        {"one attempt: no second sending",
         {1, 100ms},
         {{Event::kBegin, 0ms, A::kTransmit, 1}, {Event::kTick, 100ms, A::kGiveUp}},
         1},
        {"fewer than one attempt is one",
         {0, 100ms},
         {{Event::kBegin, 0ms, A::kTransmit, 1},
          {Event::kTick, 99ms, A::kIdle},
          {Event::kTick, 100ms, A::kGiveUp}},
         1},
        {"a negative wait waits nothing",
         {2, -5ms},
         {{Event::kBegin, 7ms, A::kTransmit, 1},
          {Event::kTick, 7ms, A::kTransmit},
          {Event::kTick, 7ms, A::kGiveUp}},
         2},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.what);
        CStopAndWait machine(scenario.policy);
        for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            SCOPED_TRACE("step " + std::to_string(i) + " at " + std::to_string(step.at.count()) +
                         " ms");
            EXPECT_STREQ(Name(Apply(machine, step)), Name(step.expected));
        }
        EXPECT_EQ(machine.Sends(), scenario.sends);
    }
}

// What the timer of an adapter asks: while a message waits, the deadline is the last
// sending plus the wait, and a tick there acts.
TEST(StopAndWait, DeadlineIsWhenTheNextTickActs) {
    CStopAndWait machine(RetryPolicy{2, 300ms});
    EXPECT_FALSE(machine.InFlight());
    machine.Begin(1, 1000ms);
    EXPECT_TRUE(machine.InFlight());
    EXPECT_EQ(machine.Deadline(), 1300ms);
    EXPECT_EQ(machine.OnTick(machine.Deadline() - 1ms), A::kIdle);
    EXPECT_EQ(machine.OnTick(machine.Deadline() + 20ms), A::kTransmit);
    EXPECT_EQ(machine.Deadline(), 1620ms);
    EXPECT_EQ(machine.OnTick(machine.Deadline()), A::kGiveUp);
    EXPECT_FALSE(machine.InFlight());
}

// The protocol's numbers, as a peer sees them on the wire: ticks every 10 ms for a minute.
TEST(StopAndWait, ProtocolSendsFiveTimesThenGivesUp) {
    struct Case {
        const char* what;
        RetryPolicy policy;
        std::vector<Millis> sendings;
        Millis givenUp;
    };
    const Case cases[] = {
        {"the server's response message", kResponseRetries, {0s, 5s, 10s, 15s, 20s}, 25s},
        {"the relay service's request message", kRequestRetries, {0s, 3s, 6s, 9s, 12s}, 15s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CStopAndWait machine(c.policy);
        std::vector<Millis> sendings;
        std::optional<Millis> givenUp;
        if (machine.Begin(1, 0ms) == A::kTransmit)
            sendings.push_back(0ms);
        for (Millis now = 10ms; now <= 60s; now += 10ms) {
            const A action = machine.OnTick(now);
            if (action == A::kTransmit)
                sendings.push_back(now);
            if (action == A::kGiveUp && !givenUp)
                givenUp = now;
        }
        EXPECT_EQ(sendings, c.sendings);
        EXPECT_EQ(givenUp, c.givenUp);
    }
}

} // namespace
} // namespace tvn::relay
