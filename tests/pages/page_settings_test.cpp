// The pages' own settings: the keys they read from TVN.cfg (and the defaults they write), and
// the link of the last commented post.
#include "config/settings_section.h"
#include "pages/page_settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

constexpr const char* kSection = "[SOFTWARE\\Tarvolin\\1.0]\n";
constexpr const char* kDefaultSound =
    "/usr/share/sounds/freedesktop/stereo/message-new-instant.oga";

// A missing or empty key gets its default written, a given one is kept; nothing is read
// before Load.
TEST(PageSettings, LoadReadsTheBlogSoundAndTheMapKey) {
    struct Case {
        const char* what;
        std::string before; // the section's lines
        std::string sound;
        std::string key;
        std::string after;
    };
    const Case cases[] = {
        {"new file", "", kDefaultSound, "",
         std::string("BlogSound=") + kDefaultSound + "\nGoogleApiKey=\n"},
        {"both given", "BlogSound=/x/ring.oga\nGoogleApiKey=AIza-1\n", "/x/ring.oga", "AIza-1",
         "BlogSound=/x/ring.oga\nGoogleApiKey=AIza-1\n"},
        {"empty sound", "GoogleApiKey=K\nBlogSound=\n", kDefaultSound, "K",
         std::string("GoogleApiKey=K\nBlogSound=") + kDefaultSound + "\n"},
        {"other keys only", "LogFileSize=3\n", kDefaultSound, "",
         std::string("LogFileSize=3\nBlogSound=") + kDefaultSound + "\nGoogleApiKey=\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir temp;
        ASSERT_TRUE(temp.Valid());
        const std::string file = temp / "TVN.cfg";
        if (!c.before.empty()) {
            ASSERT_TRUE(test::WriteFile(file, kSection + c.before));
        }
        SettingsSection::OverrideFilePath(file);
        CPageSettings pages;
        EXPECT_EQ(pages.BlogSound(), "");
        EXPECT_EQ(pages.GoogleApiKey(), "");
        pages.Load();
        SettingsSection::OverrideFilePath("");
        EXPECT_EQ(pages.BlogSound(), c.sound);
        EXPECT_EQ(pages.GoogleApiKey(), c.key);
        EXPECT_EQ(test::ReadFile(file), kSection + c.after);
    }
}

// The link names the post on the server's port until it is forgotten; a key set by hand
// is this run's only.
TEST(PageSettings, LastPostLinkAndTheKeptKey) {
    CPageSettings pages;
    EXPECT_EQ(pages.LastPostLink(8080), "");
    pages.SetLastPost("/Blog/My Post.txt");
    EXPECT_EQ(pages.LastPostLink(8080), "localhost:8080/Blog/My Post.txt");
    EXPECT_EQ(pages.LastPostLink(80), "localhost:80/Blog/My Post.txt");
    pages.ClearLastPost();
    EXPECT_EQ(pages.LastPostLink(8080), "");
    EXPECT_EQ(pages.GpsSource(), nullptr);
    pages.SetGoogleApiKey("AIza-2");
    EXPECT_EQ(pages.GoogleApiKey(), "AIza-2");
}

} // namespace
} // namespace tvn
