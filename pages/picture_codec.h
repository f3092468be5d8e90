#pragma once

#include "platform/loadable_module.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The picture decoders and the JPEG encoder of the thumbnails need Qt Gui, which maps a dozen
// libraries (fonts, OpenGL, D-Bus, X). They are a module of their own (pages/picture_module),
// loaded with the first thumbnail, so that a server whose listings show no picture, and the
// idle server, never map them.

namespace tvn {

// One thumbnail as the module makes it: a baseline JPEG of `width` by `height` pixels.
struct ThumbnailPicture {
    int width = 0;
    int height = 0;
    std::string jpeg;
};

// What the module offers; it may be called from any thread.
struct PictureCodec {
    // The thumbnails of the picture in the file open at `fd` (read from its start), one for
    // each box of `sides` pixels: none for a box when the picture is broken or refused.
    std::vector<std::optional<ThumbnailPicture>> (*makeThumbnails)(int fd,
                                                                   const std::vector<int>& sides);
    // True when `jpeg` is a JPEG whose header names `width` by `height` pixels.
    bool (*isJpegOfSize)(std::string_view jpeg, int width, int height);
};

// The module's file name. In the build tree it lies beside the program.
inline constexpr const char* kPictureModuleName = "tarvolin-pictures.so";
inline constexpr const char* kPictureEntryName = "TvnPictureCodec";

// The module, loaded with its first Get() from the file main names with SetFile; null when it
// cannot be loaded (standard error tells why, once), and every thumbnail then fails as a
// picture that cannot be decoded. A program that links the decoders in Use()s them instead.
CModuleTable<PictureCodec>& PictureModule();

} // namespace tvn

// The module's entry point (pages/picture_module/thumbnail_codec.cpp).
extern "C" const tvn::PictureCodec* TvnPictureCodec();
