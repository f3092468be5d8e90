// The notification sound never holds its caller, from any thread, whatever the file.
#include "platform/sound_player.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <QThreadPool>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tvn {
namespace {

using namespace std::chrono_literals;

TEST(SoundPlayer, CallsReturnAtOnceFromAnyThreadAndTheSoundsEnd) {
    test::TempDir home;
    ASSERT_TRUE(test::WriteFile(home / ".asoundrc", "pcm.!default { type null }\n"));
    test::WriteFile(home / "broken.oga", "not a sound");
    test::EnvGuard env;
    env.Set("HOME", home.Path()); // a sound device that plays into nothing
    env.Unset("PULSE_SERVER");
    const std::vector<std::string> paths = {
        "/usr/share/sounds/freedesktop/stereo/message-new-instant.oga", home / "missing.oga",
        home / "broken.oga", ""};
    std::vector<std::thread> callers;
    std::vector<std::chrono::steady_clock::duration> longest(4);
    for (std::size_t t = 0; t < longest.size(); ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                const auto start = std::chrono::steady_clock::now();
                PlaySoundFileAsync(paths[(t + round) % paths.size()]);
                longest[t] = std::max(longest[t], std::chrono::steady_clock::now() - start);
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    for (auto& caller : callers)
        caller.join();
    for (const auto duration : longest)
        EXPECT_LT(duration, 50ms);
    EXPECT_TRUE(QThreadPool::globalInstance()->waitForDone(10000));
}

// In a test's own process: standard output and error go to the file `caught` from here on;
// the descriptor of the old standard error, for ReleaseOutput. Ends the process (code 2)
// when it cannot.
int CatchOutput(const std::string& caught) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int output = ::open(caught.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int savedError = ::dup(2);
    if (output < 0 || savedError < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0)
        ::_exit(2);
    return savedError;
}

// Standard error back, and what was written meanwhile.
std::string ReleaseOutput(int savedError, const std::string& caught) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedError, 2);
    return test::ReadFile(caught);
}

// Without a sound device (here: the default card of ALSA names one that is not there, and no
// sound server), every sound wrote a dozen "ALSA lib ..." lines into the program's output.
// The sound path runs in a fresh process of this test program, so that ALSA starts there
// with this setting, and everything it writes to standard output and error is caught.
TEST(SoundPlayer, NoSoundDeviceMeansSilenceAndNoNoiseInTheOutput) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir home;
    ASSERT_TRUE(home.Valid());
    const std::string caught = home / "output";
    auto playWithoutADevice = [&] {
        ::setenv("HOME", home.Path().c_str(), 1); // no .asoundrc
        ::setenv("XDG_RUNTIME_DIR", home.Path().c_str(), 1);
        ::setenv("ALSA_CARD", "31", 1);
        ::setenv("PULSE_SERVER", (home / "no-sound-server").c_str(), 1);
        ::unsetenv("ALSA_CONFIG_PATH");
        const int savedError = CatchOutput(caught);
        // A comment with the theme's sound, one whose sound file is missing, and one with no
        // sound set: each goes to the sound device.
        for (const std::string& path :
             {std::string("/usr/share/sounds/freedesktop/stereo/message-new-instant.oga"),
              home / "missing.oga", std::string()}) {
            PlaySoundFileAsync(path);
            QThreadPool::globalInstance()->waitForDone(10000);
        }
        const std::string noise = ReleaseOutput(savedError, caught);
        std::error_code ec;
        std::filesystem::remove_all(home.Path(), ec); // _exit skips the folder's own removal
        if (noise.empty())
            ::_exit(0);
        std::fprintf(stderr, "the sound path wrote:\n%s", noise.c_str());
        ::_exit(1);
    };
    EXPECT_EXIT(playWithoutADevice(), ::testing::ExitedWithCode(0), "");
}

// Whether a library whose file name holds `name` is mapped into this process.
bool Mapped(const std::string& name) {
    return test::ReadFile("/proc/self/maps").find(name) != std::string::npos;
}

// libcanberra is loaded with the first sound, by the name it is given: one that is not
// there, or a library without its functions, means no sound, no crash and no output. Each
// case runs in a fresh process of this test program, as the library is looked for once in
// a process's life.
TEST(SoundPlayer, TheSoundLibraryIsLoadedWithTheFirstSoundAndMayBeMissing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* library; // nullptr: the usual one
        bool loaded;
    };
    const Case cases[] = {
        {nullptr, true},
        {"libtvn-no-such-canberra.so.0", false},
        {"/nonexistent/libcanberra.so.0", false},
        {"libz.so.1", false}, // a library, but without libcanberra's functions
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.library ? c.library : "libcanberra.so.0");
        test::TempDir home;
        ASSERT_TRUE(home.Valid());
        ASSERT_TRUE(test::WriteFile(home / ".asoundrc", "pcm.!default { type null }\n"));
        const std::string caught = home / "output";
        auto play = [&] {
            ::setenv("HOME", home.Path().c_str(), 1); // a sound device that plays into nothing
            ::setenv("XDG_RUNTIME_DIR", home.Path().c_str(), 1);
            ::setenv("PULSE_SERVER", (home / "no-sound-server").c_str(), 1);
            const int savedError = CatchOutput(caught);
            if (c.library)
                SetSoundLibraryName(c.library);
            const bool before = Mapped("libcanberra.so");
            for (const std::string& path : {home / "missing.oga", std::string()}) {
                PlaySoundFileAsync(path);
                QThreadPool::globalInstance()->waitForDone(10000);
            }
            const bool after = Mapped("libcanberra.so");
            const std::string noise = ReleaseOutput(savedError, caught);
            std::error_code ec;
            std::filesystem::remove_all(home.Path(), ec); // _exit skips the folder's own removal
            if (before || after != c.loaded || !noise.empty()) {
                std::fprintf(stderr, "mapped before %d, after %d; the sound path wrote:\n%s",
                             before, after, noise.c_str());
                ::_exit(1);
            }
            ::_exit(0);
        };
        EXPECT_EXIT(play(), ::testing::ExitedWithCode(0), "");
    }
}

} // namespace
} // namespace tvn
