#include "pages/image/heif_library.h"

#include "platform/loadable_module.h"

#include <dlfcn.h>
#include <memory>

namespace tvn {
namespace {

struct LibraryCloser {
    void operator()(void* library) const noexcept { ::dlclose(library); }
};

bool BindAll(void* library, HeifFunctions& api) {
    return BindFunction(library, "heif_init", api.init) &&
           BindFunction(library, "heif_check_filetype", api.checkFiletype) &&
           BindFunction(library, "heif_context_alloc", api.contextAlloc) &&
           BindFunction(library, "heif_context_free", api.contextFree) &&
           BindFunction(library, "heif_context_set_maximum_image_size_limit",
                        api.contextSetMaximumImageSizeLimit) &&
           BindFunction(library, "heif_context_set_max_decoding_threads",
                        api.contextSetMaxDecodingThreads) &&
           BindFunction(library, "heif_context_read_from_reader", api.contextReadFromReader) &&
           BindFunction(library, "heif_context_get_primary_image_handle",
                        api.contextGetPrimaryImageHandle) &&
           BindFunction(library, "heif_image_handle_release", api.handleRelease) &&
           BindFunction(library, "heif_image_handle_get_width", api.handleGetWidth) &&
           BindFunction(library, "heif_image_handle_get_height", api.handleGetHeight) &&
           BindFunction(library, "heif_image_handle_get_ispe_width", api.handleGetIspeWidth) &&
           BindFunction(library, "heif_image_handle_get_ispe_height", api.handleGetIspeHeight) &&
           BindFunction(library, "heif_image_handle_get_color_profile_type",
                        api.handleGetColorProfileType) &&
           BindFunction(library, "heif_image_handle_get_raw_color_profile_size",
                        api.handleGetRawColorProfileSize) &&
           BindFunction(library, "heif_image_handle_get_raw_color_profile",
                        api.handleGetRawColorProfile) &&
           BindFunction(library, "heif_decoding_options_alloc", api.decodingOptionsAlloc) &&
           BindFunction(library, "heif_decoding_options_free", api.decodingOptionsFree) &&
           BindFunction(library, "heif_decode_image", api.decodeImage) &&
           BindFunction(library, "heif_image_release", api.imageRelease) &&
           BindFunction(library, "heif_image_get_plane_readonly", api.imageGetPlaneReadonly) &&
           BindFunction(library, "heif_image_get_primary_width", api.imageGetPrimaryWidth) &&
           BindFunction(library, "heif_image_get_primary_height", api.imageGetPrimaryHeight);
}

} // namespace

const HeifFunctions* CHeifLibrary::Functions() {
    std::call_once(once, [this] {
        std::unique_ptr<void, LibraryCloser> library(::dlopen(name, RTLD_NOW | RTLD_LOCAL));
        if (!library)
            return; // not installed: every HEIF picture is one that cannot be read
        if (!BindAll(library.get(), api)) {
            api = {};
            return; // another library of that name, or one too old
        }
        // libheif finds its codecs here; it counts its calls, and this one is never undone.
        api.init(nullptr);
        static_cast<void>(library.release()); // kept for the process's life
        loaded = &api;
    });
    return loaded;
}

CHeifLibrary& CHeifLibrary::Shared() {
    static CHeifLibrary shared("libheif.so.1");
    return shared;
}

} // namespace tvn
