// The autostart entry: the program's path through the Exec quoting and back, the entry
// written, read back and removed, and the ways writing it fails.
#include "shell/autostart_entry.h"
#include "shell_fixture.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

// Paths a portable copy may live under, each through the quoting and back.
TEST(ExecArgument, EveryPathReadsBackAsItself) {
    const std::string paths[] = {
        "/usr/bin/tarvolin",
        "/media/alice/My Stick/Tarvolin/tarvolin",
        "/media/alice/\"quoted\" name/tarvolin",
        "/media/alice/it's/tarvolin",
        "/media/alice/back\\slash/tarvolin",
        "/media/alice/$HOME `date`/tarvolin",
        "/media/alice/100% sure/%f %U/tarvolin",
        "/media/alice/tab\there/new\nline/cr\r/tarvolin",
        "/media/alice/Übersicht ☃/tarvolin",
        "/x/\\s\\n\\\\/tarvolin", // the string escapes as text of the path
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const std::string written = ExecArgument(path);
        // One line of the file, one argument of the command.
        EXPECT_EQ(written.find_first_of("\n\r\t"), std::string::npos) << written;
        EXPECT_EQ(ExecProgram(written), path) << written;
        EXPECT_EQ(ExecProgram(written + " --more %U"), path) << written;
    }
}

// The escapes as the desktop entry rules spell them: a backslash is four in the file, a
// dollar sign "\\$", a percent sign doubled.
TEST(ExecArgument, WrittenAsTheRulesSpellThem) {
    EXPECT_EQ(ExecArgument("/a b"), "\"/a b\"");
    EXPECT_EQ(ExecArgument("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(ExecArgument("/$a"), "\"/\\\\$a\"");
    EXPECT_EQ(ExecArgument("/\"a\""), "\"/\\\\\"a\\\\\"\"");
    EXPECT_EQ(ExecArgument("/50%"), "\"/50%%\"");
}

TEST(ExecProgram, ValuesWrittenByOthers) {
    const struct {
        std::string_view value;
        std::optional<std::string> program;
    } cases[] = {
        {"tarvolin", "tarvolin"},
        {"  /usr/bin/tarvolin %U", "/usr/bin/tarvolin"},
        {"\"/opt/my apps/tarvolin\" --tray", "/opt/my apps/tarvolin"},
        {"/opt/a\\sb/tarvolin", "/opt/a"}, // \s is a blank: the program ends there
        {"\"/opt/a\\sb\"", "/opt/a b"},
        {"\"/opt/50%%\"", "/opt/50%"},
        {"/opt/x%f", std::nullopt},        // a field code in the program
        {"\"/opt/unclosed", std::nullopt}, //
        {"\"/opt/a\"b", std::nullopt},     // text right after the closing quote
        {"\"/opt/\\\\q\"", std::nullopt},  // "\q" inside quotes
        {"/opt/it's", std::nullopt},       // a reserved character unquoted
        {"\"\"", std::nullopt},            // an empty program
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value));
        EXPECT_EQ(ExecProgram(c.value), c.program);
    }
}

class AutostartEntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        base = dir.path().toStdString();
        file = base + "/config/autostart/tarvolin.desktop";
        program = base + "/My Stick/100% \"portable\"/tarvolin";
        fs::create_directories(fs::path(program).parent_path());
        WriteFileBytes(program, "#!/bin/sh\n");
    }
    // The names in the entry's folder other than the entry: a temporary file left behind.
    std::vector<std::string> Strays() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& item : fs::directory_iterator(fs::path(file).parent_path(), ec))
            if (item.path().filename() != "tarvolin.desktop")
                names.push_back(item.path().filename().string());
        return names;
    }

    QTemporaryDir dir;
    std::string base;
    std::string file;
    std::string program;
};

