#pragma once

#include "platform/unique_fd.h"

#include <memory>
#include <string>

class QSocketNotifier;

namespace tvn {

// Stand-in for the event-driven socket: a non-blocking descriptor with a read and a write
// notifier on the main thread's event loop. AsyncSelect enables exactly the notifications
// asked for; the notifiers are made on first use, so a socket that never waits costs none.
class CAsyncSocket {
  public:
    enum Events : int { kRead = 1, kWrite = 2, kAccept = 8, kClose = 32 };

    explicit CAsyncSocket(UniqueFd fd = UniqueFd());
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Enables the read notifier for kRead, kAccept or kClose and the write one for kWrite.
    void AsyncSelect(int events);
    int Handle() const { return fd.Get(); }
    // Disables both notifiers and closes the descriptor.
    void Close();

  protected:
    virtual void OnReadable() {}
    virtual void OnWritable() {}
    void Adopt(UniqueFd newFd);

  private:
    UniqueFd fd; // declared before the notifiers: they go first
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
};

} // namespace tvn
