#pragma once

#include <string>

namespace tvn {

// Loads the library at `path` (a full path: neither the current folder nor LD_LIBRARY_PATH
// decide which file it is) with every symbol bound at once, and returns the address of its
// symbol `entry`. Nothing when the library does not load or lacks `entry`: `error` then holds
// dlerror()'s text. A library that gave its entry stays loaded until the process ends, since
// the Qt objects and types it registers may be touched until then.
void* LoadModuleEntry(const std::string& path, const char* entry, std::string& error);

} // namespace tvn
