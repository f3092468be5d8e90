#include "pages/image/dib_image.h"

#include "pages/image/png_encoder.h"
#include "platform/screen_capture.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace tvn {

namespace {

constexpr std::uint64_t kMaxPixelBits = 0x80000008; // 256 MiB of pixels and a little
constexpr int kDefaultDpi = 96;

int NormalDepth(int bitsPerPixel) {
    if (bitsPerPixel <= 1)
        return 1;
    if (bitsPerPixel <= 4)
        return 4;
    if (bitsPerPixel <= 8)
        return 8;
    return 24;
}

std::int32_t PixelsPerMetre(int dpi) {
    if (dpi <= 0)
        dpi = kDefaultDpi;
    return static_cast<std::int32_t>(dpi * 10000 / 254.0 + 0.5);
}

// Where one colour channel sits in a screen word, and how to widen or narrow it to 8 bits.
struct MaskChannel {
    std::uint32_t mask;
    int shift;
    int bits;
    explicit MaskChannel(std::uint32_t m)
        : mask(m), shift(m ? std::countr_zero(m) : 0), bits(std::popcount(m)) {}
    std::uint8_t Of(std::uint32_t word) const {
        const std::uint32_t v = (word & mask) >> shift;
        if (bits == 8)
            return static_cast<std::uint8_t>(v);
        if (bits > 8)
            return static_cast<std::uint8_t>(v >> (bits - 8));
        return bits == 0 ? 0 : static_cast<std::uint8_t>(v * 255 / ((1u << bits) - 1));
    }
};

// Writes output row `y` of `work`: each cell's channels divided by its pixel count.
void EmitRow(const std::uint32_t* cells, std::size_t fields, CDibImage& work, int y) {
    std::uint8_t* target = work.Row(y);
    std::uint8_t* alpha = work.AlphaPlane();
    const int width = work.Width();
    for (int i = 0; i < width; ++i, cells += fields) {
        const std::uint32_t count = cells[3];
        const DibRgbQuad mean{static_cast<std::uint8_t>(cells[0] / count),
                              static_cast<std::uint8_t>(cells[1] / count),
                              static_cast<std::uint8_t>(cells[2] / count), 0};
        if (work.BitsPerPixel() == 24) {
            target[i * 3] = mean.blue;
            target[i * 3 + 1] = mean.green;
            target[i * 3 + 2] = mean.red;
        } else {
            work.SetPixelColor(i, y, mean);
        }
        if (alpha)
            alpha[std::size_t(width) * y + i] = static_cast<std::uint8_t>(cells[4] / count);
    }
}

} // namespace

CDibImage::CDibImage(ImageKind imageKind) : kind(imageKind), pixelsPerMetre(PixelsPerMetre(0)) {}

CDibImage::~CDibImage() = default;

void CDibImage::SetLastError(const char* text) {
    std::snprintf(lastError, sizeof lastError, "%s", text);
}

int CDibImage::NumColors() const {
    switch (header.bitCount) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    default:
        return 0;
    }
}

void CDibImage::Destroy() {
    block.reset();
    alpha.reset();
    palette = nullptr;
    pixels = nullptr;
    stride = 0;
    header = DibInfoHeader{};
}

bool CDibImage::Create(int width, int height, int bitsPerPixel, ImageKind newKind) {
    Destroy();
    if (width <= 0 || height <= 0) {
        SetLastError("CDibImage::Create : width and height must be greater than zero");
        return false;
    }
    const int depth = NormalDepth(bitsPerPixel);
    const std::uint64_t area = static_cast<std::uint64_t>(width) * height;
    if (area > UINT32_MAX || area * depth >= kMaxPixelBits) {
        SetLastError("DIBIMAGE_MAX_MEMORY exceeded");
        return false;
    }
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * depth + 31) / 32 * 4;
    header.size = sizeof(DibInfoHeader);
    header.width = width;
    header.height = height;
    header.planes = 1;
    header.bitCount = static_cast<std::uint16_t>(depth);
    header.sizeImage = static_cast<std::uint32_t>(rowBytes * height);
    header.xPelsPerMeter = header.yPelsPerMeter = pixelsPerMetre;
    header.clrUsed = static_cast<std::uint32_t>(NumColors());
    const std::size_t paletteBytes = NumColors() * sizeof(DibRgbQuad);
    const std::size_t total = sizeof(DibInfoHeader) + paletteBytes + header.sizeImage;
    block.reset(static_cast<std::uint8_t*>(std::calloc(total, 1)));
    if (!block) {
        header = DibInfoHeader{};
        SetLastError("CDibImage::Create can't allocate memory");
        return false;
    }
    std::memcpy(block.get(), &header, sizeof header);
    palette = reinterpret_cast<DibRgbQuad*>(block.get() + sizeof(DibInfoHeader));
    pixels = block.get() + sizeof(DibInfoHeader) + paletteBytes;
    stride = rowBytes;
    if (newKind != ImageKind::Unknown)
        kind = newKind;
    return true;
}

