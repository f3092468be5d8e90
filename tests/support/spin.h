#pragma once

// Running the event loop in a test until something has happened.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

namespace tvn::test {

// Runs the event loop until `done` holds or `timeoutMs` passed; the final value of `done`.
inline bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

} // namespace tvn::test
