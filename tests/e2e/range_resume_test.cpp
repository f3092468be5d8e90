// A download that broke off is finished with curl's "-C -": curl asks the built program for
// the bytes from the length it already has, and the file it ends with must be the shared one.
#include "startup_fixture.h"

#include <QProcess>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace tvn::test {
namespace {

constexpr off_t kFileSize = 100 * 1024 * 1024;

class RangeResumeTest : public StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        WriteSettings();
        shared = Path("site/film.bin");
        WriteNoise(shared, kFileSize);
        program = Start();
        ASSERT_TRUE(WaitForListening(port));
    }
    void TearDown() override {
        if (program) {
            ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
            EXPECT_TRUE(Wait(*program).exited);
        }
    }

    // Pseudo-random bytes: a server that sent a block from the wrong offset cannot match.
    static void WriteNoise(const std::string& file, off_t size) {
        std::mt19937_64 noise(20240601);
        std::vector<std::uint64_t> block(1 << 17);
        std::ofstream out(file, std::ios::binary);
        for (off_t written = 0; written < size;) {
            for (auto& word : block)
                word = noise();
            const auto bytes =
                std::min<off_t>(size - written, static_cast<off_t>(block.size() * 8));
            out.write(reinterpret_cast<const char*>(block.data()), bytes);
            written += bytes;
        }
        ASSERT_TRUE(out.good());
    }

    // Runs curl with `arguments` after the address of the shared file; the status of the
    // last answer as curl wrote it, or curl's failure.
    std::string Curl(const QStringList& arguments) const {
        QProcess curl;
        QStringList all = {"-sS", "-w", "%{http_code}"};
        all << arguments << QString("http://127.0.0.1:%1/film.bin").arg(port);
        curl.start("curl", all);
        if (!curl.waitForFinished(60000))
            return "curl did not end";
        const std::string out = curl.readAllStandardOutput().toStdString();
        if (curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
            return "curl ended with " + std::to_string(curl.exitCode()) + ": " +
                   curl.readAllStandardError().toStdString();
        return out;
    }

    // True when `file` holds the same bytes as the shared file; says where they differ.
    bool SameAsShared(const std::string& file) const {
        std::ifstream a(shared, std::ios::binary);
        std::ifstream b(file, std::ios::binary);
        std::vector<char> left(1 << 20);
        std::vector<char> right(1 << 20);
        for (off_t at = 0;; at += static_cast<off_t>(left.size())) {
            a.read(left.data(), static_cast<std::streamsize>(left.size()));
            b.read(right.data(), static_cast<std::streamsize>(right.size()));
            if (a.gcount() != b.gcount()) {
                ADD_FAILURE() << "the lengths differ after byte " << at;
                return false;
            }
            if (std::memcmp(left.data(), right.data(), static_cast<std::size_t>(a.gcount()))) {
                ADD_FAILURE() << "the bytes differ in the MiB from " << at;
                return false;
            }
            if (a.gcount() == 0)
                return true;
        }
    }

    static off_t SizeOf(const std::string& file) {
        struct stat status {};
        return ::stat(file.c_str(), &status) == 0 ? status.st_size : -1;
    }

    std::string shared;
    std::unique_ptr<QProcess> program;
};

TEST_F(RangeResumeTest, CurlFinishesADownloadThatBrokeOff) {
    // Cut at odd lengths: in the first MiB, in the middle at no block's edge, one byte short.
    for (const off_t cut : {off_t{1}, off_t{777777}, kFileSize / 2 + 12345, kFileSize - 1}) {
        SCOPED_TRACE(cut);
        const std::string part = Path("home/film.part");
        ASSERT_EQ(
            Curl({"--range", QString("0-%1").arg(cut - 1), "-o", QString::fromStdString(part)}),
            "206");
        ASSERT_EQ(SizeOf(part), cut);
        EXPECT_EQ(Curl({"-C", "-", "-o", QString::fromStdString(part)}), "206");
        EXPECT_EQ(SizeOf(part), kFileSize);
        EXPECT_TRUE(SameAsShared(part));
        std::filesystem::remove(part);
    }
}

// A file cut on disk at a length no request asked for, as a downloader that crashed may
// leave it.
TEST_F(RangeResumeTest, CurlFinishesAFileCutShortOnDisk) {
    const std::string part = Path("home/film.cut");
    ASSERT_EQ(Curl({"-o", QString::fromStdString(part)}), "200");
    ASSERT_TRUE(SameAsShared(part));
    ASSERT_EQ(::truncate(part.c_str(), 3 * 1024 * 1024 + 5), 0);
    EXPECT_EQ(Curl({"-C", "-", "-o", QString::fromStdString(part)}), "206");
    EXPECT_TRUE(SameAsShared(part));
}

// Resuming what is already whole asks for bytes past the end: 416, and curl leaves the file
// as it is.
TEST_F(RangeResumeTest, ResumingAWholeFileChangesNothing) {
    const std::string whole = Path("home/film.whole");
    ASSERT_EQ(Curl({"-o", QString::fromStdString(whole)}), "200");
    EXPECT_EQ(Curl({"-C", "-", "-o", QString::fromStdString(whole)}), "416");
    EXPECT_EQ(SizeOf(whole), kFileSize);
    EXPECT_TRUE(SameAsShared(whole));
}

} // namespace
} // namespace tvn::test
