#pragma once

#include "platform/unique_fd.h"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace tvn {

// An append-only text file kept below a size limit: once over `limit` x 1,000,000 bytes it
// is cut from the front to about nine tenths of the limit, at a line start.
class TrimmedLog {
  public:
    // Appends `text` to the file `name`, opening it when the name changed.
    // Failures are silent: the next append with another name tries again.
    void Append(const std::string& name, int limit, std::string_view text);
    void Close();

  private:
    void Shrink();

    std::string currentName;
    UniqueFd handle;
    int limit = 1;
    off_t size = 0; // the file's length, kept here so an append needs no stat
};

} // namespace tvn
