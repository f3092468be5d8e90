// The loader of the desktop module: only a full path loads, every symbol must be there at
// once, and each failure comes back as dlerror()'s text.
#include "platform/loadable_module.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

const std::string kModules = TVN_TEST_MODULES;

TEST(LoadModuleEntry, RefusesWhatItCannotLoad) {
    test::TempDir temp;
    const std::string notLibrary = temp.Path() + "/text.so";
    test::WriteFileBytes(notLibrary, "not an ELF file\n");
    struct Case {
        std::string path;
        const char* entry;
        std::string inError; // a part of the error text
    };
    const Case cases[] = {
        {"", "TvnTestEntry", "full path"},
        // dlopen itself would search these in the library path and the current folder.
        {"libc.so.6", "malloc", "full path"},
        {"entry_module.so", "TvnTestEntry", "full path"},
        {"./entry_module.so", "TvnTestEntry", "full path"},
        {kModules + "/missing.so", "TvnTestEntry", kModules + "/missing.so"},
        {kModules, "TvnTestEntry", kModules}, // a folder
        {notLibrary, "TvnTestEntry", notLibrary},
        {kModules + "/entry_module.so", "TvnTestNoSuchEntry", "TvnTestNoSuchEntry"},
        // Bound at load: a module that needs a missing function never runs.
        {kModules + "/unresolved_module.so", "TvnTestEntry", "TvnTestNoSuchFunction"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + c.entry);
        std::string error;
        EXPECT_EQ(LoadModuleEntry(c.path, c.entry, error), nullptr);
        EXPECT_NE(error.find(c.inError), std::string::npos) << error;
    }
}

TEST(LoadModuleEntry, GivesAnEntryThatRuns) {
    std::string error;
    void* entry = LoadModuleEntry(kModules + "/entry_module.so", "TvnTestEntry", error);
    ASSERT_NE(entry, nullptr) << error;
    EXPECT_EQ(reinterpret_cast<int (*)(int)>(entry)(41), 42);
    // Loaded again, the same library gives the same entry.
    EXPECT_EQ(LoadModuleEntry(kModules + "/entry_module.so", "TvnTestEntry", error), entry);
}

} // namespace
} // namespace tvn
