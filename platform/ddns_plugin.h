#pragma once

#include "platform/ddns_plugin_api.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tvn {

// The domain list of the settings dialog as the plug-in sees it.
struct DdnsDomainList {
    std::vector<std::string> entries;
    int selected = -1; // -1: none
};

// The dynamic DNS plug-in: the first libddns*.so (in name order) in a folder, loaded with
// dlopen. Each entry point may be absent. A library that does not load is ignored.
class DdnsPlugin {
  public:
    // Loads the first matching library of `folder`, if any.
    explicit DdnsPlugin(const std::string& folder);
    ~DdnsPlugin();
    DdnsPlugin(const DdnsPlugin&) = delete;
    DdnsPlugin& operator=(const DdnsPlugin&) = delete;

    // The path of the loaded library; empty when none was loaded.
    const std::string& Path() const { return path; }
    // True when the plug-in replaces the update.
    bool HasStart() const { return start != nullptr; }

    // The plug-in's update: its result, with `address` and `status` replaced by the texts it
    // left (each at most 399 bytes); nothing when the plug-in has no Start. Any thread.
    std::optional<int> Start(const std::string& user, const std::string& password,
                             const std::string& name, const std::string& domain,
                             std::string& address, std::string& status) const;
    // Calls the plug-in's Register; false when it has none.
    bool Register() const;
    // Lets the plug-in adjust the list and the texts; false (nothing changed) when it has no
    // PatchOptions.
    bool PatchOptions(DdnsDomainList& domains, std::string& domain, std::string& name,
                      std::string& user, bool loading) const;

  private:
    struct Closer {
        void operator()(void* handle) const;
    };
    std::string path;
    std::unique_ptr<void, Closer> handle;
    TvnDdnsStartFn start = nullptr;
    TvnDdnsRegisterFn registerFn = nullptr;
    TvnDdnsPatchOptionsFn patchOptions = nullptr;
};

} // namespace tvn
