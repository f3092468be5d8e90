// Paths stored in the settings in a form that survives another computer or drive letter.
#include "config/stored_path.h"
#include "platform/system_paths.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

// A home folder of our own whose documents folder (as the desktop's user-dirs file names
// it) is <home>/Dokumente.
class StoredPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        home = temp / "Home";
        test::WriteFile(
            temp / "config/user-dirs.dirs",
            "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
        env.Set("HOME", home);
        env.Set("XDG_CONFIG_HOME", temp / "config");
        env.Unset("U3_DEVICE_EXEC_PATH");
        documents = home + "/Dokumente";
        ASSERT_EQ(DocumentsFolder(), documents) << "the documents folder is found elsewhere";
    }
    test::TempDir temp;
    test::EnvGuard env;
    std::string home;
    std::string documents;
};

TEST_F(StoredPathTest, DocumentsFolderWithoutUserDirs) {
    std::filesystem::remove(temp / "config/user-dirs.dirs");
    EXPECT_EQ(DocumentsFolder(), home + "/Documents");
}

TEST_F(StoredPathTest, Personal) {
    struct Case {
        std::string path;
        std::string stored;
        std::string back; // FromStoredPath(stored)
    };
    const std::string upper = temp / "HOME/DOKUMENTE";
    const Case cases[] = {
        {documents + "/Site", "Personal:/Site", documents + "/Site"},
        {documents + "/Site/Sub Folder", "Personal:/Site/Sub Folder",
         documents + "/Site/Sub Folder"},
        // The comparison ignores case; the rest keeps the case it was given in.
        {upper + "/Site", "Personal:/Site", documents + "/Site"},
        {temp.Path() + "/Home/dokumente/MixedCase", "Personal:/MixedCase",
         documents + "/MixedCase"},
        {documents, "Personal:", documents},
        {temp / "Elsewhere/Site", temp / "Elsewhere/Site", temp / "Elsewhere/Site"},
        {home, home, home}, // above the documents folder
        {"relative/Site", "relative/Site", "relative/Site"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ToStoredPath(c.path), c.stored);
        EXPECT_EQ(FromStoredPath(c.stored), c.back);
    }
}

TEST_F(StoredPathTest, StoredFormsFromAnotherComputer) {
    struct Case {
        std::string stored;
        std::string path;
    };
    const Case cases[] = {
        {"Personal:/Site", documents + "/Site"},
        {"Personal:", documents},
        {"personal:/Site", "personal:/Site"}, // the prefixes are exact
        {"/plain/path", "/plain/path"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(FromStoredPath(c.stored), c.path);
    }
}

// A program on a fixed disk stores nothing as "Portable:", even for its own folder.
TEST_F(StoredPathTest, FixedDiskIsNotPortable) {
    const std::string path = temp / "Share";
    if (IsPortableMount(path))
        GTEST_SKIP() << "the temporary folder lies on a removable or network mount";
    env.Set("U3_DEVICE_EXEC_PATH", temp.Path());
    EXPECT_EQ(ToStoredPath(path), path);
}

TEST(PackVersion, Table) {
    struct Case {
        std::string dotted;
        int packed;
    };
    const Case cases[] = {
        {"3.1.2.47", 50397743},
        {"1.256.257.258", ((1 * 256 + 0) * 256 + 1) * 256 + 2}, // b, c, d modulo 256
        {"0.0.0.1", 1},
        {"1.2", (1 * 256 + 2) * 65536},
        {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dotted);
        EXPECT_EQ(PackVersion(c.dotted), c.packed);
    }
    EXPECT_EQ(PackVersion(kProgramVersion), 50397743);
}

} // namespace
} // namespace tvn
