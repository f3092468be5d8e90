#include "pages/image/heif_picture.h"

#include "pages/image/heif_library.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

// libheif's own bound on either side, which it checks while it reads the boxes (a grid of
// tiles included): far beyond any camera, so that panoramas pass and only our pixel and
// byte limits decide.
constexpr int kMaxSide = 65535;

struct ContextDeleter {
    decltype(&heif_context_free) free;
    void operator()(heif_context* context) const noexcept { free(context); }
};
struct HandleDeleter {
    decltype(&heif_image_handle_release) release;
    void operator()(heif_image_handle* handle) const noexcept { release(handle); }
};
struct OptionsDeleter {
    decltype(&heif_decoding_options_free) free;
    void operator()(heif_decoding_options* options) const noexcept { free(options); }
};

// The file as libheif reads it: pread from where it last sought, so that the descriptor is
// shared with nobody's offset and a file that shrinks meanwhile gives a short read, not a
// crash (as a mapping would).
struct FileReader {
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t position = 0;
};

std::int64_t GetPosition(void* user) { return static_cast<FileReader*>(user)->position; }

int ReadAt(void* data, std::size_t size, void* user) {
    FileReader& file = *static_cast<FileReader*>(user);
    auto* out = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(file.fd, out, size, file.position);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 1;
        out += got;
        size -= static_cast<std::size_t>(got);
        file.position += got;
    }
    return 0;
}

int SeekTo(std::int64_t position, void* user) {
    FileReader& file = *static_cast<FileReader*>(user);
    if (position < 0 || position > file.size)
        return 1;
    file.position = position;
    return 0;
}

heif_reader_grow_status WaitForSize(std::int64_t target, void* user) {
    return target > static_cast<FileReader*>(user)->size ? heif_reader_grow_status_size_beyond_eof
                                                         : heif_reader_grow_status_size_reached;
}

constexpr heif_reader kFileReader = {1, &GetPosition, &ReadAt, &SeekTo, &WaitForSize};

// Every HEIF file (ISO/IEC 23008-12) begins with its ftyp box: a size, then "ftyp". What
// libheif reads of the brands after it is its own business; without the box it says no.
bool HasFileTypeBox(const std::uint8_t* head, std::size_t size) {
    return size >= 8 && std::memcmp(head + 4, "ftyp", 4) == 0;
}

bool Exceeds(std::int64_t width, std::int64_t height, const HeifLimits& limits) {
    if (width <= 0 || height <= 0)
        return false; // not declared: decoding tells
    const std::int64_t pixels = width * height;
    if (limits.maxPixels > 0 && pixels > limits.maxPixels)
        return true;
    return limits.maxBytes > 0 && static_cast<std::uint64_t>(pixels) * 4 > limits.maxBytes;
}

// The outcome of a failed libheif call: a security limit of its own is a refusal by size.
HeifOutcome Failure(const heif_error& error) {
    return error.subcode == heif_suberror_Security_limit_exceeded ? HeifOutcome::TooLarge
                                                                  : HeifOutcome::Broken;
}

std::string ReadIccProfile(const HeifFunctions& heif, const heif_image_handle* handle) {
    const heif_color_profile_type type = heif.handleGetColorProfileType(handle);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC)
        return {};
    std::string icc(heif.handleGetRawColorProfileSize(handle), '\0');
    if (icc.empty() || heif.handleGetRawColorProfile(handle, icc.data()).code != heif_error_Ok)
        return {};
    return icc;
}

bool CheckFiletype(const HeifFunctions& heif, const std::uint8_t* head, std::size_t size) {
    const heif_filetype_result type =
        heif.checkFiletype(head, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
    return type == heif_filetype_yes_supported || type == heif_filetype_yes_unsupported;
}

} // namespace

void HeifImageDeleter::operator()(heif_image* image) const noexcept {
    if (image && release)
        release(image);
}

