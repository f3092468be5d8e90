#include "platform/upnp_device.h"

#include "platform/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <iterator>
#include <mutex>
#include <net/if.h>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <upnp/upnp.h>

namespace tvn {
namespace {

// libupnp is one per process: UpnpInit2 and UpnpFinish must pair, and a second device would
// share (and then finish) the first one's library. `published` says whether a device is out.
// `unusable` is set once UpnpInit2 failed: libupnp 1.8 starts its thread pools before it checks
// the interface and binds its sockets and does not stop them on failure; an UpnpFinish after
// that, or a new UpnpInit2 over the running pools, leaves a pool that the next UpnpFinish waits
// on forever. So after one failed start the library is left alone until the program restarts.
std::mutex libraryLock;
bool published = false; // guarded by libraryLock
bool unusable = false;  // guarded by libraryLock

// The device has no service that acts: every event from the library is acknowledged.
int OnDeviceEvent(Upnp_EventType, const void*, void*) { return 0; }

// A new, empty folder of this user's alone (mkdtemp makes it 0700), below XDG_RUNTIME_DIR
// when that is set, else below the temp folder; empty when none could be made.
std::string MakePrivateFolder() {
    std::string base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
        base = runtime;
    if (base.empty() || ::access(base.c_str(), W_OK | X_OK) != 0) {
        std::error_code ec;
        base = std::filesystem::temp_directory_path(ec).string();
        if (ec)
            base = "/tmp";
    }
    std::string pattern = base + "/tarvolin-upnp-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return {};
    return pattern;
}

// A plain name in the folder: no separator, nothing hidden, no "." or "..".
bool IsPlainName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos;
}

// Writes one served file, created anew (never through a link or over another file); false
// when it could not be written whole, in which case nothing of it is left.
bool WriteServedFile(const std::string& folder, const UpnpServedFile& file) {
    if (!IsPlainName(file.name))
        return false;
    const std::string path = folder + "/" + file.name;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid())
        return false;
    std::size_t done = 0;
    while (done < file.content.size()) {
        const ssize_t n = ::write(fd.Get(), file.content.data() + done, file.content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::unlink(path.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void RemoveFolder(const std::string& folder) {
    if (folder.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

// Starts the library on `interfaceName` and registers `description`; the device handle, or
// -1 with the library stopped again. Caller holds libraryLock.
int StartAndRegister(const std::string& interfaceName, const std::string& folder,
                     const std::string& description, int lifetimeSeconds) {
    if (UpnpInit2(interfaceName.c_str(), 0) != UPNP_E_SUCCESS) {
        unusable = true;
        return -1;
    }
    UpnpDevice_Handle handle = -1;
    // The web server's root is set before the registration, which needs it to serve the
    // description.
    if (UpnpSetWebServerRootDir(folder.c_str()) != UPNP_E_SUCCESS ||
        UpnpRegisterRootDevice2(UPNPREG_BUF_DESC, description.data(), description.size(), 1,
                                OnDeviceEvent, nullptr, &handle) != UPNP_E_SUCCESS) {
        UpnpFinish();
        return -1;
    }
    if (UpnpSendAdvertisement(handle, lifetimeSeconds) != UPNP_E_SUCCESS) {
        UpnpUnRegisterRootDevice(handle);
        UpnpFinish();
        return -1;
    }
    return handle;
}

constexpr unsigned kTentative = 0x40; // IFA_F_TENTATIVE

std::string ReadIfInet6() {
    // thread-self: the calling thread's network namespace, which getifaddrs answers for.
    std::ifstream file("/proc/thread-self/net/if_inet6");
    if (!file)
        file.open("/proc/net/if_inet6");
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

bool HasTentativeIPv6(std::string_view ifInet6, std::string_view interfaceName) {
    std::istringstream lines{std::string(ifInet6)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, index, prefix, scope, flags, name;
        if (!(fields >> address >> index >> prefix >> scope >> flags >> name) ||
            name != interfaceName)
            continue;
        unsigned value = 0;
        std::istringstream hex(flags);
        if (hex >> std::hex >> value && (value & kTentative))
            return true;
    }
    return false;
}

bool UpnpCanStartOn(const std::string& interfaceName) {
    ifaddrs* list = nullptr;
    if (interfaceName.empty() || ::getifaddrs(&list) != 0)
        return false;
    bool usable = false;
    for (const ifaddrs* it = list; it; it = it->ifa_next) {
        if (interfaceName != it->ifa_name)
            continue;
        const unsigned flags = it->ifa_flags;
        usable = (flags & IFF_UP) && (flags & IFF_RUNNING) && (flags & IFF_MULTICAST) &&
                 !(flags & IFF_LOOPBACK);
        break;
    }
    ::freeifaddrs(list);
    return usable && !HasTentativeIPv6(ReadIfInet6(), interfaceName);
}

CUpnpDevice::CUpnpDevice(int deviceHandle, std::string privateFolder)
    : handle(deviceHandle), folder(std::move(privateFolder)) {}

CUpnpDevice::~CUpnpDevice() {
    const std::lock_guard lock(libraryLock);
    UpnpUnRegisterRootDevice(handle);
    UpnpFinish();
    published = false;
    RemoveFolder(folder);
}

std::unique_ptr<CUpnpDevice> PublishUpnpDevice(const std::string& interfaceName,
                                               const std::string& description,
                                               const std::vector<UpnpServedFile>& files,
                                               int lifetimeSeconds) {
    const std::lock_guard lock(libraryLock);
    if (published || unusable || !UpnpCanStartOn(interfaceName))
        return nullptr;
    std::string folder = MakePrivateFolder();
    if (folder.empty())
        return nullptr;
    for (const UpnpServedFile& file : files)
        WriteServedFile(folder, file);
    const int handle = StartAndRegister(interfaceName, folder, description, lifetimeSeconds);
    if (handle < 0) {
        RemoveFolder(folder);
        return nullptr;
    }
    published = true;
    return std::unique_ptr<CUpnpDevice>(new CUpnpDevice(handle, std::move(folder)));
}

} // namespace tvn
