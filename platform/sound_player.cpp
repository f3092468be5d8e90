// Notification sounds through libcanberra, which plays through whatever the desktop has
// (PulseAudio, PipeWire or ALSA) and knows the freedesktop sound theme. It is loaded with
// the first sound, not at program start: most runs ring none, and it brings Vorbis, Ogg,
// ltdl and tdb along.
#include "platform/sound_player.h"

#include "platform/loadable_module.h"

#include <QThreadPool>
#include <atomic>
#include <canberra.h>
#include <dlfcn.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

namespace tvn {
namespace {

constexpr const char* kFallbackEvent = "message-new-instant";

struct LibraryCloser {
    void operator()(void* library) const noexcept { ::dlclose(library); }
};

// The functions of libcanberra the player calls.
struct CanberraFunctions {
    decltype(&ca_context_create) contextCreate = nullptr;
    decltype(&ca_context_change_props) contextChangeProps = nullptr;
    decltype(&ca_context_play) contextPlay = nullptr;
};

// libcanberra wants one caller at a time; everything below is guarded by contextMutex.
std::mutex contextMutex;
const char* canberraName = "libcanberra.so.0";
bool canberraTried = false;
CanberraFunctions canberra;
bool canberraFound = false;
// The one context of the program, made on first use and kept: connecting to the sound
// server each time would cost more than the sound.
ca_context* soundContext = nullptr;

// Opens libcanberra the first time it is asked for; false, then and for the program's life,
// when it is not installed or lacks a function: no sound, and nothing said (as for a
// missing sound device). Once opened it is never closed: the context lives on in it.
bool LoadCanberra() {
    if (canberraTried)
        return canberraFound;
    canberraTried = true;
    std::unique_ptr<void, LibraryCloser> library(::dlopen(canberraName, RTLD_NOW | RTLD_LOCAL));
    if (!library)
        return false;
    if (!BindFunction(library.get(), "ca_context_create", canberra.contextCreate) ||
        !BindFunction(library.get(), "ca_context_change_props", canberra.contextChangeProps) ||
        !BindFunction(library.get(), "ca_context_play", canberra.contextPlay)) {
        canberra = {};
        return false;
    }
    static_cast<void>(library.release());
    canberraFound = true;
    return true;
}

// True from the moment a play is handed to the pool until it has been started.
std::atomic<bool> playQueued{false};

// ALSA, which libcanberra plays through when there is no sound server, writes a dozen
// "ALSA lib ..." lines to standard error for every sound it cannot play (no sound card, a
// card that went away). Its error handler is turned into one that says nothing, through the
// library libcanberra loads anyway (looked up at run time: nothing of ALSA is built in).
// Kept loaded for the program's life, so the handler stays in place.
std::unique_ptr<void, LibraryCloser> alsaLibrary; // guarded by contextMutex

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
    if (alsaLibrary)
        return;
    alsaLibrary.reset(::dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL));
    if (!alsaLibrary)
        return; // no ALSA: nothing of it can speak
    using ErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(ErrorHandler);
    if (auto set =
            reinterpret_cast<SetHandler>(::dlsym(alsaLibrary.get(), "snd_lib_error_set_handler")))
        set(&IgnoreAlsaError);
}

void PlayNow(const std::string& path) {
    // libcanberra says "not found" both for a missing file and for a missing sound device,
    // so the file is looked at first: only a missing file deserves the event sound.
    std::error_code ec;
    const bool fileThere = !path.empty() && std::filesystem::is_regular_file(path, ec);
    const std::lock_guard lock(contextMutex);
    if (!LoadCanberra())
        return;
    SilenceAlsa();
    if (!soundContext) {
        if (canberra.contextCreate(&soundContext) != CA_SUCCESS) {
            soundContext = nullptr; // tried again next time
            return;
        }
        canberra.contextChangeProps(soundContext, CA_PROP_APPLICATION_NAME, "Tarvolin", nullptr);
    }
    if (fileThere && canberra.contextPlay(soundContext, 0, CA_PROP_MEDIA_FILENAME, path.c_str(),
                                          nullptr) == CA_SUCCESS)
        return;
    canberra.contextPlay(soundContext, 0, CA_PROP_EVENT_ID, kFallbackEvent, nullptr);
}

} // namespace

void SetSoundLibraryName(const char* fileName) {
    const std::lock_guard lock(contextMutex);
    if (!canberraTried)
        canberraName = fileName;
}

void PlaySoundFileAsync(const std::string& path) {
    // Opening the sound driver the first time can take a while (a sound server that does
    // not answer): never on the caller's thread, which may be the event loop.
    if (playQueued.exchange(true))
        return;
    QThreadPool* pool = QThreadPool::globalInstance();
    if (!pool) {
        playQueued = false; // the program is ending
        return;
    }
    pool->start([path] {
        PlayNow(path);
        playQueued = false;
    });
}

} // namespace tvn
