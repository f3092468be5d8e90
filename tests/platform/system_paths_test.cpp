// The folders of the program, its settings, logs and documents, from the environment of
// the portable platform or the XDG places.
#include "platform/system_paths.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace tvn {
namespace {

TEST(JoinPath, OneSeparator) {
    struct Case {
        std::string folder, name, joined;
    };
    const Case cases[] = {
        {"/a", "TVN.cfg", "/a/TVN.cfg"},
        {"/a/", "TVN.cfg", "/a/TVN.cfg"},
        {"/", "TVN.cfg", "/TVN.cfg"},
        {"", "TVN.cfg", "TVN.cfg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(JoinPath(c.folder, c.name), c.joined);
    }
}

TEST(SystemPaths, PortablePlatformVariables) {
    test::TempDir temp;
    test::EnvGuard env;
    env.Set("U3_APP_DATA_PATH", temp / "data/");
    env.Set("U3_DEVICE_EXEC_PATH", temp / "exec//");
    env.Set("U3_DEVICE_DOCUMENT_PATH", temp / "docs/");
    EXPECT_EQ(SettingsFolder(), temp / "data");
    EXPECT_EQ(ExecutableFolder(), temp / "exec");
    EXPECT_EQ(DocumentBaseFolder(), temp / "docs");
    // At most 255 characters of the executable folder are taken.
    const std::string longPath = "/" + std::string(300, 'x');
    env.Set("U3_DEVICE_EXEC_PATH", longPath);
    EXPECT_EQ(ExecutableFolder(), longPath.substr(0, 255));
}

// Without the platform's variables the settings live beside the program when its folder
// can be written, else in the XDG configuration folder (made on the way).
TEST(SystemPaths, WithoutThePortablePlatform) {
    test::TempDir temp;
    test::EnvGuard env;
    env.Unset("U3_APP_DATA_PATH");
    env.Unset("U3_DEVICE_DOCUMENT_PATH");
    env.Set("U3_DEVICE_EXEC_PATH", temp / "program");
    env.Set("XDG_CONFIG_HOME", temp / "config");
    env.Set("XDG_STATE_HOME", temp / "state");
    ::mkdir((temp / "program").c_str(), 0755);
    EXPECT_EQ(SettingsFolder(), temp / "program");
    EXPECT_EQ(LogFolder(), temp / "program");
    EXPECT_EQ(DocumentBaseFolder(), temp / "program");
    // A program folder that cannot be written (here: one that does not exist).
    env.Set("U3_DEVICE_EXEC_PATH", temp / "missing");
    EXPECT_EQ(SettingsFolder(), temp / "config/tarvolin");
    EXPECT_EQ(LogFolder(), temp / "state/tarvolin");
    struct stat st {};
    EXPECT_EQ(::stat((temp / "config/tarvolin").c_str(), &st), 0) << "not made";
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// The cache follows XDG alone, never the program's folder: it is nothing a portable copy
// needs to carry.
TEST(SystemPaths, CacheFolderIsTheXdgCacheFolder) {
    test::TempDir temp;
    test::EnvGuard env;
    env.Set("U3_DEVICE_EXEC_PATH", temp / "program");
    ::mkdir((temp / "program").c_str(), 0755);
    struct Case {
        std::optional<std::string> xdgCacheHome; // nothing: unset
        std::string folder;
    };
    const Case cases[] = {
        {temp / "cache", temp / "cache/tarvolin"},
        {temp / "cache//", temp / "cache/tarvolin"},
        {std::nullopt, temp / "home/.cache/tarvolin"},
        {"", temp / "home/.cache/tarvolin"},
        {"relative/cache", temp / "home/.cache/tarvolin"},
    };
    env.Set("HOME", temp / "home");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        if (c.xdgCacheHome)
            env.Set("XDG_CACHE_HOME", *c.xdgCacheHome);
        else
            env.Unset("XDG_CACHE_HOME");
        EXPECT_EQ(CacheFolder(), c.folder);
        struct stat st {};
        EXPECT_NE(::stat(c.folder.c_str(), &st), 0) << "made before its place was checked";
    }
}

TEST(SystemPaths, ExecutableFolderOfThisProgram) {
    test::EnvGuard env;
    env.Unset("U3_DEVICE_EXEC_PATH");
    const std::string folder = ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_NE(folder.back(), '/');
    struct stat st {};
    EXPECT_EQ(::stat(JoinPath(folder, "test_platform").c_str(), &st), 0) << folder;
}

} // namespace
} // namespace tvn
