#include "pages/image/heif_picture.h"

#include <algorithm>
#include <cerrno>
#include <libheif/heif.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

// libheif's own bound on either side, which it checks while it reads the boxes (a grid of
// tiles included): far beyond any camera, so that panoramas pass and only our pixel and
// byte limits decide.
constexpr int kMaxSide = 65535;

struct ContextDeleter {
    void operator()(heif_context* context) const noexcept { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const noexcept { heif_image_handle_release(handle); }
};
struct OptionsDeleter {
    void operator()(heif_decoding_options* options) const noexcept {
        heif_decoding_options_free(options);
    }
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

// libheif finds its codecs in heif_init; it counts its calls, and this process keeps it for
// its whole run.
void InitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
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

std::string ReadIccProfile(const heif_image_handle* handle) {
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC)
        return {};
    std::string icc(heif_image_handle_get_raw_color_profile_size(handle), '\0');
    if (icc.empty() ||
        heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
        return {};
    return icc;
}

} // namespace

void HeifImageDeleter::operator()(heif_image* image) const noexcept { heif_image_release(image); }

bool LooksLikeHeif(const std::uint8_t* head, std::size_t size) {
    if (size < 12)
        return false;
    const heif_filetype_result type =
        heif_check_filetype(head, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
    return type == heif_filetype_yes_supported || type == heif_filetype_yes_unsupported;
}

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
    if (got < 12 || !LooksLikeHeif(head, static_cast<std::size_t>(got)))
        return HeifOutcome::NotHeif;
    InitOnce();
    const std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (!context)
        return HeifOutcome::Broken;
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
    // Thumbnails are decoded one picture per core already: tiles go one after the other.
    heif_context_set_max_decoding_threads(context.get(), 0);
    FileReader reader{fd, static_cast<std::int64_t>(st.st_size), 0};
    if (heif_error e = heif_context_read_from_reader(context.get(), &kFileReader, &reader, nullptr);
        e.code != heif_error_Ok)
        return Failure(e);
    heif_image_handle* primary = nullptr;
    if (heif_error e = heif_context_get_primary_image_handle(context.get(), &primary);
        e.code != heif_error_Ok)
        return Failure(e);
    const std::unique_ptr<heif_image_handle, HandleDeleter> handle(primary);
    // The stored size (before a turn or crop) is what the decoder allocates; the shown one
    // is what we allocate after it.
    if (Exceeds(heif_image_handle_get_ispe_width(primary),
                heif_image_handle_get_ispe_height(primary), limits) ||
        Exceeds(heif_image_handle_get_width(primary), heif_image_handle_get_height(primary),
                limits))
        return HeifOutcome::TooLarge;
    const std::unique_ptr<heif_decoding_options, OptionsDeleter> options(
        heif_decoding_options_alloc());
    if (!options)
        return HeifOutcome::Broken;
    options->ignore_transformations = 0; // the picture as it is shown, turned and cropped
    options->convert_hdr_to_8bit = 1;
    heif_image* decoded = nullptr;
    if (heif_error e = heif_decode_image(primary, &decoded, heif_colorspace_RGB,
                                         heif_chroma_interleaved_RGBA, options.get());
        e.code != heif_error_Ok) {
        heif_image_release(decoded);
        return Failure(e);
    }
    image.reset(decoded);
    int rowBytes = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &rowBytes);
    const int w = heif_image_get_primary_width(decoded);
    const int h = heif_image_get_primary_height(decoded);
    if (!plane || w <= 0 || h <= 0 || rowBytes < 4 * w) {
        Clear();
        return HeifOutcome::Broken;
    }
    rows = plane;
    width = w;
    height = h;
    stride = rowBytes;
    icc = ReadIccProfile(primary);
    return HeifOutcome::Decoded;
}

} // namespace tvn
