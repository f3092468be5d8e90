// The walk below a folder for a search: which names it finds, which folders it never enters,
// and where its bounds end it.
#include "pages/folder_search.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;

TEST(SearchWords, SplitFoldedOnce) {
    struct Case {
        std::string_view text;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"sea", {"sea"}},
        {"  Sea   Shore ", {"sea", "shore"}},
        {"SEA sea Sea", {"sea"}},           // one word, however it is written
        {"\xC3\x84rger", {"\xC3\xA4rger"}}, // "Ärger" folds to "ärger"
        {"\xCE\xA3\xCE\x9F\xCE\xA6", {"\xCF\x83\xCE\xBF\xCF\x86"}}, // Greek capitals
        {"../ <b>", {"../", "<b>"}},                                // kept as text, nothing more
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(SearchWords(c.text), c.words);
    }
}

TEST(SearchWords, NameHoldsEveryWord) {
    struct Case {
        std::string_view name;
        std::string_view words;
        bool holds;
    };
    const Case cases[] = {
        {"Urlaub-\xC3\x84rger.JPG", "\xC3\xA4rger jpg", true},
        {"urlaub-\xC3\xA4rger.jpg", "\xC3\x84RGER", true},
        {"\xC3\x84rger.txt", "arger", false}, // folding is no accent stripping
        {"sea.jpg", "sea shore", false},      // every word, not any
        {"Shore by the SEA.png", "sea shore", true},
        {"a.txt", "../", false},
        {"bad \xFF name.txt", "name", true}, // a name that is no UTF-8 is still looked at
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + std::string(c.words));
        EXPECT_EQ(NameHoldsWords(c.name, SearchWords(c.words)), c.holds);
    }
}

class SearchWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        share = temp / "share";
        fs::create_directories(share);
        plan.folder = share + "/";
        plan.shareRoot = share;
    }

    void Put(const std::string& relative, std::string_view bytes = "x") {
        ASSERT_TRUE(test::WriteFile(share + "/" + relative, bytes)) << relative;
    }
    void Link(const std::string& target, const std::string& relative) {
        fs::create_directories(fs::path(share + "/" + relative).parent_path());
        fs::create_symlink(target, share + "/" + relative);
    }

    // The links of every hit, folders first, then files, then pictures.
    std::vector<std::string> Found(std::string_view words, SearchEnd* end = nullptr) {
        plan.words = SearchWords(words);
        FolderScan scan;
        const SearchEnd ended = SearchBelow(plan, scan);
        if (end)
            *end = ended;
        std::vector<std::string> links;
        for (const auto* list :
             {&scan.entries.folders, &scan.entries.files, &scan.entries.pictures}) {
            for (const ListingEntry& entry : *list)
                links.push_back(entry.link);
        }
        EXPECT_EQ(scan.pictures.size(), scan.entries.pictures.size());
        return links;
    }

    test::TempDir temp;
    std::string share;
    SearchPlan plan;
};

using Links = std::vector<std::string>;

// Case differences in UTF-8 names, every depth, and the order of the paths.
TEST_F(SearchWalk, FindsNamesWithTheWordsAtEveryDepth) {
    Put("Photos/\xC3\x84rger.jpg");
    Put("Photos/\xC3\xA4rger notes.txt");
    Put("Open/Deep/Down/\xC3\x84RGER.TXT");
    Put("Open/calm.txt");
    fs::create_directories(share + "/Open/\xC3\xA4rger folder");
    EXPECT_EQ(Found("\xC3\xA4rger"),
              (Links{"Open/\xC3\xA4rger folder", "Open/Deep/Down/\xC3\x84RGER.TXT",
                     "Photos/\xC3\xA4rger notes.txt", "Photos/\xC3\x84rger.jpg"}));
    EXPECT_EQ(Found("NOTES \xC3\x84rger"), Links{"Photos/\xC3\xA4rger notes.txt"});
    EXPECT_EQ(Found("nothing-like-it"), Links{});
}

// What a listing hides, a search does not show either, nor anything below it.
TEST_F(SearchWalk, LeavesOutWhatListingsHide) {
    Put("a/sea.txt");
    Put("a/.sea.txt");
    Put("a/.hidden/sea.txt");
    Put("a/index-sea.html");
    Put("a/Default sea.htm");
    Put("b/.upload-parts/sea.part");
    fs::create_directories(share + "/.sea-folder");
    Link("sea.txt", "a/sea-link.txt");
    Link(".sea.txt", "a/visible-sea.txt"); // a link to a hidden file is hidden
    Put("a/.hidden/inner/sea-inner.txt");
    Link(".hidden/inner", "a/sea-door"); // and one into a hidden folder
    EXPECT_EQ(Found("sea"), (Links{"a/sea-link.txt", "a/sea.txt"}));
}

