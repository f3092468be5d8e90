#pragma once

#include <dlfcn.h>
#include <string>

namespace tvn {

// Loads the library at `path` (a full path: neither the current folder nor LD_LIBRARY_PATH
// decide which file it is) with every symbol bound at once, and returns the address of its
// symbol `entry`. Nothing when the library does not load or lacks `entry`: `error` then holds
// dlerror()'s text. A library that gave its entry stays loaded until the process ends, since
// the Qt objects and types it registers may be touched until then.
void* LoadModuleEntry(const std::string& path, const char* entry, std::string& error);

// Sets `function` to the function `name` of the loaded `library` (a dlopen handle); false,
// with `function` null, when the library has none of that name.
template <typename Function>
bool BindFunction(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

} // namespace tvn
