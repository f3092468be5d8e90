#pragma once

// The program's own picture: a device-independent bitmap in one memory block (header,
// palette, pixels), with the box shrink the screenshots use and encoding to PNG.
#include "pages/image/img_file.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tvn {

struct CapturedScreen;

// The BITMAPINFOHEADER layout.
struct DibInfoHeader {
    std::uint32_t size;
    std::int32_t width;
    std::int32_t height;
    std::uint16_t planes;
    std::uint16_t bitCount;
    std::uint32_t compression;
    std::uint32_t sizeImage;
    std::int32_t xPelsPerMeter;
    std::int32_t yPelsPerMeter;
    std::uint32_t clrUsed;
    std::uint32_t clrImportant;
};
static_assert(sizeof(DibInfoHeader) == 40);

// A palette entry, and the colour GetPixelColor answers.
struct DibRgbQuad {
    std::uint8_t blue = 0;
    std::uint8_t green = 0;
    std::uint8_t red = 0;
    std::uint8_t reserved = 0;
    bool operator==(const DibRgbQuad&) const = default;
};

enum class ImageKind { Unknown = 0, Png = 4 };

// Rows are stored bottom-up: row 0 in memory is the bottom row of the picture. 24-bit pixels
// are blue, green, red. Operations that fail say why in LastError().
class CDibImage {
  public:
    explicit CDibImage(ImageKind kind = ImageKind::Unknown);
    virtual ~CDibImage();
    CDibImage(const CDibImage&) = delete;
    CDibImage& operator=(const CDibImage&) = delete;

    // A zero-filled picture. The depth becomes 1, 4, 8 or 24 (at most 1, 2 to 4, 5 to 8,
    // above); false when a side is not positive or the pixels would need 256 MiB or more.
    bool Create(int width, int height, int bitsPerPixel, ImageKind kind = ImageKind::Unknown);
    // A 24-bit picture of a captured 32-bit screen; false ("GetDIBits failed") when the
    // capture holds no 32-bit pixels.
    bool CreateFromScreen(const CapturedScreen& screen);
    // A copy of `other`, pixels, palette, alpha and settings; false when it has no pixels.
    bool Copy(const CDibImage& other);
    void Destroy();

    // Shrinks to `newWidth` by `newHeight` with a box filter: each output pixel is the
    // truncated mean of the source pixels that fall into its cell. The result goes into `out`
    // when given, else replaces this picture; `changeDepth` makes it 24-bit. False when
    // asked to enlarge, when there are no pixels or when the escape flag stopped it.
    bool BoxShrink(int newWidth, int newHeight, CDibImage* out = nullptr, bool changeDepth = false);

    // PNG bytes in a malloc'ed `buffer` (free with std::free) of `size` bytes. `buffer` must
    // come in null; `kind` must be ImageKind::Png. True when encoded.
    bool Encode(char*& buffer, std::size_t& size, ImageKind kind);

    bool IsValid() const { return block != nullptr; }
    int Width() const { return header.width; }
    int Height() const { return header.height; }
    int BitsPerPixel() const { return header.bitCount; }
    std::size_t Stride() const { return stride; }
    int NumColors() const; // palette entries: 2, 16, 256, or 0 for 24 bits
    const DibInfoHeader& Header() const { return header; }
    ImageKind Kind() const { return kind; }

    std::uint8_t* Bits() const { return pixels; }
    // Row `y` counted from the bottom of the picture; nullptr outside it.
    std::uint8_t* Row(int y) const;
    DibRgbQuad* Palette() const { return palette; }
    void SetGrayPalette();
    bool IsGrayRamp() const; // every palette entry i is grey i * 255 / (entries - 1)
    // The colour of pixel `x` of row `y` (from the bottom); a palette entry for paletted
    // pictures.
    DibRgbQuad GetPixelColor(int x, int y) const;
    // Paletted pictures take the nearest palette entry.
    void SetPixelColor(int x, int y, DibRgbQuad color);
    std::uint8_t GetNearestIndex(DibRgbQuad color) const;

    // Dots per inch, 0 or less meaning 96; stored as pixels per metre in the header.
    void SetDpi(int dpi);

    // An alpha plane: one byte a pixel, rows bottom-up without padding, 255 at first.
    bool AlphaCreate();
    std::uint8_t* AlphaPlane() const { return alpha.get(); }

    int TransparentIndex() const { return transparentIndex; } // -1 when none
    void SetTransparentIndex(int index) { transparentIndex = index; }
    int CodecOption() const { return codecOption; } // PNG: 1 interlaced, 0 not
    void SetCodecOption(int option) { codecOption = option; }

    int Progress() const { return progress.load(); }  // percent of a long operation done
    void SetEscape(bool stop) { escape.store(stop); } // asks it to stop

    const char* LastError() const { return lastError; }
    void SetLastError(const char* text);

  private:
    void TakeOver(CDibImage& other); // moves `other`'s picture and settings into this one
    void CopySettings(const CDibImage& other);
    bool ShrinkRows(CDibImage& work);

    ImageKind kind;
    DibInfoHeader header{};
    std::unique_ptr<std::uint8_t, CFreeDeleter> block;
    DibRgbQuad* palette = nullptr;  // inside `block`
    std::uint8_t* pixels = nullptr; // inside `block`
    std::size_t stride = 0;
    std::unique_ptr<std::uint8_t[]> alpha;
    int transparentIndex = -1;
    int codecOption = 0;
    std::int32_t pixelsPerMetre = 0;
    std::atomic<int> progress{0};
    std::atomic<bool> escape{false};
    char lastError[256] = {};
};

} // namespace tvn
