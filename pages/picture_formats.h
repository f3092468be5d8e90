#pragma once

#include <string>
#include <string_view>

namespace tvn {

// Which files a folder listing shows as pictures, from the decoders that Qt has installed and
// libheif's formats.

// The picture-extension text, built on first use: for each installed decoder a description
// and its file-name patterns, e.g. "JPEG *.JPG;*.JPEG;*.JPE;*.JFIF PNG *.PNG ... HEIF
// *.HEIC;*.HEIF;*.AVIF".
const std::string& PictureExtensionList();

// True when the base name `name` has an extension (text from its last '.', not empty after
// the dot) whose upper-case form, dot included, occurs anywhere in the picture-extension
// text: "a.jpg" and "c.JP" are pictures, "d.txt", "noext" and "e." are not.
bool IsPictureName(std::string_view name);

// False for a decoder (Qt format name, e.g. "jpeg") that this process must not use for
// thumbnails: unknown formats, and SVG when there is no QGuiApplication, because rendering
// an SVG that holds text needs the font database and aborts the process without one.
bool CanDecodePictureFormat(std::string_view format);

} // namespace tvn