bool LooksLikeHeif(const std::uint8_t* head, std::size_t size, CHeifLibrary& library) {
    if (size < 12 || !HasFileTypeBox(head, size))
        return false;
    const HeifFunctions* heif = library.Functions();
    return heif && CheckFiletype(*heif, head, size);
}

CHeifPicture::CHeifPicture() : library(CHeifLibrary::Shared()) {}

void CHeifPicture::Clear() {
    image.reset();
    rows = nullptr;
    width = height = stride = 0;
    icc.clear();
}

HeifOutcome CHeifPicture::Decode(int fd, const HeifLimits& limits) {
    Clear();
    struct stat st {};
    std::uint8_t head[32] = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return HeifOutcome::Broken;
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    const auto headSize = static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    if (headSize < 12 || !HasFileTypeBox(head, headSize))
        return HeifOutcome::NotHeif;
    // A file that may be HEIF, and no libheif to tell: no picture, as for a broken one.
    const HeifFunctions* loaded = library.Functions();
    if (!loaded)
        return HeifOutcome::Broken;
    const HeifFunctions& heif = *loaded;
    if (!CheckFiletype(heif, head, headSize))
        return HeifOutcome::NotHeif;
    const std::unique_ptr<heif_context, ContextDeleter> context(heif.contextAlloc(),
                                                                {heif.contextFree});
    if (!context)
        return HeifOutcome::Broken;
    heif.contextSetMaximumImageSizeLimit(context.get(), kMaxSide);
    // Thumbnails are decoded one picture per core already: tiles go one after the other.
    heif.contextSetMaxDecodingThreads(context.get(), 0);
    FileReader reader{fd, static_cast<std::int64_t>(st.st_size), 0};
    if (heif_error e = heif.contextReadFromReader(context.get(), &kFileReader, &reader, nullptr);
        e.code != heif_error_Ok)
        return Failure(e);
    heif_image_handle* primary = nullptr;
    if (heif_error e = heif.contextGetPrimaryImageHandle(context.get(), &primary);
        e.code != heif_error_Ok)
        return Failure(e);
    const std::unique_ptr<heif_image_handle, HandleDeleter> handle(primary, {heif.handleRelease});
    // The stored size (before a turn or crop) is what the decoder allocates; the shown one
    // is what we allocate after it.
    if (Exceeds(heif.handleGetIspeWidth(primary), heif.handleGetIspeHeight(primary), limits) ||
        Exceeds(heif.handleGetWidth(primary), heif.handleGetHeight(primary), limits))
        return HeifOutcome::TooLarge;
    const std::unique_ptr<heif_decoding_options, OptionsDeleter> options(
        heif.decodingOptionsAlloc(), {heif.decodingOptionsFree});
    if (!options)
        return HeifOutcome::Broken;
    options->ignore_transformations = 0; // the picture as it is shown, turned and cropped
    options->convert_hdr_to_8bit = 1;
    heif_image* decoded = nullptr;
    if (heif_error e = heif.decodeImage(primary, &decoded, heif_colorspace_RGB,
                                        heif_chroma_interleaved_RGBA, options.get());
        e.code != heif_error_Ok) {
        if (decoded)
            heif.imageRelease(decoded);
        return Failure(e);
    }
    image = std::unique_ptr<heif_image, HeifImageDeleter>(decoded, {heif.imageRelease});
    int rowBytes = 0;
    const std::uint8_t* plane =
        heif.imageGetPlaneReadonly(decoded, heif_channel_interleaved, &rowBytes);
    const int w = heif.imageGetPrimaryWidth(decoded);
    const int h = heif.imageGetPrimaryHeight(decoded);
    if (!plane || w <= 0 || h <= 0 || rowBytes < 4 * w) {
        Clear();
        return HeifOutcome::Broken;
    }
    rows = plane;
    width = w;
    height = h;
    stride = rowBytes;
    icc = ReadIccProfile(heif, primary);
    return HeifOutcome::Decoded;
}

} // namespace tvn
