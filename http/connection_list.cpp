#include "http/connection_list.h"

#include "http/request_socket.h"

namespace tvn {
namespace {

constexpr int kSweepEveryMs = 5000;
// An idle server frees ended connections after this delay; a busy one at every accept.
constexpr int kRetireDelayMs = 50;

} // namespace

CConnectionList::CConnectionList() {
    retireTimer.setSingleShot(true);
    QObject::connect(&retireTimer, &QTimer::timeout, [this] { DeleteRetired(); });
    QObject::connect(&sweepTimer, &QTimer::timeout,
                     [this] { SweepIdle(std::chrono::steady_clock::now()); });
}

CConnectionList::~CConnectionList() {
    DeleteRetired();
    while (head)
        delete head; // unlinks itself
}

void CConnectionList::Add(CRequestSocket& socket) {
    socket.next = head;
    if (head)
        head->prev = &socket;
    head = &socket;
    ++liveCount;
    if (!sweepTimer.isActive())
        sweepTimer.start(kSweepEveryMs);
}

void CConnectionList::Remove(CRequestSocket& socket) {
    if (socket.prev)
        socket.prev->next = socket.next;
    else
        head = socket.next;
    if (socket.next)
        socket.next->prev = socket.prev;
    socket.prev = socket.next = nullptr;
    --liveCount;
}

void CConnectionList::Retire(CRequestSocket& socket) {
    retired.push_back(&socket);
    if (!retireTimer.isActive())
        retireTimer.start(kRetireDelayMs);
}

void CConnectionList::DeleteRetired() {
    std::vector<CRequestSocket*> batch;
    batch.swap(retired);
    for (CRequestSocket* socket : batch)
        delete socket;
}

void CConnectionList::SweepIdle(std::chrono::steady_clock::time_point now) {
    if (liveCount == 0)
        sweepTimer.stop(); // an idle server does not wake up for nothing
    for (CRequestSocket* s = head; s;) {
        CRequestSocket* following = s->next; // an expired connection only retires
        s->ExpireIfIdle(now);
        s = following;
    }
}

} // namespace tvn
