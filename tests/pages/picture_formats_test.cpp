// The picture test of folder listings and the extension text it searches.
#include "pages/picture_formats.h"

#include <gtest/gtest.h>
#include <regex>

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

TEST(CanDecodePictureFormat, RefusesUnknownFormatsAndSvgWithoutGui) {
    EXPECT_TRUE(CanDecodePictureFormat("jpeg"));
    EXPECT_FALSE(CanDecodePictureFormat(""));
    EXPECT_FALSE(CanDecodePictureFormat("svg"));
    EXPECT_FALSE(CanDecodePictureFormat("svgz"));
}

} // namespace
} // namespace tvn
