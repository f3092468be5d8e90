#include "platform/loadable_module.h"

#include <dlfcn.h>
#include <iostream>
#include <memory>

namespace tvn {
namespace {

struct Closer {
    void operator()(void* library) const { ::dlclose(library); }
};

std::string LastError() {
    const char* text = ::dlerror();
    return text ? std::string(text) : std::string("unknown error");
}

} // namespace

void* LoadModuleEntry(const std::string& path, const char* entry, std::string& error) {
    if (path.empty() || path.front() != '/') {
        error = "not a full path: '" + path + "'";
        return nullptr;
    }
    std::unique_ptr<void, Closer> library(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        error = LastError();
        return nullptr;
    }
    ::dlerror(); // a symbol's address may be null: only dlerror() tells a failure
    void* address = ::dlsym(library.get(), entry);
    if (const char* text = ::dlerror()) {
        error = text;
        return nullptr;
    }
    if (!address) {
        error = std::string(entry) + " is null in " + path;
        return nullptr;
    }
    library.release(); // kept for good: see the header
    return address;
}

void ReportModuleMissing(const char* name, const char* without, const std::string& error) {
    std::cerr << "The module " << name << " did not load, so " << without << ": " << error
              << std::endl;
}

} // namespace tvn
