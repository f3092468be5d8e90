#include "platform/work_thread.h"

namespace tvn {

CWorkThread::~CWorkThread() {
    // A derived class stops its worker in its own destructor, while its Notify still
    // exists; this is the last guard.
    SignalStop();
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id())
        worker.join();
}

int CWorkThread::Start(int newPeriodMs) {
    std::unique_lock guard(lock);
    periodMs = newPeriodMs;
    if (running) {
        wake.notify_all(); // the running worker takes up the new period
        return 0;
    }
    // A worker that ended by itself is joined before another begins: assigning over a
    // joinable thread would end the process.
    std::thread finished = std::move(worker);
    guard.unlock();
    if (finished.joinable())
        finished.join();
    guard.lock();
    if (running)
        return 0; // another Start got there while we joined
    stopSignalled = false;
    running = true;
    worker = std::thread([this] { Run(); });
    return 0;
}

int CWorkThread::Stop() {
    std::thread ending;
    {
        std::lock_guard guard(lock);
        if (!running && !worker.joinable())
            return 1;
        stopSignalled = true;
        wake.notify_all();
        if (worker.get_id() == std::this_thread::get_id())
            return 0; // never join a thread from itself: it ends after this Notify
        ending = std::move(worker);
    }
    if (ending.joinable())
        ending.join();
    return 0;
}

void CWorkThread::SignalStop() {
    std::lock_guard guard(lock);
    stopSignalled = true;
    wake.notify_all();
}

bool CWorkThread::Running() const {
    std::lock_guard guard(lock);
    return running;
}

int CWorkThread::PeriodMs() const {
    std::lock_guard guard(lock);
    return periodMs;
}

void CWorkThread::Run() {
    Notify(false);
    std::unique_lock guard(lock);
    while (!stopSignalled) {
        // The period is read anew for each wait.
        const auto period = std::chrono::milliseconds(periodMs > 0 ? periodMs : 1);
        const int seenPeriod = periodMs;
        if (wake.wait_for(guard, period, [&] { return stopSignalled || periodMs != seenPeriod; }))
            continue; // stopped, or a new period: wait again with it
        guard.unlock();
        Notify(false);
        guard.lock();
    }
    guard.unlock();
    Notify(true);
    guard.lock();
    running = false;
}

} // namespace tvn
