// libheif loaded on the first file that may be HEIF: without it, or with a library of that
// name that is not it, a HEIF picture gives no picture and nothing crashes, and the other
// formats are told apart without it.
#include "heif_test_support.h"
#include "pages/image/heif_library.h"
#include "pages/image/heif_picture.h"
#include "platform/unique_fd.h"
#include "thumbnail_test_support.h"

#include <QByteArray>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace tvn {
namespace {

using test::EncodeHeif;
using test::TwoColourPicture;
using test::WriteFile;

// The outcome of decoding the file at `path` with `library`; the picture is empty unless it
// was decoded.
HeifOutcome DecodeWith(CHeifLibrary& library, const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return HeifOutcome::Broken;
    CHeifPicture picture(library);
    const HeifOutcome outcome = picture.Decode(fd.Get(), {});
    EXPECT_EQ(picture.Rows() != nullptr, outcome == HeifOutcome::Decoded);
    EXPECT_EQ(picture.Width(), outcome == HeifOutcome::Decoded ? 40 : 0);
    return outcome;
}

TEST(HeifLibrary, WithoutTheLibraryAHeifFileIsBrokenAndOthersAreNoHeif) {
    QTemporaryDir dir;
    const QByteArray heic = EncodeHeif(TwoColourPicture(40, 30), heif_compression_HEVC);
    const QByteArray avif = EncodeHeif(TwoColourPicture(40, 30), heif_compression_AV1);
    ASSERT_FALSE(heic.isEmpty());
    ASSERT_FALSE(avif.isEmpty());
    // An MP4's head: an ftyp box whose brands libheif does not take for its own.
    QByteArray mp4("\0\0\0\030ftypmp42\0\0\0\0mp42isom", 24);
    mp4.append(QByteArray(64, '\0'));
    const std::string heicPath = WriteFile(dir, "p.heic", heic);
    const std::string avifPath = WriteFile(dir, "p.avif", avif);
    const std::string mp4Path = WriteFile(dir, "film.heic", mp4);
    const std::string jpegPath =
        WriteFile(dir, "p.jpg", test::EncodePicture(TwoColourPicture(40, 30), "jpeg"));
    const std::string pngPath =
        WriteFile(dir, "p.heic.png", test::EncodePicture(TwoColourPicture(40, 30), "png"));
    const std::string shortPath = WriteFile(dir, "short.heic", heic.left(11));
    const std::string emptyPath = WriteFile(dir, "empty.heic", {});

    struct File {
        const std::string* path;
        HeifOutcome withLibrary, withoutLibrary;
    };
    const File files[] = {
        {&heicPath, HeifOutcome::Decoded, HeifOutcome::Broken},
        {&avifPath, HeifOutcome::Decoded, HeifOutcome::Broken},
        // Whether it is HEIF only libheif can tell: without it, no picture.
        {&mp4Path, HeifOutcome::NotHeif, HeifOutcome::Broken},
        {&jpegPath, HeifOutcome::NotHeif, HeifOutcome::NotHeif},
        {&pngPath, HeifOutcome::NotHeif, HeifOutcome::NotHeif},
        {&shortPath, HeifOutcome::NotHeif, HeifOutcome::NotHeif},
        {&emptyPath, HeifOutcome::NotHeif, HeifOutcome::NotHeif},
    };
    struct Library {
        const char* name;
        bool loads;
    };
    const Library libraries[] = {
        {"libheif.so.1", true},
        {"libtvn-no-such-heif.so.1", false},
        {"/nonexistent/libheif.so.1", false},
        {"libz.so.1", false}, // a library, but without libheif's functions
    };
    for (const Library& l : libraries) {
        SCOPED_TRACE(l.name);
        CHeifLibrary library(l.name);
        for (const File& f : files) {
            SCOPED_TRACE(*f.path);
            EXPECT_EQ(DecodeWith(library, *f.path), l.loads ? f.withLibrary : f.withoutLibrary);
        }
        // Asked again, the same answer, without a second attempt.
        const HeifFunctions* first = library.Functions();
        EXPECT_EQ(first != nullptr, l.loads);
        EXPECT_EQ(library.Functions(), first);
    }
}

// A file is HEIF when it begins with an ftyp box and libheif takes its brands for its own;
// without libheif none is.
TEST(HeifLibrary, LooksLikeHeifNeedsAnFtypBoxAndTheLibrary) {
    struct Head {
        const char* name;
        QByteArray bytes;
    };
    const Head heads[] = {
        {"jpeg", QByteArray("\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01", 12)},
        {"png", QByteArray("\x89PNG\r\n\x1A\n\0\0\0\x0D", 12)},
        {"ftyp one byte off", QByteArray("\0\0\0\030 ftypheic\0\0\0", 16)},
        {"FTYP in capitals", QByteArray("\0\0\0\030FTYPheic\0\0\0\0", 16)},
    };
    CHeifLibrary present("libheif.so.1");
    CHeifLibrary missing("libtvn-no-such-heif.so.1");
    for (const Head& h : heads) {
        SCOPED_TRACE(h.name);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(h.bytes.constData());
        const auto size = static_cast<std::size_t>(h.bytes.size());
        EXPECT_FALSE(LooksLikeHeif(bytes, size, present));
        EXPECT_FALSE(LooksLikeHeif(bytes, size, missing));
    }
    // A real HEIC head is HEIF to libheif, and nothing without it.
    const QByteArray heic = EncodeHeif(TwoColourPicture(40, 30), heif_compression_HEVC);
    ASSERT_GE(heic.size(), 32);
    const auto* head = reinterpret_cast<const std::uint8_t*>(heic.constData());
    EXPECT_TRUE(LooksLikeHeif(head, 32, present));
    EXPECT_FALSE(LooksLikeHeif(head, 32, missing));
    EXPECT_FALSE(LooksLikeHeif(head, 11, present)); // too short to tell
}

// Thumbnails decode on several workers at once: the first pictures of a listing all ask for
// the library together, and each must get it, loaded and initialised once.
TEST(HeifLibrary, WorkersAskingAtOnceAllGetTheLibrary) {
    QTemporaryDir dir;
    const std::string path =
        WriteFile(dir, "p.heic", EncodeHeif(TwoColourPicture(40, 30), heif_compression_HEVC));
    CHeifLibrary library("libheif.so.1");
    constexpr int kWorkers = 6;
    std::vector<HeifOutcome> outcomes(kWorkers, HeifOutcome::NotHeif);
    std::vector<const HeifFunctions*> seen(kWorkers, nullptr);
    std::vector<std::thread> workers;
    for (int n = 0; n < kWorkers; ++n) {
        workers.emplace_back([&, n] {
            outcomes[n] = DecodeWith(library, path);
            seen[n] = library.Functions();
        });
    }
    for (auto& worker : workers)
        worker.join();
    for (int n = 0; n < kWorkers; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(outcomes[n], HeifOutcome::Decoded);
        EXPECT_NE(seen[n], nullptr);
        EXPECT_EQ(seen[n], seen[0]);
    }
}

} // namespace
} // namespace tvn
