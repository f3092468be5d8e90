#include "platform/ddns_plugin.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>

namespace tvn {
namespace {

using TextBuffer = std::array<char, TVN_DDNS_TEXT_SIZE>;

TextBuffer ToBuffer(const std::string& text) {
    TextBuffer buffer{};
    const std::size_t length = std::min(text.size(), buffer.size() - 1);
    std::memcpy(buffer.data(), text.data(), length);
    return buffer;
}

// A plug-in that forgot the terminating zero cannot make us read past the buffer.
std::string FromBuffer(TextBuffer& buffer) {
    buffer.back() = '\0';
    return std::string(buffer.data());
}

bool IsPluginName(const std::string& name) {
    constexpr std::string_view prefix = "libddns";
    constexpr std::string_view suffix = ".so";
    return name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix);
}

std::string FirstPlugin(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (IsPluginName(entry->d_name))
                names.emplace_back(entry->d_name);
        }
        ::closedir(dir);
    }
    if (names.empty())
        return {};
    // The directory's own order changes from one file system to another; names do not.
    return folder + "/" + *std::min_element(names.begin(), names.end());
}

// The C view of a DdnsDomainList.
struct ListAdapter {
    static DdnsDomainList& Of(void* context) { return *static_cast<DdnsDomainList*>(context); }
    static int Count(void* context) { return static_cast<int>(Of(context).entries.size()); }
    static const char* At(void* context, int index) {
        const auto& entries = Of(context).entries;
        if (index < 0 || static_cast<std::size_t>(index) >= entries.size())
            return nullptr;
        return entries[static_cast<std::size_t>(index)].c_str();
    }
    static int Selected(void* context) { return Of(context).selected; }
    static void Select(void* context, int index) {
        Of(context).selected = index >= 0 && index < Count(context) ? index : -1;
    }
    static void Clear(void* context) {
        Of(context).entries.clear();
        Of(context).selected = -1;
    }
    static void Add(void* context, const char* text) {
        if (text)
            Of(context).entries.emplace_back(text, ::strnlen(text, TVN_DDNS_TEXT_SIZE - 1));
    }
};

} // namespace

void DdnsPlugin::Closer::operator()(void* library) const { ::dlclose(library); }

DdnsPlugin::DdnsPlugin(const std::string& folder) {
    const std::string file = FirstPlugin(folder);
    if (file.empty())
        return;
    handle.reset(::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle)
        return;
    path = file;
    start = reinterpret_cast<TvnDdnsStartFn>(::dlsym(handle.get(), TVN_DDNS_START));
    registerFn = reinterpret_cast<TvnDdnsRegisterFn>(::dlsym(handle.get(), TVN_DDNS_REGISTER));
    patchOptions =
        reinterpret_cast<TvnDdnsPatchOptionsFn>(::dlsym(handle.get(), TVN_DDNS_PATCH_OPTIONS));
}

DdnsPlugin::~DdnsPlugin() = default;

std::optional<int> DdnsPlugin::Start(const std::string& user, const std::string& password,
                                     const std::string& name, const std::string& domain,
                                     std::string& address, std::string& status) const {
    if (!start)
        return std::nullopt;
    TextBuffer addressBuffer = ToBuffer(address);
    TextBuffer statusBuffer = ToBuffer(status);
    const int result = start(user.c_str(), password.c_str(), name.c_str(), domain.c_str(),
                             addressBuffer.data(), statusBuffer.data());
    address = FromBuffer(addressBuffer);
    status = FromBuffer(statusBuffer);
    return result;
}

bool DdnsPlugin::Register() const {
    if (!registerFn)
        return false;
    registerFn();
    return true;
}

bool DdnsPlugin::PatchOptions(DdnsDomainList& domains, std::string& domain, std::string& name,
                              std::string& user, bool loading) const {
    if (!patchOptions)
        return false;
    TvnDdnsDomainList list{&domains,
                           ListAdapter::Count,
                           ListAdapter::At,
                           ListAdapter::Selected,
                           ListAdapter::Select,
                           ListAdapter::Clear,
                           ListAdapter::Add};
    TextBuffer domainBuffer = ToBuffer(domain);
    TextBuffer nameBuffer = ToBuffer(name);
    TextBuffer userBuffer = ToBuffer(user);
    patchOptions(&list, domainBuffer.data(), nameBuffer.data(), userBuffer.data(), loading ? 1 : 0);
    domain = FromBuffer(domainBuffer);
    name = FromBuffer(nameBuffer);
    user = FromBuffer(userBuffer);
    return true;
}

} // namespace tvn