// The capture is top-down; our rows are bottom-up, so the top row goes last in memory.
bool CDibImage::CreateFromScreen(const CapturedScreen& screen) {
    const std::size_t rowBytes = static_cast<std::size_t>(std::max(screen.width, 0)) * 4;
    if (screen.bitsPerPixel != 32 || screen.width <= 0 || screen.height <= 0 ||
        screen.stride < rowBytes ||
        screen.pixels.size() < screen.stride * (screen.height - 1) + rowBytes) {
        Destroy();
        SetLastError("GetDIBits failed");
        return false;
    }
    if (!Create(screen.width, screen.height, screen.bitsPerPixel))
        return false;
    const MaskChannel red(screen.redMask), green(screen.greenMask), blue(screen.blueMask);
    for (int y = 0; y < screen.height; ++y) {
        const std::uint8_t* from = screen.pixels.data() + screen.stride * y;
        std::uint8_t* to = Row(screen.height - 1 - y);
        for (int x = 0; x < screen.width; ++x, from += 4, to += 3) {
            std::uint32_t word;
            std::memcpy(&word, from, sizeof word);
            to[0] = blue.Of(word);
            to[1] = green.Of(word);
            to[2] = red.Of(word);
        }
    }
    return true;
}

void CDibImage::CopySettings(const CDibImage& other) {
    kind = other.kind;
    pixelsPerMetre = other.pixelsPerMetre;
    transparentIndex = other.transparentIndex;
    codecOption = other.codecOption;
}

bool CDibImage::Copy(const CDibImage& other) {
    if (&other == this)
        return IsValid();
    if (!other.IsValid()) {
        Destroy();
        SetLastError("Copy: no image");
        return false;
    }
    CopySettings(other);
    if (!Create(other.Width(), other.Height(), other.BitsPerPixel(), other.kind))
        return false;
    std::memcpy(palette, other.palette, NumColors() * sizeof(DibRgbQuad));
    std::memcpy(pixels, other.pixels, header.sizeImage);
    if (other.alpha) {
        if (!AlphaCreate())
            return false;
        std::memcpy(alpha.get(), other.alpha.get(), static_cast<std::size_t>(Width()) * Height());
    }
    return true;
}

void CDibImage::TakeOver(CDibImage& other) {
    CopySettings(other);
    header = other.header;
    block = std::move(other.block);
    palette = std::exchange(other.palette, nullptr);
    pixels = std::exchange(other.pixels, nullptr);
    stride = std::exchange(other.stride, 0);
    alpha = std::move(other.alpha);
    other.header = DibInfoHeader{};
}

std::uint8_t* CDibImage::Row(int y) const {
    if (!pixels || y < 0 || y >= Height())
        return nullptr;
    return pixels + stride * y;
}

void CDibImage::SetGrayPalette() {
    const int colors = NumColors();
    for (int i = 0; i < colors; ++i) {
        const auto level = static_cast<std::uint8_t>(i * 255 / (colors - 1));
        palette[i] = DibRgbQuad{level, level, level, 0};
    }
}

bool CDibImage::IsGrayRamp() const {
    const int colors = NumColors();
    if (colors == 0)
        return false;
    for (int i = 0; i < colors; ++i) {
        const int level = i * 255 / (colors - 1);
        const DibRgbQuad& c = palette[i];
        if (c.red != level || c.green != level || c.blue != level)
            return false;
    }
    return true;
}

DibRgbQuad CDibImage::GetPixelColor(int x, int y) const {
    const std::uint8_t* row = Row(y);
    if (!row || x < 0 || x >= Width())
        return {};
    switch (header.bitCount) {
    case 24:
        return DibRgbQuad{row[x * 3], row[x * 3 + 1], row[x * 3 + 2], 0};
    case 8:
        return palette[row[x]];
    case 4:
        return palette[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0f];
    default:
        return palette[(row[x >> 3] >> (7 - (x & 7))) & 1];
    }
}

void CDibImage::SetPixelColor(int x, int y, DibRgbQuad color) {
    std::uint8_t* row = Row(y);
    if (!row || x < 0 || x >= Width())
        return;
    if (header.bitCount == 24) {
        row[x * 3] = color.blue;
        row[x * 3 + 1] = color.green;
        row[x * 3 + 2] = color.red;
        return;
    }
    const std::uint8_t index = GetNearestIndex(color);
    if (header.bitCount == 8) {
        row[x] = index;
    } else if (header.bitCount == 4) {
        const int shift = (x & 1) ? 0 : 4;
        row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & ~(0x0f << shift)) | index << shift);
    } else {
        const int shift = 7 - (x & 7);
        row[x >> 3] = static_cast<std::uint8_t>((row[x >> 3] & ~(1 << shift)) | index << shift);
    }
}

