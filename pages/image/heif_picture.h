#pragma once

// HEIF pictures (HEIC from phones, AVIF) decoded through libheif, for the thumbnails. Only
// this file's library uses libheif, which it loads on the first file that may be a HEIF
// (heif_library.h); its users see 8-bit RGBA rows.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct heif_image;

namespace tvn {

class CHeifLibrary;

// What a picture may cost before it is decoded, judged by the size its header declares.
struct HeifLimits {
    std::int64_t maxPixels = 0; // width times height; 0 for no bound
    std::uint64_t maxBytes = 0; // of the decoded RGBA rows (4 bytes a pixel); 0 for no bound
};

enum class HeifOutcome {
    Decoded,  // the picture is in the CHeifPicture
    NotHeif,  // the file is no HEIF (another decoder may read it)
    TooLarge, // its declared size is beyond the limits: nothing was decoded
    Broken,   // a HEIF that libheif cannot read or decode, or no libheif to read it with
};

struct HeifImageDeleter {
    void (*release)(const heif_image*) = nullptr; // the loaded library's heif_image_release
    void operator()(heif_image* image) const noexcept;
};

// The primary picture of a HEIF file, decoded as the file says it is shown: its rotation,
// mirroring and crop (irot, imir, clap) applied.
class CHeifPicture {
  public:
    CHeifPicture(); // decodes with the process's libheif
    // Decodes with `library`, which must outlive the picture.
    explicit CHeifPicture(CHeifLibrary& decoder) noexcept : library(decoder) {}

    // Decodes the file open at `fd`, read with pread from its start (the descriptor's offset
    // is not used), when its declared size keeps within `limits`. What a failed call leaves
    // is an empty picture. The library is loaded here, the first time a file begins as an
    // ISO media file (an ftyp box) does: no other file can be HEIF.
    HeifOutcome Decode(int fd, const HeifLimits& limits);

    int Width() const { return width; }
    int Height() const { return height; }
    int Stride() const { return stride; } // bytes from one row to the next
    // The rows, red, green, blue and alpha (not premultiplied) for each pixel; nullptr when
    // nothing is decoded.
    const std::uint8_t* Rows() const { return rows; }
    // The ICC profile the file gives its colours in; empty when it names none (or gives
    // them as code points, which libheif has already turned into RGB).
    const std::string& IccProfile() const { return icc; }

  private:
    void Clear();

    CHeifLibrary& library;
    std::unique_ptr<heif_image, HeifImageDeleter> image;
    const std::uint8_t* rows = nullptr; // in `image`
    int width = 0;
    int height = 0;
    int stride = 0;
    std::string icc;
};

// True when the first bytes of a file (at least 12) mark it as HEIF or AVIF, whether or not
// this libheif can decode it; false, without loading it, for a file that has no ftyp box
// first, and false when `library` cannot be loaded.
bool LooksLikeHeif(const std::uint8_t* head, std::size_t size, CHeifLibrary& library);

} // namespace tvn
