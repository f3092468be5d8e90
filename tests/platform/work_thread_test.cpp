// The periodic worker: one run at a time, restarts, and stops from any side.
#include "platform/work_thread.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace tvn {
namespace {

using namespace std::chrono_literals;

class Counting : public CWorkThread {
  public:
    ~Counting() override { Stop(); }
    std::atomic<int> calls = 0;
    std::atomic<int> finals = 0;
    std::atomic<bool> stopFromInside = false;

  protected:
    void Notify(bool final) override {
        if (final) {
            ++finals;
            return;
        }
        ++calls;
        if (stopFromInside)
            Stop(); // from the worker itself: must neither join itself nor wait for ever
    }
};

bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(10ms);
    return done();
}

// A Start while the worker ran assigned over a joinable thread, which ends the process.
TEST(WorkThread, StartWhileRunningOnlyChangesThePeriod) {
    Counting worker;
    worker.Start(10);
    worker.Start(10);
    worker.Start(5);
    ASSERT_TRUE(WaitFor([&] { return worker.calls >= 5; }));
    EXPECT_EQ(worker.Stop(), 0);
    EXPECT_EQ(worker.finals, 1) << "one worker ran, and ended once";
    EXPECT_FALSE(worker.Running());
    EXPECT_EQ(worker.Stop(), 1) << "nothing left to stop";
}

TEST(WorkThread, RestartsAfterAStopAndAfterStoppingItself) {
    Counting worker;
    worker.Start(10);
    ASSERT_TRUE(WaitFor([&] { return worker.calls >= 1; }));
    worker.Stop();
    const int before = worker.calls;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(worker.calls, before) << "no call after Stop returned";

    worker.stopFromInside = true;
    worker.Start(10);
    ASSERT_TRUE(WaitFor([&] { return !worker.Running(); }));
    EXPECT_EQ(worker.finals, 2);
    worker.stopFromInside = false;
    worker.Start(10); // the worker that ended by itself is joined first
    ASSERT_TRUE(WaitFor([&] { return worker.calls >= before + 3; }));
    worker.Stop();
    EXPECT_EQ(worker.finals, 3);
}

} // namespace
} // namespace tvn