// A folder with a ".pass" is entered only with a line of it; a link into it stays guarded.
TEST_F(SearchWalk, ProtectedFoldersNeedTheirPassword) {
    Put("Locked/.pass", "guest,secret\n");
    Put("Locked/sea.txt");
    Put("Locked/Inner/sea-deep.txt");
    fs::create_directories(share + "/Locked sea");
    Put("Locked sea/.pass", "guest,secret\n");
    Put("Odd/sea.txt");
    fs::create_directories(share + "/Odd/.pass"); // a list that cannot be read fails closed
    Put("Open/sea-open.txt");
    Link("../Locked/sea.txt", "Open/sea-peek.txt");
    const Links open{"Open/sea-open.txt"};
    for (const std::optional<std::string>& line :
         {std::optional<std::string>(), std::optional<std::string>(","),
          std::optional<std::string>("guest,wrong")}) {
        SCOPED_TRACE(line.value_or("(no password may be looked at)"));
        plan.passLine = line;
        EXPECT_EQ(Found("sea"), open);
    }
    plan.passLine = "guest,secret";
    EXPECT_EQ(Found("sea"), (Links{"Locked sea", "Locked/Inner/sea-deep.txt", "Locked/sea.txt",
                                   "Open/sea-open.txt", "Open/sea-peek.txt"}));
}

// Links that lead back up are walked once; a link out of the share is listed but not entered.
TEST_F(SearchWalk, LinkLoopsAndLinksOutOfTheShare) {
    Put("Open/sea.txt");
    Link("..", "Open/up");
    Link(share, "Open/again");
    Link("../Open", "Open/Sub/back");
    Link("self-loop", "self-loop"); // resolves nowhere
    ASSERT_TRUE(test::WriteFile(temp / "outside/sea-secret.txt", "x"));
    Link(temp / "outside", "sea-outside");
    Link(temp / "outside/sea-secret.txt", "Open/sea-out.txt");
    SearchEnd end = SearchEnd::kTimeBound;
    EXPECT_EQ(Found("sea", &end), (Links{"sea-outside", "Open/sea-out.txt", "Open/sea.txt"}));
    EXPECT_EQ(end, SearchEnd::kComplete);
}

// The settings folder inside the share is never looked into.
TEST_F(SearchWalk, SettingsFolderIsNotEntered) {
    Put("config/sea.cfg");
    Put("other/sea.txt");
    Link("../config", "other/sea-config");
    plan.settingsFolder = share + "/config";
    EXPECT_EQ(Found("sea"), Links{"other/sea.txt"});
}

// Each bound ends the walk and says so; a walk that fits its bounds says it is complete.
TEST_F(SearchWalk, BoundsCutItShort) {
    for (int i = 0; i < 5; ++i)
        Put("f/sea" + std::to_string(i) + ".txt");
    Put("1/2/3/sea-deep.txt");
    SearchEnd end{};
    struct Case {
        const char* what;
        SearchBounds bounds;
        SearchEnd end;
        std::size_t found; // at most, for the bounds that stop in the middle of a folder
    };
    const Case cases[] = {
        {"all fit", {6, 100, std::chrono::milliseconds(60000), 8}, SearchEnd::kComplete, 6},
        {"hits", {3, 100, std::chrono::milliseconds(60000), 8}, SearchEnd::kHitBound, 3},
        {"visited", {100, 4, std::chrono::milliseconds(60000), 8}, SearchEnd::kVisitBound, 3},
        {"depth", {100, 100, std::chrono::milliseconds(60000), 2}, SearchEnd::kDepthBound, 5},
        // One tick a reading of the clock: the walk has five milliseconds.
        {"time", {100, 100, std::chrono::milliseconds(5), 8}, SearchEnd::kTimeBound, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        plan.bounds = c.bounds;
        auto clock = std::make_shared<std::chrono::steady_clock::time_point>();
        plan.now = [clock] { return *clock += std::chrono::milliseconds(1); };
        const Links found = Found("sea", &end);
        EXPECT_EQ(end, c.end);
        if (c.end == SearchEnd::kComplete || c.end == SearchEnd::kHitBound ||
            c.end == SearchEnd::kDepthBound)
            EXPECT_EQ(found.size(), c.found);
        else
            EXPECT_LE(found.size(), c.found);
        EXPECT_EQ(std::count(found.begin(), found.end(), "1/2/3/sea-deep.txt"),
                  c.end == SearchEnd::kComplete ? 1 : 0);
    }
}

// A folder that is gone or no folder finds nothing and ends.
TEST_F(SearchWalk, MissingFolderFindsNothing) {
    Put("file.txt");
    for (const std::string& folder : {share + "/gone/", share + "/file.txt/"}) {
        SCOPED_TRACE(folder);
        plan.folder = folder;
        SearchEnd end{};
        EXPECT_EQ(Found("file", &end), Links{});
        EXPECT_EQ(end, SearchEnd::kComplete);
    }
}

} // namespace
} // namespace tvn
