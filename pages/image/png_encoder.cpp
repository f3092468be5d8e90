#include "pages/image/png_encoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <png.h>

namespace tvn {

namespace {

// Everything the libpng calls need, as plain data: libpng reports errors by long-jumping,
// which must not cross a frame that holds an object with a destructor.
struct PngJob {
    png_structp png;
    png_infop info;
    CImgFile* file;
    const char* error; // the reason, set before the library jumps back
    const std::uint8_t* bits;
    std::size_t stride;
    int width;
    int height;
    int bitsPerPixel;
    const DibRgbQuad* palette;
    int colors;
    const std::uint8_t* alpha;
    int transparentIndex;
    std::int32_t pixelsPerMetre;
    bool interlaced;
    int colorType;
    int channels;
    int bitDepth;
    png_bytep row;
    std::size_t rowBytes;
};

[[noreturn]] void OnError(png_structp png, png_const_charp) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    if (!job->error)
        job->error = "Error saving PNG file";
    std::longjmp(png_jmpbuf(png), 1);
}

void OnWarning(png_structp, png_const_charp) {}

void OnWrite(png_structp png, png_bytep data, png_size_t length) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    if (job->file->Write(data, 1, length) != length) {
        job->error = "Write Error";
        png_error(png, job->error);
    }
}

void OnFlush(png_structp png) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    if (!job->file->Flush()) {
        job->error = "Flush Error";
        png_error(png, job->error);
    }
}

DibRgbQuad ColorAt(const PngJob* job, const std::uint8_t* row, int x) {
    switch (job->bitsPerPixel) {
    case 24:
        return DibRgbQuad{row[x * 3], row[x * 3 + 1], row[x * 3 + 2], 0};
    case 8:
        return job->palette[row[x]];
    case 4:
        return job->palette[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0f];
    default:
        return job->palette[(row[x >> 3] >> (7 - (x & 7))) & 1];
    }
}

// Fills the row buffer with memory row `y` in PNG order.
void FillRow(PngJob* job, int y) {
    const std::uint8_t* from = job->bits + job->stride * y;
    png_bytep to = job->row;
    if (job->colorType & PNG_COLOR_MASK_ALPHA) {
        const std::uint8_t* alpha = job->alpha + static_cast<std::size_t>(job->width) * y;
        const bool gray = job->colorType == PNG_COLOR_TYPE_GRAY_ALPHA;
        for (int x = 0; x < job->width; ++x) {
            const DibRgbQuad c = ColorAt(job, from, x);
            if (gray) {
                *to++ = c.red;
            } else {
                *to++ = c.red;
                *to++ = c.green;
                *to++ = c.blue;
            }
            *to++ = alpha[x];
        }
    } else if (job->colorType == PNG_COLOR_TYPE_RGB) {
        for (int x = 0; x < job->width; ++x, from += 3, to += 3) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
    } else {
        std::memcpy(to, from, job->stride); // packed indices are already in PNG order
    }
}

void SetBackgroundAndPalette(PngJob* job) {
    png_color_16 background{};
    background.red = background.green = background.blue = 255;
    const int t = job->transparentIndex;
    const bool transparent = t >= 0 && t < job->colors && !(job->colorType & PNG_COLOR_MASK_ALPHA);
    if (transparent) {
        background.index = static_cast<png_byte>(t);
        background.red = job->palette[t].red;
        background.green = job->palette[t].green;
        background.blue = job->palette[t].blue;
        background.gray = static_cast<png_uint_16>(t);
    }
    png_set_bKGD(job->png, job->info, &background);
    if (job->colorType == PNG_COLOR_TYPE_PALETTE) {
        png_color colors[256];
        for (int i = 0; i < job->colors; ++i)
            colors[i] = png_color{job->palette[i].red, job->palette[i].green, job->palette[i].blue};
        png_set_PLTE(job->png, job->info, colors, job->colors);
    }
    if (!transparent)
        return;
    if (job->colorType == PNG_COLOR_TYPE_PALETTE) {
        png_byte alphas[256];
        std::fill(alphas, alphas + t, png_byte{255});
        alphas[t] = 0;
        png_set_tRNS(job->png, job->info, alphas, t + 1, nullptr);
    } else if (job->colorType == PNG_COLOR_TYPE_GRAY) {
        png_color_16 gray{};
        gray.gray = static_cast<png_uint_16>(t);
        png_set_tRNS(job->png, job->info, nullptr, 0, &gray);
    }
}

