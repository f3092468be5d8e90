// The access log file: appended to as it is, cut from the front once over its limit.
#include "platform/trimmed_log.h"
#include "support/temp_dir.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>

namespace tvn {
namespace {

// Lines of `width` bytes (LF included) up to `size` bytes; the last one may be shorter.
std::string Lines(std::size_t size, std::size_t width) {
    std::string text;
    text.reserve(size);
    std::size_t number = 0;
    while (text.size() < size) {
        std::string line = "line " + std::to_string(number++) + " ";
        line.resize(width - 1, '.');
        line.push_back('\n');
        text += line;
    }
    text.resize(size);
    return text;
}

TEST(TrimmedLog, AppendsBytesAsTheyAre) {
    test::TempDir temp;
    TrimmedLog log;
    log.Append(temp / "a.log", 1, "\nGET /x 1.2.3.4:5");
    log.Append(temp / "a.log", 1, std::string("\nbin\0ary", 8));
    EXPECT_EQ(test::ReadFile(temp / "a.log"), std::string("\nGET /x 1.2.3.4:5\nbin\0ary", 25));
}

// An existing log is kept and appended to, not replaced.
TEST(TrimmedLog, KeepsAnExistingFile) {
    test::TempDir temp;
    test::WriteFile(temp / "a.log", "old");
    TrimmedLog log;
    log.Append(temp / "a.log", 1, "new");
    EXPECT_EQ(test::ReadFile(temp / "a.log"), "oldnew");
}

// A full disk took only the head of an entry ("\nGET /x 127.0.0.1:4" of a port 45678), and
// the next entry, once there was room again, began behind it: one cut line in the log. A
// file size limit makes the same short write without filling a disk.
TEST(TrimmedLog, FullDiskLeavesNoCutEntry) {
    test::TempDir temp;
    TrimmedLog log;
    const std::string first = "\nGET /first 127.0.0.1:45678";
    log.Append(temp / "a.log", 1, first);
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN); // a write at the limit fails instead
    rlimit tight = before;
    tight.rlim_cur = first.size() + 10; // room for ten bytes of the next entry
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    log.Append(temp / "a.log", 1, "\nGET /second 127.0.0.1:45679");
    log.Append(temp / "a.log", 1, "\nGET /third 127.0.0.1:45680");
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    log.Append(temp / "a.log", 1, "\nGET /fourth 127.0.0.1:45681");
    EXPECT_EQ(test::ReadFile(temp / "a.log"), first + "\nGET /fourth 127.0.0.1:45681");
}

TEST(TrimmedLog, CutAtTheNextLineStart) {
    // With limit 1 (1,000,000 bytes), a log that reaches 1,000,050 bytes is cut at offset
    // 100,050 moved on behind the next LF.
    struct Case {
        std::string name;
        std::string before; // the file before the append
        std::string append;
    };
    const std::string lines = Lines(999950, 100);
    std::string noLf(999950, 'x');
    std::string lfAtCut = noLf;
    lfAtCut[100050] = '\n';
    std::string lfBeforeCut = noLf;
    lfBeforeCut[100049] = '\n';
    std::string zeroAfterCut = noLf;
    zeroAfterCut[100060] = '\0';
    zeroAfterCut[100070] = '\n';
    const Case cases[] = {
        {"lines of 100 bytes", lines, std::string(99, 'y') + "\n"},
        {"no LF after the cut", noLf, std::string(100, 'y')},
        {"LF right at the cut", lfAtCut, std::string(100, 'y')},
        {"LF just before the cut", lfBeforeCut, std::string(100, 'y')},
        {"a zero byte stops the search", zeroAfterCut, std::string(100, 'y')},
        {"LF only in the appended text", noLf, std::string(50, 'y') + "\n" + std::string(49, 'z')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir temp;
        test::WriteFile(temp / "a.log", c.before);
        const std::string whole = c.before + c.append;
        ASSERT_EQ(whole.size(), 1000050u);
        // The rule written out: the first LF at or after 100,050, unless a zero byte
        // comes first; without one the cut is exact.
        std::size_t cut = 100050;
        for (std::size_t i = cut; i < whole.size() && whole[i] != '\0'; ++i) {
            if (whole[i] == '\n') {
                cut = i + 1;
                break;
            }
        }
        TrimmedLog log;
        log.Append(temp / "a.log", 1, c.append);
        const std::string after = test::ReadFile(temp / "a.log");
        EXPECT_EQ(after.size(), whole.size() - cut);
        EXPECT_TRUE(after == whole.substr(cut)) << "the kept part is not the end of the log";
        EXPECT_LE(after.size(), 900000u);
    }
}

// After a cut the file position is at the new end: the next line must follow the kept
// part, not land at the old offset behind a hole.
TEST(TrimmedLog, AppendAfterACutContinuesAtTheEnd) {
    test::TempDir temp;
    test::WriteFile(temp / "a.log", Lines(999950, 100));
    TrimmedLog log;
    log.Append(temp / "a.log", 1, std::string(99, 'y') + "\n");
    const std::size_t kept = test::ReadFile(temp / "a.log").size();
    log.Append(temp / "a.log", 1, "next");
    const std::string after = test::ReadFile(temp / "a.log");
    EXPECT_EQ(after.size(), kept + 4);
    EXPECT_EQ(after.substr(after.size() - 4), "next");
    EXPECT_EQ(after.find('\0'), std::string::npos);
}

TEST(TrimmedLog, BelowTheLimitNothingIsCut) {
    test::TempDir temp;
    const std::string lines = Lines(999990, 100);
    test::WriteFile(temp / "a.log", lines);
    TrimmedLog log;
    log.Append(temp / "a.log", 1, "0123456789"); // exactly 1,000,000 bytes: not over
    EXPECT_EQ(test::ReadFile(temp / "a.log").size(), 1000000u);
    log.Append(temp / "a.log", 2, "more"); // a larger limit given later applies
    EXPECT_EQ(test::ReadFile(temp / "a.log").size(), 1000004u);
}

TEST(TrimmedLog, ChangingTheNameSwitchesFiles) {
    test::TempDir temp;
    TrimmedLog log;
    log.Append(temp / "a.log", 1, "one");
    log.Append(temp / "b.log", 1, "two");
    log.Append(temp / "b.log", 1, "three");
    log.Append(temp / "a.log", 1, "four");
    EXPECT_EQ(test::ReadFile(temp / "a.log"), "onefour");
    EXPECT_EQ(test::ReadFile(temp / "b.log"), "twothree");
}

// A log that cannot be opened is skipped silently; another name tries again.
TEST(TrimmedLog, UnopenableFileIsSkipped) {
    test::TempDir temp;
    TrimmedLog log;
    log.Append(temp / "missing/folder/a.log", 1, "lost");
    log.Append(temp / "a.log", 1, "kept");
    EXPECT_EQ(test::ReadFile(temp / "a.log"), "kept");
}

// A LogFileSize below 1 in the settings: the cut offset lies beyond the end of the file,
// and moving "size - cut" bytes (a negative count taken as a huge one) ran over the
// mapping and crashed the server at its first logged request.
TEST(TrimmedLog, LimitBelowOneDoesNotCrash) {
    for (int limit : {0, -1, -5}) {
        SCOPED_TRACE(limit);
        test::TempDir temp;
        test::WriteFile(temp / "a.log", "first line\n");
        TrimmedLog log;
        log.Append(temp / "a.log", limit, "\nGET /x 127.0.0.1:1");
        EXPECT_LE(test::ReadFile(temp / "a.log").size(), 30u);
    }
}

} // namespace
} // namespace tvn
