// SIGKILL in the middle of settings writes: a process writes settings in a loop through the
// program's own settings store and is killed at a random moment, over and over. The file
// must never be torn, empty or older than what a write already finished.
#include "config/settings_section.h"
#include "fault_fixture.h"

#include <csignal>
#include <cstdlib>
#include <random>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace tvn::test {
namespace {

constexpr int kKeys = 8;
constexpr int kDefaultRounds = 300;

// Rounds of the kill test: TVN_FAULT_KILL_ROUNDS when set (the soak asks for 1000).
int KillRounds() {
    const char* rounds = std::getenv("TVN_FAULT_KILL_ROUNDS");
    return rounds && std::atoi(rounds) > 0 ? std::atoi(rounds) : kDefaultRounds;
}

std::string KeyName(int i) { return "Key" + std::to_string(i); }

// Values change length from one write to the next, so that a torn file would show.
std::string Value(long long n) {
    return std::to_string(n) + "-" + std::string(static_cast<std::size_t>(n * 37 % 300), 'v');
}

// The child: counts up from the stored Counter and writes it and the keys for ever.
[[noreturn]] void WriteForever(const std::string& file) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    SettingsSection::OverrideFilePath(file);
    const SettingsSection settings;
    long long n = settings.GetInt("Counter", 0);
    for (;;) {
        ++n;
        settings.SetInt("Counter", static_cast<int>(n)); // first: a replaced file counts up
        settings.SetString(KeyName(static_cast<int>(n % kKeys)).c_str(), Value(n));
    }
}

class SettingsKillTest : public FaultTest {};

TEST_F(SettingsKillTest, SigkillDuringSettingsWritesNeverTearsTheFile) {
    std::string text = "[SOFTWARE\\Tarvolin\\1.0]\nCounter=0\n";
    for (int i = 0; i < kKeys; ++i)
        text += KeyName(i) + "=" + Value(i) + "\n";
    WriteFileBytes(SettingsFile(), text);
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> pauseUs(0, 5000);
    const int rounds = KillRounds();
    int counter = 0;
    int changed = 0;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        struct stat before {};
        ASSERT_EQ(::stat(SettingsFile().c_str(), &before), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            WriteForever(SettingsFile());
        // Killed a random moment after its first write replaced the file, so that every
        // round kills a writer at work, however slow the machine.
        QElapsedTimer clock;
        clock.start();
        struct stat now {};
        while (::stat(SettingsFile().c_str(), &now) == 0 && now.st_ino == before.st_ino &&
               clock.elapsed() < kWaitMs)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own in round " << round;

        SCOPED_TRACE("round " + std::to_string(round));
        const std::string file = Settings();
        ASSERT_EQ(MalformedSettingsLines(file), std::vector<std::string>{}) << file;
        const auto lines = Lines(file);
        ASSERT_EQ(lines.size(), 2u + kKeys) << "a key went missing or came twice\n" << file;
        const auto at = file.find("\nCounter=");
        ASSERT_NE(at, std::string::npos);
        const int stored = std::atoi(file.c_str() + at + 9);
        ASSERT_GE(stored, counter) << "a finished write was lost";
        changed += stored > counter;
        counter = stored;
        for (int i = 0; i < kKeys; ++i) {
            const auto key = file.find("\n" + KeyName(i) + "=");
            ASSERT_NE(key, std::string::npos) << KeyName(i);
            const auto end = file.find('\n', key + 1);
            const std::string value =
                file.substr(key + KeyName(i).size() + 2, end - key - KeyName(i).size() - 2);
            EXPECT_EQ(value, Value(std::atoll(value.c_str()))) << "a cut value";
        }
    }
    // Every writer got on before its kill: its first write replaced the file.
    EXPECT_EQ(changed, rounds);
    int leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Path("app")))
        leftovers += entry.path().filename().string().starts_with("TVN.cfg.tmp");
    std::printf("[ settings ] %d kills, %d with a newer file, counter at %d, %d temporary files "
                "left by killed writers\n",
                rounds, changed, counter, leftovers);
}

} // namespace
} // namespace tvn::test
