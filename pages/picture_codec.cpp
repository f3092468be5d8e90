#include "pages/picture_codec.h"

#include "platform/loadable_module.h"

#include <atomic>
#include <iostream>
#include <mutex>

namespace tvn {
namespace {

std::mutex codecLock;
std::string moduleFile; // guarded by codecLock
bool loadTried = false; // guarded by codecLock
std::atomic<const PictureCodec*> codec = nullptr;

} // namespace

void SetPictureModuleFile(std::string path) {
    const std::lock_guard lock(codecLock);
    moduleFile = std::move(path);
}

void UsePictureCodec(const PictureCodec* given) { codec.store(given); }

const PictureCodec* LoadedPictureCodec() {
    if (const PictureCodec* loaded = codec.load())
        return loaded;
    const std::lock_guard lock(codecLock);
    if (loadTried || codec.load())
        return codec.load();
    loadTried = true;
    std::string error;
    void* entry = LoadModuleEntry(moduleFile, kPictureEntryName, error);
    if (!entry) {
        std::cerr << "The picture decoders (" << kPictureModuleName
                  << ") did not load, so no thumbnail is made: " << error << std::endl;
        return nullptr;
    }
    codec.store(reinterpret_cast<decltype(&TvnPictureCodec)>(entry)());
    return codec.load();
}

} // namespace tvn
