// The headless program maps Qt Gui (the picture module) only with the first thumbnail, libheif
// only once a HEIF picture is to be shown, libcanberra only for a sound, the D-Bus module only
// for a bus and the X module only for the screen or a key: an idle program without a firewall bus
// has none of them in its memory, one that showed JPEG thumbnails only Qt Gui (which maps Qt DBus
// for its own needs).
#include "fault_fixture.h"
#include "pages/heif_test_support.h"

#include <QColor>
#include <QImage>

namespace tvn::test {
namespace {

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

TEST_F(LazyLibraryTest, QtGuiAndLibheifAreMappedWithTheirFirstPictureAndLibcanberraNotAtAll) {
    WriteFaultSettings();
    ASSERT_TRUE(CopyDemoPhotos(Path("site/Photos")));
    QImage grey(96, 64, QImage::Format_RGB32);
    grey.fill(QColor(128, 128, 128));
    const QByteArray heic = EncodeHeif(grey, heif_compression_HEVC);
    ASSERT_FALSE(heic.isEmpty());
    WriteFileBytes(Path("site/Phone/IMG_0001.HEIC"), heic.toStdString());
    auto program = Launch();
    ASSERT_TRUE(WaitForListening(port)) << ProgramOutput();
    ASSERT_EQ(StatusLine(HttpGet(port, "/")), "HTTP/1.0 200 OK");

    struct Step {
        const char* name;
        const char* folder; // whose listing and thumbnails are shown first; none for idle
        std::size_t thumbnails;
        bool guiMapped;
        bool heifMapped;
    };
    const Step steps[] = {
        {"idle", nullptr, 0, false, false},
        // A JPEG begins with no ftyp box: told apart without libheif.
        {"JPEG thumbnails", "/Photos/", 3, true, false},
        {"a HEIC thumbnail", "/Phone/", 1, true, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        if (s.folder) {
            ASSERT_NO_FATAL_FAILURE(ShowThumbnails(s.folder, s.thumbnails));
        }
        const std::string mappings = Mappings(*program);
        ASSERT_TRUE(Maps(mappings, "libQt6Core.so")) << "the mappings were not read";
        EXPECT_EQ(Maps(mappings, "tarvolin-pictures.so"), s.guiMapped);
        EXPECT_EQ(Maps(mappings, "libQt6Gui.so"), s.guiMapped);
        EXPECT_EQ(Maps(mappings, "libQt6DBus.so"), s.guiMapped);
        EXPECT_FALSE(Maps(mappings, "tarvolin-dbus.so"));
        EXPECT_FALSE(Maps(mappings, "tarvolin-x11.so")); // no screenshot was asked for
        EXPECT_FALSE(Maps(mappings, "libxcb-shm.so"));
        EXPECT_EQ(Maps(mappings, "libheif.so"), s.heifMapped);
        EXPECT_EQ(Maps(mappings, "libde265.so"), s.heifMapped); // libheif's HEVC decoder
        // No comment was posted: no sound was rung.
        EXPECT_FALSE(Maps(mappings, "libcanberra.so"));
    }
    EXPECT_TRUE(Stop(*program)) << ProgramOutput();
}

} // namespace
} // namespace tvn::test
