#pragma once

#include "platform/unique_fd.h"

#include <functional>
#include <memory>

class QSocketNotifier;

namespace tvn {

// Turns SIGTERM and SIGINT into a call on the event loop. The signal handler only writes
// one byte into a pipe; the pipe's read notifier runs `onSignal`, so no Qt call and no
// allocation ever happens inside the handler. One object at a time; the previous handlers
// come back when it goes.
class CTerminationSignals {
  public:
    explicit CTerminationSignals(std::function<void()> onSignal);
    ~CTerminationSignals();
    CTerminationSignals(const CTerminationSignals&) = delete;
    CTerminationSignals& operator=(const CTerminationSignals&) = delete;

    // False when the pipe could not be made (the default signal actions stay).
    bool Installed() const { return notifier != nullptr; }

  private:
    void OnReadable();

    std::function<void()> onSignal;
    UniqueFd readEnd;
    UniqueFd writeEnd;
    std::unique_ptr<QSocketNotifier> notifier; // after the fds: goes before they close
};

} // namespace tvn
