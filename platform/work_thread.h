#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tvn {

// A periodic worker: Notify(false) at start and then every period until stopped, and
// Notify(true) once at the end. One worker of an object runs at a time: a Start while one
// runs only changes the period, which the running worker takes up at its next wait.
class CWorkThread {
  public:
    CWorkThread() = default;
    virtual ~CWorkThread();
    CWorkThread(const CWorkThread&) = delete;
    CWorkThread& operator=(const CWorkThread&) = delete;

    // Stores `periodMs` and starts the worker unless one runs; returns 0.
    virtual int Start(int periodMs);
    // Signals the worker to stop and waits until it has ended (never from the worker
    // itself); 1 when none was running, else 0.
    virtual int Stop();
    // Asks the worker to stop without waiting.
    void SignalStop();
    bool Running() const;

  protected:
    // The periodic work; `final` for the call at the end.
    virtual void Notify(bool final) = 0;
    int PeriodMs() const;

  private:
    void Run();

    mutable std::mutex lock; // guards everything below
    std::condition_variable wake;
    bool stopSignalled = false;
    bool running = false;
    int periodMs = -1;
    std::thread worker;
};

} // namespace tvn
