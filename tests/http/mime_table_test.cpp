// Content types by extension: the system's mime.types first, then the built-in table.
#include "http/mime_table.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

class MimeTableTest : public ::testing::Test {
  protected:
    void TearDown() override { SetSystemMimeTypesFile("/etc/mime.types"); }
    test::TempDir temp;
};

TEST_F(MimeTableTest, SystemFileFirstThenTable) {
    test::WriteFile(temp / "mime.types", "# comment jpg\n"
                                         "\n"
                                         "image/x-system-jpeg\tjpg jfif\n"
                                         "text/x-upper  TXT2\n"
                                         "application/x-no-extensions\n");
    SetSystemMimeTypesFile(temp / "mime.types");
    struct Case {
        std::string ext;
        std::string type;
    };
    const Case cases[] = {
        {".jpg", "image/x-system-jpeg"},  // the system knows it
        {".JPG", "image/x-system-jpeg"},  // in any case
        {".jfif", "image/x-system-jpeg"}, // second extension on the line
        {".txt2", "text/x-upper"},        // extensions of the file are compared in any case
        {".jpeg", "image/jpeg"},          // the system file does not know it: the table
        {".comment", ""},                 // a comment line gives nothing
        {".EZ,", "application/andrew-inset"},
        {".ez", ""},
        {".", ""},
        {"", ""},
        {"noextension", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ext);
        EXPECT_EQ(ContentTypeForExtension(c.ext), c.type);
    }
}

TEST_F(MimeTableTest, TableAloneWhenTheSystemKnowsNothing) {
    SetSystemMimeTypesFile(temp / "missing.types");
    struct Case {
        std::string ext;
        std::string type;
    };
    const Case cases[] = {
        {".jpg", "image/jpg"},
        {".JPG", "image/jpg"},
        {".jpe", "image/jpeg"},
        {".exe", "application/x-msdownload"},
        {".Mp3", "audio/mpeg"},
        {".svgz", "image/svg-xml"},
        {".txt", "text/plain"},
        {".ez,", "application/andrew-inset"},
        {".ez", ""},
        {"jpg", ""}, // without its dot
        {".jpgx", ""},
        {".jp", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ext);
        EXPECT_EQ(ContentTypeForExtension(c.ext), c.type);
    }
}

// The system file is read again after it is pointed elsewhere.
TEST_F(MimeTableTest, SwitchingTheSystemFileTakesEffect) {
    test::WriteFile(temp / "a.types", "image/x-a jpg\n");
    test::WriteFile(temp / "b.types", "image/x-b jpg\n");
    SetSystemMimeTypesFile(temp / "a.types");
    EXPECT_EQ(ContentTypeForExtension(".jpg"), "image/x-a");
    SetSystemMimeTypesFile(temp / "b.types");
    EXPECT_EQ(ContentTypeForExtension(".jpg"), "image/x-b");
}

} // namespace
} // namespace tvn
