#include "shell/termination_signals.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tvn {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};

std::atomic<int> pipeWriteFd{-1};
struct sigaction previous[2];

extern "C" void OnTerminationSignal(int) {
    const int savedErrno = errno;
    const int fd = pipeWriteFd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a pending wake-up; losing this byte changes nothing.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

CTerminationSignals::CTerminationSignals(std::function<void()> handler)
    : onSignal(std::move(handler)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd.Reset(fds[0]);
    writeEnd.Reset(fds[1]);
    pipeWriteFd.store(writeEnd.Get());
    notifier = std::make_unique<QSocketNotifier>(readEnd.Get(), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                     [this] { OnReadable(); });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        ::sigaction(kSignals[i], &action, &previous[i]);
}

CTerminationSignals::~CTerminationSignals() {
    if (!notifier)
        return;
    for (int i = 0; i < 2; ++i)
        ::sigaction(kSignals[i], &previous[i], nullptr);
    pipeWriteFd.store(-1);
}

void CTerminationSignals::OnReadable() {
    char bytes[64];
    while (::read(readEnd.Get(), bytes, sizeof bytes) > 0) {
    }
    onSignal();
}

} // namespace tvn