std::uint8_t CDibImage::GetNearestIndex(DibRgbQuad color) const {
    int best = 0;
    long bestDistance = -1;
    for (int i = 0; i < NumColors(); ++i) {
        const long db = palette[i].blue - color.blue;
        const long dg = palette[i].green - color.green;
        const long dr = palette[i].red - color.red;
        const long distance = db * db + dg * dg + dr * dr;
        if (bestDistance < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return static_cast<std::uint8_t>(best);
}

void CDibImage::SetDpi(int dpi) {
    pixelsPerMetre = PixelsPerMetre(dpi);
    if (!block)
        return;
    header.xPelsPerMeter = header.yPelsPerMeter = pixelsPerMetre;
    std::memcpy(block.get(), &header, sizeof header);
}

bool CDibImage::AlphaCreate() {
    if (!IsValid())
        return false;
    if (!alpha) {
        const std::size_t count = static_cast<std::size_t>(Width()) * Height();
        alpha.reset(new (std::nothrow) std::uint8_t[count]);
        if (!alpha) {
            SetLastError("CDibImage::Create can't allocate memory");
            return false;
        }
        std::memset(alpha.get(), 255, count);
    }
    return true;
}

bool CDibImage::BoxShrink(int newWidth, int newHeight, CDibImage* out, bool changeDepth) {
    if (!IsValid()) {
        SetLastError("BoxShrink: no image");
        return false;
    }
    if (newWidth > Width() || newHeight > Height()) {
        SetLastError("BoxShrink can't enlarge image");
        return false;
    }
    if (newWidth == Width() && newHeight == Height()) {
        if (out && out != this && !out->Copy(*this)) {
            SetLastError(out->LastError());
            return false;
        }
        return true;
    }
    CDibImage work(kind);
    work.CopySettings(*this);
    if (!work.Create(newWidth, newHeight, changeDepth ? 24 : BitsPerPixel(), kind) ||
        (alpha && !work.AlphaCreate())) {
        SetLastError(work.LastError());
        return false;
    }
    std::memcpy(work.palette, palette,
                std::min(NumColors(), work.NumColors()) * sizeof(DibRgbQuad));
    if (!ShrinkRows(work))
        return false;
    (out ? *out : *this).TakeOver(work);
    return true;
}

// Integer accumulators walk both axes: each source pixel adds newWidth to the horizontal one
// and goes to the next cell only once it exceeds the width, each source row adds newHeight
// to the vertical one and a row is emitted once it reaches the height. Halving 8 columns
// thus gives the cells 0-2, 3-4, 5-6 and 7. When the width stays as it is, the rule would
// put columns 0 and 1 into one cell and leave the last cell empty, so then every column is
// a cell of its own.
bool CDibImage::ShrinkRows(CDibImage& work) {
    const std::uint32_t width = Width(), height = Height();
    const std::uint32_t newWidth = work.Width(), newHeight = work.Height();
    const bool keepColumns = newWidth == width;
    const std::uint8_t* alphaIn = alpha.get();
    const std::size_t fields = alphaIn ? 5 : 4; // blue, green, red, count, alpha
    std::vector<std::uint32_t> cells(newWidth * fields, 0);
    const bool readDirect = BitsPerPixel() == 24;
    std::uint32_t yAcc = 0;
    int outY = 0;
    for (std::uint32_t y = 0; y < height; ++y) {
        progress.store(static_cast<int>(std::uint64_t(y) * 100 / height));
        if (escape.load()) {
            SetLastError("BoxShrink: stopped");
            return false;
        }
        yAcc += newHeight;
        const std::uint8_t* source = pixels + stride * y;
        const std::uint8_t* sourceAlpha = alphaIn ? alphaIn + std::size_t(width) * y : nullptr;
        std::uint32_t* cell = cells.data();
        std::uint32_t xAcc = 0;
        for (std::uint32_t x = 0; x < width; ++x) {
            if (readDirect) {
                cell[0] += source[x * 3];
                cell[1] += source[x * 3 + 1];
                cell[2] += source[x * 3 + 2];
            } else {
                const DibRgbQuad c = GetPixelColor(static_cast<int>(x), static_cast<int>(y));
                cell[0] += c.blue;
                cell[1] += c.green;
                cell[2] += c.red;
            }
            ++cell[3];
            if (sourceAlpha)
                cell[4] += sourceAlpha[x];
            xAcc += newWidth;
            if (xAcc > width || keepColumns) {
                xAcc -= width;
                cell += fields;
            }
        }
        if (yAcc < height)
            continue;
        yAcc -= height;
        EmitRow(cells.data(), fields, work, outY);
        std::fill(cells.begin(), cells.end(), 0);
        ++outY;
    }
    progress.store(100);
    return true;
}

bool CDibImage::Encode(char*& buffer, std::size_t& size, ImageKind encodeKind) {
    if (buffer) {
        SetLastError("the buffer must be empty");
        return false;
    }
    if (encodeKind != ImageKind::Png) {
        SetLastError("Encode: Unknown format");
        return false;
    }
    CImgMemFile file;
    file.Open();
    if (!EncodePng(*this, &file))
        return false;
    size = static_cast<std::size_t>(file.Size());
    buffer = reinterpret_cast<char*>(file.GetBuffer(true));
    return true;
}

} // namespace tvn
