#pragma once

// Writing a picture as PNG, over libpng. Only this part of the program includes libpng.
#include "pages/image/dib_image.h"
#include "pages/image/img_file.h"

namespace tvn {

// Writes `image` as PNG into `file`: 8-bit RGB for 24-bit pictures, grey or palette for
// paletted ones (RGBA or grey with alpha when the picture has an alpha plane), interlaced
// when the codec option is 1, with its resolution and a background colour. True when written;
// otherwise the picture's last error says why.
bool EncodePng(CDibImage& image, CImgFile* file);

// The PNG variant of the picture class.
class CDibImagePNG : public CDibImage {
  public:
    CDibImagePNG() : CDibImage(ImageKind::Png) {}
    using CDibImage::Encode;
    bool Encode(CImgFile* file) { return EncodePng(*this, file); } // true when written
};

} // namespace tvn