TEST_F(AutostartEntryTest, WrittenReadBackAndRemoved) {
    const CAutostartEntry entry(file);
    std::string error;
    EXPECT_FALSE(entry.Starts(program));
    ASSERT_TRUE(entry.Write(program, error)) << error;
    EXPECT_TRUE(entry.Starts(program));
    EXPECT_FALSE(entry.Starts(base + "/other/tarvolin"));
    const std::string text = ReadFileBytes(file).value_or("");
    EXPECT_NE(text.find("\nExec=" + ExecArgument(program) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nTryExec=" + program + "\n"), std::string::npos) << text;
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_TRUE(Strays().empty());

    // Another name of the same program file starts it too.
    const std::string link = base + "/link";
    fs::create_symlink(program, link);
    EXPECT_TRUE(entry.Starts(link));

    // Written again for another copy, the entry names only that one.
    const std::string other = base + "/other copy/tarvolin";
    ASSERT_TRUE(entry.Write(other, error)) << error;
    EXPECT_TRUE(entry.Starts(other));
    EXPECT_FALSE(entry.Starts(program));

    ASSERT_TRUE(entry.Remove(error)) << error;
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(entry.Starts(other));
    EXPECT_TRUE(entry.Remove(error)) << "a missing entry is already removed";
}

// Entries the desktop would not start, though their Exec names the program.
TEST_F(AutostartEntryTest, EntriesSwitchedOffStartNothing) {
    const std::string exec = "Exec=" + ExecArgument(program) + "\n";
    const std::string texts[] = {
        "[Desktop Entry]\nType=Application\n" + exec + "Hidden=true\n",
        "[Desktop Entry]\n" + exec + "X-GNOME-Autostart-enabled=false\n",
        "[Desktop Action Other]\n" + exec + "[Desktop Entry]\nExec=/usr/bin/true\n",
        "[Desktop Entry]\nExec=\"" + program + "\n", // the quote is not closed
    };
    const CAutostartEntry entry(file);
    fs::create_directories(fs::path(file).parent_path());
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        WriteFileBytes(file, text);
        EXPECT_FALSE(entry.Starts(program));
    }
    WriteFileBytes(file, "# ours\n[Desktop Entry]\r\nHidden = false\r\nExec = " +
                             ExecArgument(program) + "\r\n");
    EXPECT_TRUE(entry.Starts(program));
}

TEST_F(AutostartEntryTest, FailuresSayWhyAndKeepWhatWasThere) {
    std::string error;
    // The autostart folder cannot be made: a file has its name.
    const std::string blocked = base + "/blocked/autostart";
    WriteFileBytes(blocked, "not a folder");
    EXPECT_FALSE(CAutostartEntry(blocked + "/tarvolin.desktop").Write(program, error));
    EXPECT_NE(error.find(blocked), std::string::npos) << error;

    // Paths the desktop could not read back as this program.
    for (const std::string& bad : {std::string("tarvolin"), std::string("/bad\xff/tarvolin")}) {
        error.clear();
        EXPECT_FALSE(CAutostartEntry(file).Write(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(fs::exists(file));
    }

    // A folder in the entry's place: the new file cannot be renamed over it, nor can the
    // entry be deleted, and no temporary file stays.
    fs::create_directories(file + "/inside");
    error.clear();
    EXPECT_FALSE(CAutostartEntry(file).Write(program, error));
    EXPECT_NE(error.find(file + " could not be written"), std::string::npos) << error;
    EXPECT_TRUE(Strays().empty());
    error.clear();
    EXPECT_FALSE(CAutostartEntry(file).Remove(error));
    EXPECT_NE(error.find(file + " could not be deleted"), std::string::npos) << error;
    fs::remove_all(file);

    // A folder that cannot be written (root may write anywhere: only as another user).
    const CAutostartEntry entry(file);
    ASSERT_TRUE(entry.Write(program, error)) << error;
    if (::geteuid() != 0) {
        const std::string folder = fs::path(file).parent_path().string();
        ::chmod(folder.c_str(), 0500);
        error.clear();
        EXPECT_FALSE(entry.Write(base + "/other/tarvolin", error));
        EXPECT_NE(error.find(file), std::string::npos) << error;
        EXPECT_FALSE(entry.Remove(error));
        ::chmod(folder.c_str(), 0700);
        EXPECT_TRUE(entry.Starts(program)) << "the old entry stays whole";
        EXPECT_TRUE(Strays().empty());
    }
}

TEST(AutostartEntryFile, FollowsXdgConfigHome) {
    const auto keep = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto home = keep("HOME");
    const auto config = keep("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/alice", 1);
    ::setenv("XDG_CONFIG_HOME", "/cfg/alice", 1);
    EXPECT_EQ(CAutostartEntry::DefaultFile(), "/cfg/alice/autostart/tarvolin.desktop");
    ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1); // not a full path: ignored
    EXPECT_EQ(CAutostartEntry::DefaultFile(), "/home/alice/.config/autostart/tarvolin.desktop");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(CAutostartEntry::DefaultFile(), "/home/alice/.config/autostart/tarvolin.desktop");
    home ? ::setenv("HOME", home->c_str(), 1) : ::unsetenv("HOME");
    config ? ::setenv("XDG_CONFIG_HOME", config->c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace tvn
