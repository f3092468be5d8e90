// A picture file in a shared folder as any bytes: a JPEG, PNG or GIF header that claims huge
// sides, data cut short, or something else that only looks like a picture. The listing's
// thumbnail is made from it through the same path as for a real folder (open, the JPEG memory
// check, decoding at the thumbnail's size, scaling, JPEG encoding); it either gives the
// fallback text or a tag of at most 100 by 100 pixels whose thumbnail is cached and reads
// back at that size.
#include "fuzz/fuzz_check.h"
#include "pages/thumbnail_cache.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

using tvn::fuzz::Check;

constexpr std::string_view kFallback = "no picture";

// A private folder in /dev/shm for the one file, removed at exit.
struct ScratchFile {
    ScratchFile() {
        char pattern[] = "/dev/shm/tvn-fuzz-thumbnail-XXXXXX";
        Check(::mkdtemp(pattern) != nullptr);
        folder = pattern;
        path = folder + "/picture.jpg";
    }
    ~ScratchFile() {
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
    std::string folder;
    std::string path;
};

const std::string& PicturePath() {
    static const ScratchFile file;
    return file.path;
}

// Rewritten in place: its new modification time makes it a new file to the cache.
void WritePicture(const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(PicturePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(::write(fd, data, size) == static_cast<ssize_t>(size));
    ::close(fd);
}

// The number after `name="` in `tag`, or -1.
int Attribute(const std::string& tag, std::string_view name) {
    const std::string key = std::string(name) + "=\"";
    const auto at = tag.find(key);
    return at == std::string::npos ? -1 : std::atoi(tag.c_str() + at + key.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // As in the program: the image plug-ins are found through the application.
    static QCoreApplication app(*argc, *argv);
    // Qt's allocation limit bounds what a picture may take, and the JPEG memory check follows
    // it: at 8 MB instead of 256 the same refusals are reached by smaller pictures, and a
    // header of huge sides over a few bytes costs a tenth of a second, not seconds.
    QImageReader::setAllocationLimit(8);
    // Two thumbnails' worth: the one just made stays to be checked, nothing piles up.
    tvn::SetThumbnailCacheLimit(64 * 1024);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WritePicture(data, size);
    const std::string tag = tvn::MakeThumbnailTag(PicturePath(), kFallback);
    if (tag == kFallback)
        return 0;
    const int width = Attribute(tag, "width");
    const int height = Attribute(tag, "height");
    Check(width >= 1 && width <= 100 && height >= 1 && height <= 100);
    const auto src = tag.find("src=\"");
    Check(src != std::string::npos);
    const std::string url = tag.substr(src + 5, tag.find('"', src + 5) - src - 5);
    std::string jpeg;
    std::string picture;
    Check(tvn::CopyThumbnail(url, jpeg, picture));
    Check(picture == PicturePath());
    const QImage back = QImage::fromData(QByteArray(jpeg.data(), qsizetype(jpeg.size())), "jpeg");
    Check(back.width() == width && back.height() == height);
    return 0;
}