// The whole write between setjmp and the end: no object with a destructor lives here.
bool WritePng(PngJob* job) {
    if (setjmp(png_jmpbuf(job->png)))
        return false;
    png_set_write_fn(job->png, job, OnWrite, OnFlush);
    png_set_IHDR(job->png, job->info, job->width, job->height, job->bitDepth, job->colorType,
                 job->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    SetBackgroundAndPalette(job);
    png_set_pHYs(job->png, job->info, job->pixelsPerMetre, job->pixelsPerMetre,
                 PNG_RESOLUTION_METER);
    png_write_info(job->png, job->info);
    const int passes = png_set_interlace_handling(job->png);
    job->row = static_cast<png_bytep>(std::malloc(job->rowBytes));
    if (!job->row)
        png_error(job->png, "out of memory");
    for (int pass = 0; pass < passes; ++pass) {
        for (int y = job->height - 1; y >= 0; --y) { // the top row is last in memory
            FillRow(job, y);
            png_write_row(job->png, job->row);
        }
    }
    png_write_end(job->png, job->info);
    return true;
}

void DescribePicture(const CDibImage& image, PngJob& job) {
    job.bits = image.Bits();
    job.stride = image.Stride();
    job.width = image.Width();
    job.height = image.Height();
    job.bitsPerPixel = image.BitsPerPixel();
    job.palette = image.Palette();
    job.colors = image.NumColors();
    job.alpha = image.AlphaPlane();
    job.transparentIndex = image.TransparentIndex();
    job.pixelsPerMetre = image.Header().xPelsPerMeter;
    job.interlaced = image.CodecOption() == 1;
    const bool paletted = job.bitsPerPixel <= 8;
    job.channels = paletted ? 1 : 3;
    job.bitDepth = job.bitsPerPixel / job.channels;
    job.colorType = !paletted            ? PNG_COLOR_TYPE_RGB
                    : image.IsGrayRamp() ? PNG_COLOR_TYPE_GRAY
                                         : PNG_COLOR_TYPE_PALETTE;
    if (job.alpha) {
        // PNG has no palette with an alpha channel: a coloured palette goes out as RGBA.
        job.colorType = job.colorType == PNG_COLOR_TYPE_GRAY ? PNG_COLOR_TYPE_GRAY_ALPHA
                                                             : PNG_COLOR_TYPE_RGB_ALPHA;
        job.channels = job.colorType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 4;
        job.bitDepth = 8;
    }
    job.rowBytes = std::max(static_cast<std::size_t>(job.bitDepth / 8 * job.channels) *
                                static_cast<std::size_t>(job.width),
                            job.stride);
}

} // namespace

bool EncodePng(CDibImage& image, CImgFile* file) {
    if (!file) {
        image.SetLastError("null file handler");
        return false;
    }
    if (!image.IsValid()) {
        image.SetLastError("null image!!!");
        return false;
    }
    PngJob job{};
    job.file = file;
    DescribePicture(image, job);
    job.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job, OnError, OnWarning);
    if (!job.png) {
        image.SetLastError("Failed to create PNG structure");
        return false;
    }
    job.info = png_create_info_struct(job.png);
    if (!job.info) {
        png_destroy_write_struct(&job.png, nullptr);
        image.SetLastError("Failed to initialize PNG info structure");
        return false;
    }
    const bool written = WritePng(&job);
    png_destroy_write_struct(&job.png, &job.info);
    std::free(job.row);
    if (!written)
        image.SetLastError(job.error ? job.error : "Error saving PNG file");
    return written;
}

} // namespace tvn
