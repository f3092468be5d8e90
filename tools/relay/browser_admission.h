#pragma once

// Which browsers the relay takes in, so that one client cannot hold every place: a limit per
// address, a deadline for the request head counted from the connection's start, and, when
// every place is taken, the browser that has waited longest for its head gives its place up.
// Time is passed in.
#include "tools/relay/name_registry.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace tvn::relay {

class CBrowserAdmission {
  public:
    // Browsers of one address at once: however many connections it opens, the others keep
    // places.
    static constexpr std::size_t kMaxPerAddress = 64;
    // A request head must be whole this long after the connection began, however slowly it
    // trickles in.
    static constexpr Millis kHeadDeadline{30000};

    using Key = std::uint64_t;
    enum class Decision {
        kAdmit,        // a place is free
        kAdmitClosing, // every place is taken: the browser OldestUnfinished() names goes first
        kRefuse,       // the address holds kMaxPerAddress places already
        kFull,         // every place is taken, by browsers whose request head is whole
    };

    explicit CBrowserAdmission(std::size_t places) : capacity(places) {}

    // Whether a new browser from `address` is taken in now.
    Decision Decide(std::uint32_t address) const;
    // The browser that has waited longest for its request head; none when every browser's
    // head is whole.
    std::optional<Key> OldestUnfinished() const;
    // A browser taken in at `now` (its head not yet whole).
    void Add(Key key, std::uint32_t address, Millis now);
    // Its request head is whole (or refused): it no longer counts as unfinished.
    void HeadDone(Key key);
    // It has gone; its place is free.
    void Remove(Key key);
    // The browsers whose request head is not whole kHeadDeadline after they began, at `now`.
    std::vector<Key> Overdue(Millis now) const;
    std::size_t Size() const { return entries.size(); }
    // True when every place is taken by a browser whose request head is whole: nobody can be
    // taken in.
    bool Full() const { return entries.size() >= capacity && unfinished.empty(); }

  private:
    struct Entry {
        std::uint32_t address;
        Millis started;
    };

    std::size_t capacity;
    std::map<Key, Entry> entries;
    std::map<std::uint32_t, std::size_t> perAddress;
    std::set<std::pair<Millis, Key>> unfinished; // oldest first
};

} // namespace tvn::relay
