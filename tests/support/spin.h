#pragma once

// Waiting in a test until something has happened: on the event loop, or for other threads.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <functional>
#include <thread>

namespace tvn::test {

// Runs the event loop until `done` holds or `timeoutMs` passed; the final value of `done`.
inline bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// Sleeps in steps of 5 ms until `done` holds or `timeoutMs` passed, for what other threads do
// (the event loop does not run); the final value of `done`.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

} // namespace tvn::test
