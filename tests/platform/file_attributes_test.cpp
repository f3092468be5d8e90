// File attributes and symbolic links standing in for shortcut files.
#include "platform/file_attributes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

class FileAttributesTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(temp.Valid()); }
    void Link(const std::string& target, const std::string& relative) {
        ASSERT_EQ(::symlink(target.c_str(), (temp / relative).c_str()), 0) << relative;
    }
    test::TempDir temp;
};

TEST_F(FileAttributesTest, Attributes) {
    test::WriteFile(temp / "file.txt", "x");
    test::WriteFile(temp / ".hidden", "x");
    test::WriteFile(temp / "dir/inner.txt", "x");
    test::WriteFile(temp / ".hdir/inner.txt", "x");
    Link("dir", "dirlink");
    Link(".hidden", "visible-link-to-hidden");
    Link("missing", "dangling");
    struct Case {
        std::string relative;
        int attributes;
    };
    const Case cases[] = {
        {"file.txt", 0},
        {".hidden", kAttributeHidden},
        {"dir", kAttributeDirectory},
        {"dir/", kAttributeDirectory},
        {".hdir", kAttributeDirectory | kAttributeHidden},
        {".hdir/", kAttributeDirectory | kAttributeHidden}, // trailing '/' skipped
        {".hdir/inner.txt", 0},                             // only the last component
        {"dirlink", kAttributeDirectory},                   // links are followed
        {"visible-link-to-hidden", 0},                      // the name is what counts
        {"dangling", kInvalidAttributes},
        {"missing", kInvalidAttributes},
        {"file.txt/x", kInvalidAttributes},
        // A folder named by its place has that folder's attributes: "dir/." was taken for
        // a dot-file because its last component begins with '.'.
        {"dir/.", kAttributeDirectory},
        {"dir/./", kAttributeDirectory},
        {"dir/..", kAttributeDirectory},
        {".hdir/.", kAttributeDirectory | kAttributeHidden},
        {".hdir/./.", kAttributeDirectory | kAttributeHidden},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.relative);
        EXPECT_EQ(GetFileAttributes(temp / c.relative), c.attributes);
    }
    EXPECT_EQ(GetFileAttributes(""), kInvalidAttributes);
}

TEST_F(FileAttributesTest, ResolveShortcuts) {
    const std::string t = temp.Path();
    test::WriteFile(temp / "real/file.txt", "x");
    test::WriteFile(temp / "other/sub/g.txt", "x");
    Link(t + "/real", "abs");    // absolute target
    Link("real", "rel");         // relative to the link's folder
    Link("../real", "other/up"); // relative with ".."
    Link("rel", "chain");        // a link to a link
    Link(t + "/other", "otherlink");
    Link("loop-b", "loop-a");
    Link("loop-a", "loop-b");
    Link(t + "/real/", "slashed"); // a target written with a trailing '/'
    Link("nowhere", "dangling");
    struct Case {
        std::string path;
        std::string resolved;
    };
    const Case cases[] = {
        {t + "/real/file.txt", t + "/real/file.txt"}, // no link: unchanged
        {t + "/abs/file.txt", t + "/real/file.txt"},
        {t + "/rel/file.txt", t + "/real/file.txt"},
        {t + "/other/up/file.txt", t + "/other/../real/file.txt"},
        {t + "/chain/file.txt", t + "/real/file.txt"},
        {t + "/otherlink/up/file.txt", t + "/other/../real/file.txt"}, // links further in
        {t + "/abs", t + "/real"},
        {t + "/abs/", t + "/real/"},
        {t + "/slashed", t + "/real"}, // the link's own slash does not count
        {t + "/slashed/", t + "/real/"},
        {t + "/slashed/file.txt", t + "/real/file.txt"},
        {t + "/loop-a/file.txt", t + "/loop-a/file.txt"}, // a loop: unchanged
        {t + "/dangling", t + "/nowhere"},
        {t + "/missing/abs", t + "/missing/abs"}, // below a missing component
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ResolveShortcuts(c.path), c.resolved);
    }
}

// Links inside the trusted beginning of a path are left to the kernel; links behind it
// are still resolved, those of a target too.
TEST_F(FileAttributesTest, TrustedPrefix) {
    const std::string t = temp.Path();
    test::WriteFile(temp / "real/file.txt", "x");
    test::WriteFile(temp / "elsewhere/f.txt", "x");
    Link(t + "/real", "rootlink");
    Link(t + "/elsewhere", "real/out");
    const std::string root = t + "/rootlink";
    EXPECT_EQ(ResolveShortcuts(root + "/file.txt", root.size()), root + "/file.txt");
    EXPECT_EQ(ResolveShortcuts(root + "/out/f.txt", root.size()), t + "/elsewhere/f.txt");
    EXPECT_EQ(ResolveShortcuts(root + "/file.txt", 10000), t + "/real/file.txt");
}

// At most 40 replacements: a chain of 40 links resolves, one of 41 is left unchanged.
TEST_F(FileAttributesTest, ChainLimit) {
    test::WriteFile(temp / "end.txt", "x");
    for (int length : {40, 41}) {
        SCOPED_TRACE(length);
        const std::string prefix = "c" + std::to_string(length) + "-";
        for (int i = 0; i < length; ++i) {
            const std::string target =
                i + 1 < length ? prefix + std::to_string(i + 1) : std::string("end.txt");
            Link(target, prefix + std::to_string(i));
        }
        const std::string start = temp / (prefix + "0");
        EXPECT_EQ(ResolveShortcuts(start), length == 40 ? temp / "end.txt" : start);
    }
}

} // namespace
} // namespace tvn
