#include "shell/command_word.h"
#include "shell_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace tvn {
namespace {

namespace fs = std::filesystem;

TEST(ParseCommandWord, FirstPlainWordCaseSensitive) {
    struct Case {
        std::vector<std::string> arguments;
        CommandWord word;
    };
    const Case cases[] = {
        {{}, CommandWord::None},
        {{"stop"}, CommandWord::Stop},
        {{"install"}, CommandWord::Install},
        {{"uninstall"}, CommandWord::Uninstall},
        {{"Stop"}, CommandWord::None},
        {{"STOP"}, CommandWord::None},
        {{"stopp"}, CommandWord::None},
        {{"-v", "stop"}, CommandWord::Stop},
        {{"site", "stop"}, CommandWord::None},
        {{"install", "stop"}, CommandWord::Install},
        {{"--help"}, CommandWord::Help},
        {{"-h"}, CommandWord::Help},
        {{"stop", "--help"}, CommandWord::Help},
        {{"--HELP"}, CommandWord::None},
        {{"help"}, CommandWord::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        EXPECT_EQ(ParseCommandWord(c.arguments), c.word);
    }
}

// `uninstall` with U3_DEVICE_DOCUMENT_PATH pointing into a temporary folder.
class UninstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        documents = dir.path().toStdString();
        ::setenv("U3_DEVICE_DOCUMENT_PATH", documents.c_str(), 1);
        fs::create_directories(documents + "/Tarvolin/htdocs/demo");
        test::WriteFileBytes(documents + "/Tarvolin/htdocs/demo/index.html", "page");
        test::WriteFileBytes(documents + "/beside.txt", "beside");
        fs::create_directories(documents + "/outside");
        test::WriteFileBytes(documents + "/outside/kept.txt", "kept");
        std::error_code exists; // the second case finds the link still there after No
        fs::create_directory_symlink(documents + "/outside", documents + "/Tarvolin/htdocs/link",
                                     exists);
    }
    void TearDown() override { ::unsetenv("U3_DEVICE_DOCUMENT_PATH"); }

    CUserInterface Answering(bool yes) {
        CUserInterface ui = HeadlessInterface();
        ui.askYesNo = [this, yes](const std::string& text, const std::string& caption) {
            asked.push_back(caption + ": " + text);
            return yes;
        };
        return ui;
    }

    QTemporaryDir dir;
    std::string documents;
    std::vector<std::string> asked;
};

TEST_F(UninstallTest, AnswerDecides) {
    struct Case {
        bool yes;
        bool programFolderAfter;
    };
    for (const Case c : {Case{false, true}, Case{true, false}}) {
        SCOPED_TRACE(c.yes);
        SetUp();
        asked.clear();
        EXPECT_EQ(RunUninstall(Answering(c.yes)), c.yes);
        EXPECT_EQ(asked, std::vector<std::string>{"Tarvolin: Delete shared documents"});
        EXPECT_EQ(fs::exists(documents + "/Tarvolin"), c.programFolderAfter);
        // Only the program folder goes: not its neighbours, not what a link in it points at.
        EXPECT_EQ(test::ReadFileBytes(documents + "/beside.txt"), "beside");
        EXPECT_EQ(test::ReadFileBytes(documents + "/outside/kept.txt"), "kept");
    }
}

} // namespace
} // namespace tvn
