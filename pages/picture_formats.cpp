#include "pages/picture_formats.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
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

// What Qt Gui's image readers say of themselves, learnt without loading Qt Gui or a plugin:
// the readers built into Qt Gui, then those of the image-format plugins from the metadata
// their files carry. This is what QImageReader lists (its supportedImageFormats,
// supportedMimeTypes and imageFormatsForMimeType), which the server itself never calls: that
// would map Qt Gui and every plugin with its libraries into the process for a listing.
struct ReaderFormat {
    std::string format; // lower case: "jpeg"
    std::string mime;   // "image/jpeg", or empty
};

class CReaderFormats {
  public:
    CReaderFormats();
    // The formats in Qt's order: sorted, each once.
    std::vector<std::string> Formats() const;
    // The MIME types, sorted, each once.
    std::vector<std::string> MimeTypes() const;
    // The formats of `mime`, in the order of the readers.
    std::vector<std::string> FormatsOf(const std::string& mime) const;

  private:
    void AddPlugin(const QString& file);
    std::vector<ReaderFormat> formats;
};

CReaderFormats::CReaderFormats() {
    // Qt Gui's own readers.
    formats = {{"png", "image/png"},
               {"bmp", "image/bmp"},
               {"ppm", "image/x-portable-pixmap"},
               {"pgm", "image/x-portable-graymap"},
               {"pbm", "image/x-portable-bitmap"},
               {"xbm", "image/x-xbitmap"},
               {"xpm", "image/x-xpixmap"}};
    for (const QString& folder : QCoreApplication::libraryPaths()) {
        const QDir plugins(folder + QStringLiteral("/imageformats"));
        for (const QString& name : plugins.entryList(QDir::Files, QDir::Name))
            AddPlugin(plugins.filePath(name));
    }
}

void CReaderFormats::AddPlugin(const QString& file) {
    if (!QLibrary::isLibrary(file))
        return;
    // Read from the file's metadata section: the library is not loaded.
    const QJsonObject meta = QPluginLoader(file).metaData();
    if (meta.value(QStringLiteral("IID")).toString() !=
        QStringLiteral("org.qt-project.Qt.QImageIOHandlerFactoryInterface"))
        return;
    const QJsonObject data = meta.value(QStringLiteral("MetaData")).toObject();
    const QJsonArray keys = data.value(QStringLiteral("Keys")).toArray();
    const QJsonArray mimes = data.value(QStringLiteral("MimeTypes")).toArray();
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const std::string key = keys.at(i).toString().toLower().toStdString();
        if (!key.empty())
            formats.push_back({key, mimes.at(i).toString().toStdString()});
    }
}

std::vector<std::string> SortedOnce(std::vector<std::string> values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

std::vector<std::string> CReaderFormats::Formats() const {
    std::vector<std::string> names;
    for (const ReaderFormat& reader : formats)
        names.push_back(reader.format);
    return SortedOnce(std::move(names));
}

std::vector<std::string> CReaderFormats::MimeTypes() const {
    std::vector<std::string> names;
    for (const ReaderFormat& reader : formats) {
        if (!reader.mime.empty())
            names.push_back(reader.mime);
    }
    return SortedOnce(std::move(names));
}

std::vector<std::string> CReaderFormats::FormatsOf(const std::string& mime) const {
    std::vector<std::string> names;
    for (const ReaderFormat& reader : formats) {
        if (reader.mime == mime &&
            std::find(names.begin(), names.end(), reader.format) == names.end())
            names.push_back(reader.format);
    }
    return names;
}

// Qt names one format per extension and groups them by MIME type ("jpg" and "jpeg" are both
// image/jpeg); one group becomes one decoder, described by its longest format name.
std::vector<Decoder> InstalledDecoders() {
    std::vector<Decoder> decoders;
    std::set<std::string> grouped;
    const auto addGroup = [&](const std::vector<std::string>& formats) {
        Decoder decoder;
        for (const std::string& name : formats) {
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
    const CReaderFormats readers;
    for (const std::string& mime : readers.MimeTypes())
        addGroup(readers.FormatsOf(mime));
    // A format that no MIME type names still reads pictures: it gets a decoder of its own.
    for (const std::string& format : readers.Formats())
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
        return QCoreApplication::instance() &&
               QCoreApplication::instance()->inherits("QGuiApplication");
    return true;
}

} // namespace tvn
