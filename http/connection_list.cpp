#include "http/connection_list.h"

#include "http/request_socket.h"

#include <algorithm>
#include <malloc.h>

namespace tvn {
namespace {

constexpr int kSweepEveryMs = 5000;
// An idle server frees ended connections after this delay; a busy one at every accept.
constexpr int kRetireDelayMs = 50;
// When the last of a crowd this large (connections alive at once) has ended, the memory of
// its buffers goes back to the system at once.
constexpr std::size_t kCrowd = 32;
// A server without connections this long gives back what the last ones left; one visitor
// after the other never waits for it.
constexpr int kTrimWhenIdleMs = 1000;

} // namespace

CConnectionList::CConnectionList() : giveBack([] { ::malloc_trim(0); }) {
    retireTimer.setSingleShot(true);
    QObject::connect(&retireTimer, &QTimer::timeout, [this] { DeleteRetired(); });
    trimTimer.setSingleShot(true);
    QObject::connect(&trimTimer, &QTimer::timeout, [this] {
        if (liveCount != 0)
            return; // the next time the list is empty arms it again
        // Armed by the first of many visitors one after the other, it waits on while they
        // come: the delay counts from the last time the list became empty.
        const auto idle = std::chrono::steady_clock::now() - emptySince;
        if (idle < std::chrono::milliseconds(kTrimWhenIdleMs)) {
            trimTimer.start(std::chrono::ceil<std::chrono::milliseconds>(
                std::chrono::milliseconds(kTrimWhenIdleMs) - idle));
            return;
        }
        giveBack();
    });
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
    else
        tail = &socket;
    head = &socket;
    ++liveCount;
    // Ended connections wait in `retired` until a batch of them goes: they are no crowd.
    peakCount = std::max(peakCount, liveCount - retired.size());
    ++perAddress[std::string(socket.Address())]; // kept at 0 for a while: see Remove
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
    else
        tail = socket.prev;
    socket.prev = socket.next = nullptr;
    --liveCount;
    const auto it = perAddress.find(std::string(socket.Address()));
    // A visitor's count stays at 0 for its next connection, up to a bound of such entries.
    if (it != perAddress.end() && --it->second <= 0 && perAddress.size() > kKeptAddresses)
        perAddress.erase(it);
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
    const bool ended = !batch.empty();
    batch.clear();
    if (retired.empty())
        retired.swap(batch); // its room serves the next batch
    // After a crowd has gone, the memory of its buffers goes back to the system instead of
    // staying with the process for good: at once when the last of a crowd ended, else once
    // the server stayed without connections for a while. Many visitors one after the other,
    // however quickly, are no crowd: a batch of them ended in one wake-up is not one either.
    if (liveCount != 0 || !ended)
        return;
    emptySince = std::chrono::steady_clock::now();
    if (peakCount >= kCrowd) {
        trimTimer.stop();
        giveBack();
    } else if (!trimTimer.isActive()) {
        trimTimer.start(kTrimWhenIdleMs);
    }
    peakCount = 0;
}

bool CConnectionList::AtAddressLimit(const std::string& address) const {
    const auto it = perAddress.find(address);
    return it != perAddress.end() && it->second >= kMaxPerAddress;
}

int CConnectionList::CloseOldestIncomplete(int count) {
    int closed = 0;
    for (CRequestSocket* s = tail; s && closed < count;) {
        CRequestSocket* newer = s->prev; // a closed connection only retires
        if (s->AbandonIfReadingHead())
            ++closed;
        s = newer;
    }
    return closed;
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
