#pragma once

#include <atomic>
#include <dlfcn.h>
#include <mutex>
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

// Tells on standard error that the module `name` did not load, what the program does without
// it (`without`: "no thumbnail is made") and why.
void ReportModuleMissing(const char* name, const char* without, const std::string& error);

// A module of the program that gives a table of functions through its entry
// `extern "C" const Table* Entry()`, loaded with the first Get(). Any thread may call.
template <typename Table> class CModuleTable {
  public:
    // `name` is the module's file name, `entry` its entry's name, `without` what the program
    // does without it.
    CModuleTable(const char* moduleName, const char* entryName, const char* withoutIt)
        : name(moduleName), entry(entryName), without(withoutIt) {}
    CModuleTable(const CModuleTable&) = delete;
    CModuleTable& operator=(const CModuleTable&) = delete;

    // Where the module is: set once at start, before the first Get().
    void SetFile(std::string path) {
        const std::lock_guard hold(lock);
        file = std::move(path);
    }
    // Uses `linked` instead of loading the module (a program that links its code in).
    void Use(const Table* linked) { table.store(linked); }
    // The table; null when the module does not load (standard error tells why, once).
    const Table* Get() {
        if (const Table* loaded = table.load())
            return loaded;
        const std::lock_guard hold(lock);
        if (!tried && !table.load()) {
            tried = true;
            std::string error;
            if (void* address = LoadModuleEntry(file, entry, error))
                table.store(reinterpret_cast<const Table* (*)()>(address)());
            else
                ReportModuleMissing(name, without, error);
        }
        return table.load();
    }

  private:
    const char* const name;
    const char* const entry;
    const char* const without;
    std::mutex lock;
    std::string file;   // guarded by lock
    bool tried = false; // guarded by lock
    std::atomic<const Table*> table = nullptr;
};

} // namespace tvn
