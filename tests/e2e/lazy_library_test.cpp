// The headless program maps libheif only once a HEIF picture is to be shown, and
// libcanberra only for a sound: an idle program, or one that showed JPEG thumbnails, has
// neither in its memory.
#include "fault_fixture.h"

#include <csignal>
#include <libheif/heif.h>
#include <memory>

namespace tvn::test {
namespace {

// A grey HEIC of `width` by `height` pixels, made with libheif's HEVC encoder; empty when
// it cannot be made.
std::string GreyHeic(int width, int height) {
    const std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(),
                                                                         &heif_context_free);
    heif_image* raw = nullptr;
    if (heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &raw)
            .code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image, void (*)(const heif_image*)> image(raw, &heif_image_release);
    if (heif_image_add_plane(raw, heif_channel_interleaved, width, height, 8).code != heif_error_Ok)
        return {};
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
    for (int y = 0; y < height; ++y)
        std::fill_n(plane + static_cast<std::ptrdiff_t>(y) * stride, 3 * width, 128);
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder)
            .code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> encoder(rawEncoder,
                                                                         &heif_encoder_release);
    if (heif_context_encode_image(context.get(), raw, rawEncoder, nullptr, nullptr).code !=
        heif_error_Ok)
        return {};
    std::string bytes;
    heif_writer writer{1, [](heif_context*, const void* data, std::size_t size, void* user) {
                           static_cast<std::string*>(user)->append(static_cast<const char*>(data),
                                                                   size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    if (heif_context_write(context.get(), &writer, &bytes).code != heif_error_Ok)
        return {};
    return bytes;
}

class LazyLibraryTest : public FaultTest {
  protected:
    // The program's mappings, as /proc shows them; empty when they cannot be read.
    static std::string Mappings(const QProcess& program) {
        return ReadFileBytes("/proc/" + std::to_string(program.processId()) + "/maps").value_or("");
    }
    static bool Maps(const std::string& mappings, const std::string& library) {
        return mappings.find("/" + library) != std::string::npos;
    }

    // The thumbnails of the listing of `folder`, each fetched: true when each came as JPEG.
    void ShowThumbnails(const std::string& folder, std::size_t count) const {
        SCOPED_TRACE(folder);
        const std::string listing = HttpGet(port, folder);
        ASSERT_EQ(StatusLine(listing), "HTTP/1.0 200 OK");
        const auto thumbnails = ThumbnailUrls(listing);
        ASSERT_EQ(thumbnails.size(), count) << listing;
        for (const std::string& url : thumbnails) {
            const std::string picture = HttpGet(port, url);
            EXPECT_EQ(StatusLine(picture), "HTTP/1.0 200 OK") << url;
            EXPECT_TRUE(Body(picture).starts_with("\xFF\xD8")) << url << " is no JPEG picture";
        }
    }
};

TEST_F(LazyLibraryTest, LibheifIsMappedWithTheFirstHeifPictureAndLibcanberraNotAtAll) {
    WriteFaultSettings();
    ASSERT_TRUE(CopyDemoPhotos(Path("site/Photos")));
    const std::string heic = GreyHeic(96, 64);
    ASSERT_FALSE(heic.empty());
    WriteFileBytes(Path("site/Phone/IMG_0001.HEIC"), heic);
    auto program = Launch();
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();
    ASSERT_EQ(StatusLine(HttpGet(port, "/")), "HTTP/1.0 200 OK");

    struct Step {
        const char* name;
        const char* folder; // whose listing and thumbnails are shown first; none for idle
        std::size_t thumbnails;
        bool heifMapped;
    };
    const Step steps[] = {
        {"idle", nullptr, 0, false},
        // A JPEG begins with no ftyp box: told apart without libheif.
        {"JPEG thumbnails", "/Photos/", 3, false},
        {"a HEIC thumbnail", "/Phone/", 1, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        if (s.folder) {
            ASSERT_NO_FATAL_FAILURE(ShowThumbnails(s.folder, s.thumbnails));
        }
        const std::string mappings = Mappings(*program);
        ASSERT_TRUE(Maps(mappings, "libQt6Core.so")) << "the mappings were not read";
        EXPECT_EQ(Maps(mappings, "libheif.so"), s.heifMapped);
        EXPECT_EQ(Maps(mappings, "libde265.so"), s.heifMapped); // libheif's HEVC decoder
        // No comment was posted: no sound was rung.
        EXPECT_FALSE(Maps(mappings, "libcanberra.so"));
    }
    EXPECT_TRUE(Stop(*program)) << ProgramOutput();
}

} // namespace
} // namespace tvn::test
