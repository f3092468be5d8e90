// How often files are opened, as the kernel tells it (inotify): making a thumbnail opens its
// picture once, and a thumbnail found in the cache opens nothing, so the openings of the
// pictures tell a fresh decode from a cache hit without asking the cache.
#pragma once

#include "platform/unique_fd.h"

#include <chrono>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace tvn::test {

class FileOpens {
  public:
    // Watches `paths` (through links) from now on; openings made before are not counted.
    explicit FileOpens(const std::vector<std::string>& paths)
        : fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        // The closes are watched too: the kernel merges an event into an identical one
        // still unread before it, and a close between two openings keeps them apart.
        for (const std::string& path : paths)
            watched += ::inotify_add_watch(fd.Get(), path.c_str(), IN_OPEN | IN_CLOSE) >= 0;
    }

    // True when every path could be watched.
    bool Watching(std::size_t paths) const { return watched == paths; }

    // The openings of the watched files so far.
    int Count() {
        Drain();
        return opens;
    }

    // Waits up to `limit` until more than `before` openings were seen; true when they were.
    bool WaitBeyond(int before, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Count() <= before) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd ready{fd.Get(), POLLIN, 0};
            ::poll(&ready, 1, static_cast<int>(left.count()));
        }
        return true;
    }

  private:
    void Drain() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd.Get(), buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                opens += (event->mask & IN_OPEN) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    UniqueFd fd;
    std::size_t watched = 0;
    int opens = 0;
};

} // namespace tvn::test
