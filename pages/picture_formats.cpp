#include "pages/picture_formats.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImageReader>
#include <algorithm>
#include <set>
#include <vector>

namespace tvn {
namespace {

// Extensions that pictures of a format commonly carry besides the ones Qt names for it.
struct Alias {
    std::string_view format;
    std::string_view extension;
};
constexpr Alias kAliases[] = {
    {"jpeg", "jpg"}, {"jpeg", "jpeg"}, {"jpeg", "jpe"}, {"jpeg", "jfif"},
    {"tiff", "tif"}, {"tiff", "tiff"}, {"bmp", "dib"},
};

// Formats that libheif reads for the thumbnails (pages/image), whatever Qt has installed: HEIC
// and HEIF from phones, and AVIF.
constexpr std::string_view kHeifExtensions[] = {"heic", "heif", "avif"};

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// One decoder as the listing sees it: a description and the extensions it reads.
struct Decoder {
    std::string description;
    std::vector<std::string> extensions; // lower case, without the dot
};

void AddExtension(Decoder& decoder, std::string_view extension) {
    if (std::find(decoder.extensions.begin(), decoder.extensions.end(), extension) ==
        decoder.extensions.end())
        decoder.extensions.emplace_back(extension);
}

// Qt names one format per extension and groups them by MIME type ("jpg" and "jpeg" are both
// image/jpeg); one group becomes one decoder, described by its longest format name.
std::vector<Decoder> InstalledDecoders() {
    std::vector<Decoder> decoders;
    std::set<std::string> grouped;
    const auto addGroup = [&](const QList<QByteArray>& formats) {
        Decoder decoder;
        for (const QByteArray& format : formats) {
            const std::string name = format.toLower().toStdString();
            if (!CanDecodePictureFormat(name) || !grouped.insert(name).second)
                continue;
            AddExtension(decoder, name);
            if (name.size() > decoder.description.size())
                decoder.description = UpperAscii(name);
            for (const Alias& alias : kAliases) {
                if (alias.format == name)
                    AddExtension(decoder, alias.extension);
            }
        }
        if (!decoder.extensions.empty())
            decoders.push_back(std::move(decoder));
    };
    for (const QByteArray& mime : QImageReader::supportedMimeTypes())
        addGroup(QImageReader::imageFormatsForMimeType(mime));
    // A format that no MIME type names still reads pictures: it gets a decoder of its own.
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        addGroup({format});
    // A Qt plugin that reads them already has named them above.
    Decoder heif{"HEIF", {}};
    for (const std::string_view extension : kHeifExtensions) {
        if (grouped.insert(std::string(extension)).second)
            AddExtension(heif, extension);
    }
    if (!heif.extensions.empty())
        decoders.push_back(std::move(heif));
    return decoders;
}

std::string BuildPictureExtensionList() {
    std::string list;
    for (const Decoder& decoder : InstalledDecoders()) {
        if (!list.empty())
            list.push_back(' ');
        list.append(decoder.description);
        for (std::size_t i = 0; i < decoder.extensions.size(); ++i) {
            list.append(i == 0 ? " *." : ";*.");
            list.append(UpperAscii(decoder.extensions[i]));
        }
    }
    return list;
}

} // namespace

const std::string& PictureExtensionList() {
    static const std::string list = BuildPictureExtensionList();
    return list;
}

bool IsPictureName(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == name.size())
        return false;
    return PictureExtensionList().find(UpperAscii(name.substr(dot))) != std::string::npos;
}

bool CanDecodePictureFormat(std::string_view format) {
    if (format.empty())
        return false;
    if (format == "svg" || format == "svgz")
        return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    return true;
}

} // namespace tvn
