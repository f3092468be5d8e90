// The picture test of folder listings and the extension text it searches.
#include "pages/picture_formats.h"

#include <QImageReader>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace tvn {
namespace {

TEST(IsPictureName, FindsTheExtensionAnywhereInTheDecoderText) {
    struct Case {
        std::string_view name;
        bool picture;
    };
    // ".JP" is a picture because ".JPG" occurs; ".jpg" counts too (listings hide dot-names
    // before they ask); a bare dot is no extension; SVG needs fonts, which a process without
    // a QGuiApplication lacks, so it is no picture here.
    const Case cases[] = {
        {"a.JPG", true},      {"b.jpeg", true},       {"c.JP", true},      {"scan.jpe", true},
        {"old.jfif", true},   {"page.tif", true},     {"page.TIFF", true}, {"logo.png", true},
        {"anim.gif", true},   {"icon.bmp", true},     {"x.y.Png", true},   {".jpg", true},
        {"d.txt", false},     {"noext", false},       {"e.", false},       {".hidden", false},
        {"a.jpg.txt", false}, {"drawing.svg", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_EQ(IsPictureName(c.name), c.picture);
    }
}

TEST(PictureExtensionList, IsDescriptionsFollowedByUpperCasePatterns) {
    const std::string& list = PictureExtensionList();
    // "JPEG *.JPG;*.JPEG;*.JPE;*.JFIF PNG *.PNG ...": no dot outside a pattern, so that no
    // description can pass for an extension.
    const std::regex shape(
        R"(([A-Z0-9+-]+ \*\.[A-Z0-9]+(;\*\.[A-Z0-9]+)*)( [A-Z0-9+-]+ \*\.[A-Z0-9]+(;\*\.[A-Z0-9]+)*)*)");
    EXPECT_TRUE(std::regex_match(list, shape)) << list;
    for (const char* pattern : {"*.JPG", "*.JPEG", "*.JPE", "*.JFIF", "*.TIF", "*.TIFF", "*.PNG"}) {
        SCOPED_TRACE(pattern);
        const std::regex item(std::string("(^|[ ;])\\") + pattern + "($|[ ;])");
        EXPECT_TRUE(std::regex_search(list, item)) << list;
    }
}

// The listing learns the readers from the plugins' metadata, without loading Qt Gui; here Qt
// Gui itself says what it reads. Each format it reads is one pattern of the text, and the
// formats of one MIME type stand in one decoder's patterns.
TEST(PictureExtensionList, NamesWhatQtsReadersRead) {
    std::map<std::string, std::size_t> groupOf; // "JPG" -> the decoder it stands in
    std::istringstream items(PictureExtensionList());
    std::string item;
    for (std::size_t group = 0; items >> item;) {
        if (!item.starts_with("*.")) {
            ++group;
            continue;
        }
        std::istringstream patterns(item);
        for (std::string pattern; std::getline(patterns, pattern, ';');)
            groupOf[pattern.substr(2)] = group;
    }
    const auto upper = [](const QByteArray& format) { return format.toUpper().toStdString(); };
    std::set<std::string> read;
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        if (!CanDecodePictureFormat(format.toLower().toStdString()))
            continue;
        read.insert(upper(format));
        EXPECT_TRUE(groupOf.contains(upper(format))) << format.constData();
    }
    // Besides Qt's formats only the usual other extensions and libheif's formats.
    const std::set<std::string> others = {"JPG", "JPE",  "JFIF", "TIF",
                                          "DIB", "HEIC", "HEIF", "AVIF"};
    for (const auto& [pattern, group] : groupOf)
        EXPECT_TRUE(read.contains(pattern) || others.contains(pattern)) << pattern;
    for (const QByteArray& mime : QImageReader::supportedMimeTypes()) {
        std::set<std::size_t> groups;
        for (const QByteArray& format : QImageReader::imageFormatsForMimeType(mime)) {
            if (groupOf.contains(upper(format)) && read.contains(upper(format)))
                groups.insert(groupOf[upper(format)]);
        }
        EXPECT_LE(groups.size(), 1u) << mime.constData();
    }
}

TEST(CanDecodePictureFormat, RefusesUnknownFormatsAndSvgWithoutGui) {
    EXPECT_TRUE(CanDecodePictureFormat("jpeg"));
    EXPECT_FALSE(CanDecodePictureFormat(""));
    EXPECT_FALSE(CanDecodePictureFormat("svg"));
    EXPECT_FALSE(CanDecodePictureFormat("svgz"));
}

} // namespace
} // namespace tvn
