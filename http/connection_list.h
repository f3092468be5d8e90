#pragma once

#include <QTimer>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tvn {

class CRequestSocket;

// The live TCP connections of one server document: the idle sweep runs over them, and the
// ones that ended are deleted in batches where none of them can be on the stack. Deleting
// the list deletes the connections still alive.
class CConnectionList {
  public:
    CConnectionList();
    ~CConnectionList();
    CConnectionList(const CConnectionList&) = delete;
    CConnectionList& operator=(const CConnectionList&) = delete;

    // Links `socket` in (called by its constructor) and starts the idle sweep.
    void Add(CRequestSocket& socket);
    // Unlinks `socket` (called by its destructor).
    void Remove(CRequestSocket& socket);
    // Queues an ended connection for deletion (never deleted while it may be calling us).
    void Retire(CRequestSocket& socket);
    // Deletes the connections that ended; called where none of them can be on the stack.
    void DeleteRetired();
    // Closes every connection idle for longer than its limit at `now`; runs every few
    // seconds while connections live, also after the listener has been closed.
    void SweepIdle(std::chrono::steady_clock::time_point now);
    // The number of live connections (retired ones not yet deleted included).
    std::size_t LiveCount() const { return liveCount; }
    // True when `address` already holds kMaxPerAddress live connections: one client, however
    // many connections it opens, must leave descriptors for everybody else.
    bool AtAddressLimit(const std::string& address) const;
    // Closes up to `count` of the oldest connections whose request head is not yet whole
    // (what a slow or hostile client holds); the number closed. Their descriptors are free
    // when it returns.
    int CloseOldestIncomplete(int count);

    // What gives the memory the ended connections left back to the system (malloc_trim at
    // first); a test counts the calls.
    void SetGiveBack(std::function<void()> function) { giveBack = std::move(function); }

    static constexpr int kMaxPerAddress = 64;

  private:
    CRequestSocket* head = nullptr; // the newest
    CRequestSocket* tail = nullptr; // the oldest
    // Live connections per address. An entry at 0 is dropped only once more than
    // kKeptAddresses entries exist: one visitor after the other reuses its own.
    static constexpr std::size_t kKeptAddresses = 256;
    std::unordered_map<std::string, int> perAddress;
    std::size_t liveCount = 0;
    std::size_t peakCount = 0; // the most alive at once since the list was last empty
    // Connections that ended, deleted at the next accept or shortly after: posting a
    // deletion event for each one would cost the event loop a wake-up per request.
    std::vector<CRequestSocket*> retired;
    QTimer retireTimer;
    std::function<void()> giveBack;
    QTimer trimTimer; // gives memory back once the server stayed idle a while
    std::chrono::steady_clock::time_point emptySince; // when the list last became empty
    QTimer sweepTimer;
};

} // namespace tvn
