// The notification sound never holds its caller, from any thread, whatever the file.
#include "platform/sound_player.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

#include <QThreadPool>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
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

} // namespace
} // namespace tvn
