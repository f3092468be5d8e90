// The walk that decides what a folder's archive holds, the query word that asks for it and
// the download's name.
#include "pages/folder_zip.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class ZipWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        share = temp / "share";
        Write("share/Album/a.jpg", "jpeg");
        Write("share/Album/default-cover.jpg", "a listing leaves it out, a request gets it");
        Write("share/Album/Größe.txt", "utf-8");
        Write("share/Album/.hidden.txt", "dot-file");
        Write("share/Album/.dotdir/x.txt", "below a dot-folder");
        Write("share/Album/Private/.pass", "anna,pw\n");
        Write("share/Album/Private/secret.txt", "protected");
        Write("share/Album/Open/inner.txt", "open");
        Write("share/Album/Open/Locked/.pass", "anna,pw\n");
        Write("share/Album/Open/Locked/deep.txt", "protected below");
        Write("share/Album/cfg/TVN.cfg", "[settings]");
        Write("share/Album/back\\slash.txt", "a separator to some");
        Write("share/Album/bell\x07.txt", "a control byte");
        ASSERT_EQ(::mkfifo((share + "/Album/pipe").c_str(), 0600), 0);
        Write("share/Other/o.txt", "other");
        Write("share/.secret/s.txt", "hidden folder");
        Write("outside/out.txt", "not shared");
    }

    void Write(const std::string& relative, const std::string& bytes) {
        const fs::path path = temp / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    void Link(const std::string& target, const std::string& relative) {
        fs::create_symlink(target, temp / relative);
    }

    Names Walk(const std::string& folder, const std::string& credentials = "", bool mayRead = true,
               bool* within = nullptr) {
        const ZipWalkRules rules{share, share + "/Album/cfg",
                                 CFolderAdmission(credentials, mayRead)};
        std::vector<ZipMember> members;
        const bool whole = CollectZipMembers(temp / folder, rules, members);
        if (within)
            *within = whole;
        Names names;
        for (const ZipMember& member : members)
            names.push_back(member.name);
        return names;
    }

    test::TempDir temp;
    std::string share;
};

TEST_F(ZipWalk, LeavesOutWhatAListingHides) {
    const Names open{"Größe.txt", "Open/", "Open/inner.txt", "a.jpg", "default-cover.jpg"};
    const Names all{"Größe.txt",        "Open/",    "Open/Locked/",       "Open/Locked/deep.txt",
                    "Open/inner.txt",   "Private/", "Private/secret.txt", "a.jpg",
                    "default-cover.jpg"};
    struct Case {
        const char* label;
        std::string credentials;
        bool mayRead;
        Names names;
    };
    const Case cases[] = {
        {"no credentials", "", true, open},
        {"wrong password", "anna,nope", true, open},
        {"the password of both folders", "anna,pw", true, all},
        // A visitor who would be sent to HTTPS for a password has none looked at.
        {"the password where it may not be read", "anna,pw", false, open},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        bool within = false;
        EXPECT_EQ(Walk("share/Album/", c.credentials, c.mayRead, &within), c.names);
        EXPECT_TRUE(within);
    }
}

TEST_F(ZipWalk, FollowsLinksThatStayInside) {
    struct Case {
        const char* label;
        std::string target; // relative to share/Album, or absolute
        bool followed;
    };
    const Case cases[] = {
        {"folder in the share", "../Other", true},
        {"file in the share", "../Other/o.txt", true},
        {"folder outside the share", temp / "outside", false},
        {"file outside the share", temp / "outside/out.txt", false},
        {"the folder itself", ".", false},
        {"a folder around it", "..", false},
        {"a hidden folder", "../.secret", false},
        {"into a hidden folder", "../.secret/s.txt", false},
        {"the settings folder", "cfg", false},
        {"a file in a protected folder", "Private/secret.txt", false},
        {"nothing", "missing", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string link = "share/Album/zlink";
        Link(c.target, link);
        const Names names = Walk("share/Album/");
        fs::remove(temp / link);
        const bool listed = std::find(names.begin(), names.end(), "zlink") != names.end() ||
                            std::find(names.begin(), names.end(), "zlink/") != names.end();
        EXPECT_EQ(listed, c.followed);
        EXPECT_EQ(names.back().starts_with("zlink/"), c.followed && c.target == "../Other");
    }
}

// A folder reached through a link that leaves the share (how other folders are shared) is
// zipped with what lies inside it.
TEST_F(ZipWalk, FolderReachedThroughALinkKeepsWhatLiesInsideIt) {
    Write("outside/sub/inner.txt", "inside the linked folder");
    Write("elsewhere/e.txt", "neither");
    Link(temp / "outside", "share/Ext");
    Link("sub", "outside/toSub");
    Link(share + "/Other", "outside/toShare");
    Link(temp / "elsewhere", "outside/toElsewhere");
    EXPECT_EQ(Walk("share/Ext/"), (Names{"out.txt", "sub/", "sub/inner.txt", "toShare/",
                                         "toShare/o.txt", "toSub/", "toSub/inner.txt"}));
}

TEST_F(ZipWalk, TooDeepATreeIsRefused) {
    std::string deep = "share/Deep";
    for (int i = 0; i <= kMaxZipDepth; ++i)
        deep += "/d";
    Write(deep + "/bottom.txt", "deep");
    bool within = true;
    Walk("share/Deep/", "", true, &within);
    EXPECT_FALSE(within);
    fs::remove_all(temp / deep);
    Walk("share/Deep/", "", true, &within);
    EXPECT_TRUE(within);
}

TEST(AsksForZip, QueryWords) {
    struct Case {
        std::string query;
        bool zip;
    };
    const Case cases[] = {
        {"zip", true},     {"a=b&zip", true}, {"zip&a=b", true}, {"", false},     {"zip=1", false},
        {"zipper", false}, {"unzip", false},  {"a=zip", false},  {"&zip&", true}, {"ZIP", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        CRequest request;
        request.query = c.query;
        EXPECT_EQ(AsksForZip(request), c.zip);
    }
}

TEST(AttachmentDisposition, PlainNameForOldClientsAndUtf8ForTheOthers) {
    struct Case {
        std::string name;
        std::string value;
    };
    const Case cases[] = {
        {"Album.zip", "attachment; filename=\"Album.zip\"; filename*=UTF-8''Album.zip"},
        {"My Photos.zip",
         "attachment; filename=\"My Photos.zip\"; filename*=UTF-8''My%20Photos.zip"},
        {"Größe.zip", "attachment; filename=\"Gr__e.zip\"; filename*=UTF-8''Gr%C3%B6%C3%9Fe.zip"},
        // Nothing of a name can end the quoted string or the header.
        {"a\"b\\c%d;e.zip",
         "attachment; filename=\"a_b_c_d;e.zip\"; filename*=UTF-8''a%22b%5Cc%25d%3Be.zip"},
        {"line\r\nSet-Cookie: x.zip", "attachment; filename=\"line__Set-Cookie: x.zip\"; "
                                      "filename*=UTF-8''line%0D%0ASet-Cookie%3A%20x.zip"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AttachmentDisposition(c.name), c.value);
    }
}

} // namespace
} // namespace tvn
