#pragma once

// libheif, loaded on the first HEIF picture rather than at program start: it and the codecs
// it brings (x265, de265, aom, dav1d, gomp, numa) cost about 2 MiB of every run's memory, in
// a process that may never see a HEIF file. Only pages/image includes this file.
#include <libheif/heif.h>
#include <mutex>

namespace tvn {

// The functions the decoder calls, each found in the loaded library.
struct HeifFunctions {
    decltype(&heif_init) init = nullptr;
    decltype(&heif_check_filetype) checkFiletype = nullptr;
    decltype(&heif_context_alloc) contextAlloc = nullptr;
    decltype(&heif_context_free) contextFree = nullptr;
    decltype(&heif_context_set_maximum_image_size_limit) contextSetMaximumImageSizeLimit = nullptr;
    decltype(&heif_context_set_max_decoding_threads) contextSetMaxDecodingThreads = nullptr;
    decltype(&heif_context_read_from_reader) contextReadFromReader = nullptr;
    decltype(&heif_context_get_primary_image_handle) contextGetPrimaryImageHandle = nullptr;
    decltype(&heif_image_handle_release) handleRelease = nullptr;
    decltype(&heif_image_handle_get_width) handleGetWidth = nullptr;
    decltype(&heif_image_handle_get_height) handleGetHeight = nullptr;
    decltype(&heif_image_handle_get_ispe_width) handleGetIspeWidth = nullptr;
    decltype(&heif_image_handle_get_ispe_height) handleGetIspeHeight = nullptr;
    decltype(&heif_image_handle_get_color_profile_type) handleGetColorProfileType = nullptr;
    decltype(&heif_image_handle_get_raw_color_profile_size) handleGetRawColorProfileSize = nullptr;
    decltype(&heif_image_handle_get_raw_color_profile) handleGetRawColorProfile = nullptr;
    decltype(&heif_decoding_options_alloc) decodingOptionsAlloc = nullptr;
    decltype(&heif_decoding_options_free) decodingOptionsFree = nullptr;
    decltype(&heif_decode_image) decodeImage = nullptr;
    decltype(&heif_image_release) imageRelease = nullptr;
    decltype(&heif_image_get_plane_readonly) imageGetPlaneReadonly = nullptr;
    decltype(&heif_image_get_primary_width) imageGetPrimaryWidth = nullptr;
    decltype(&heif_image_get_primary_height) imageGetPrimaryHeight = nullptr;
};

// One shared library by its file name, opened and initialised (heif_init) on the first call
// of Functions(), from whichever thread comes first; the others wait for it. Once it has
// been initialised it stays loaded for the process's life (never closed, not even at exit:
// libheif keeps its codec plug-ins, and their threads may still run); one that lacks a
// function is closed again at once.
class CHeifLibrary {
  public:
    explicit CHeifLibrary(const char* fileName) noexcept : name(fileName) {}
    CHeifLibrary(const CHeifLibrary&) = delete;
    CHeifLibrary& operator=(const CHeifLibrary&) = delete;

    // The functions, or nullptr when the library cannot be opened or lacks one of them;
    // the answer of the first call holds for every later one.
    const HeifFunctions* Functions();

    // The process's libheif ("libheif.so.1"), which the thumbnails decode with.
    static CHeifLibrary& Shared();

  private:
    const char* name;
    std::once_flag once;
    HeifFunctions api;                     // filled once, under `once`
    const HeifFunctions* loaded = nullptr; // &api when every function was found
};

} // namespace tvn
