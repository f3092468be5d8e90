// A large upload holds only a few MiB of its body in memory on its way to disk, and the bytes
// arrive in order however the reads cut them.
#include "http/upload_store.h"
#include "support/server_fixture.h"
#include "support/spin.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <span>
#include <string>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tvn {
namespace {

// A field of /proc/self/status in KiB (VmRSS, VmHWM); -1 when missing.
long StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":"))
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// Makes VmHWM start again from the resident size now; false when the kernel cannot.
bool ResetPeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

// The body: blocks of one random MiB, each starting with its number, so that a block lost,
// repeated or out of place is seen.
constexpr std::size_t kBlock = std::size_t(1) << 20;
std::string RandomBlock() {
    std::string block(kBlock, '\0');
    std::mt19937_64 random(20261210);
    for (std::size_t i = 0; i + 8 <= block.size(); i += 8) {
        const std::uint64_t word = random();
        std::memcpy(block.data() + i, &word, 8);
    }
    return block;
}
void NumberBlock(std::string& block, std::uint64_t n) { std::memcpy(block.data(), &n, 8); }

// True when `path` holds exactly `blocks` blocks as RandomBlock and NumberBlock make them.
bool HoldsTheBlocks(const std::string& path, std::uint64_t blocks) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid())
        return false;
    std::string want = RandomBlock();
    std::string got(kBlock, '\0');
    for (std::uint64_t n = 0; n < blocks; ++n) {
        NumberBlock(want, n);
        std::size_t have = 0;
        while (have < kBlock) {
            const ssize_t r = ::read(fd.Get(), got.data() + have, kBlock - have);
            if (r <= 0)
                return false;
            have += static_cast<std::size_t>(r);
        }
        if (got != want)
            return false;
    }
    char more = 0;
    return ::read(fd.Get(), &more, 1) == 0;
}

class UploadMemory : public test::ServerFixture {};

// Two GiB sent by PUT: the program's peak resident memory grows by far less than the body
// (the body streams through a few MiB to disk), and the stored file is the one sent.
TEST_F(UploadMemory, TwoGibibytesGoToDiskThroughAFewMebibytes) {
    constexpr std::uint64_t kBlocks = 2048; // 2 GiB
    constexpr std::uint64_t kBytes = kBlocks * kBlock;
    constexpr long kBoundKiB = 64 * 1024;
    Put("Drop/.upload", "");
    const std::string folder = root + "/Drop/";
    struct statvfs disk {};
    ASSERT_EQ(::statvfs(folder.c_str(), &disk), 0);
    const std::uint64_t freeBytes = std::uint64_t(disk.f_bavail) * disk.f_frsize;
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine: the peak says nothing here";
#endif
    if (freeBytes < (std::uint64_t(5) << 30) || !LeavesEnoughSpace(folder, kBytes))
        GTEST_SKIP() << "the disk of " << folder << " has only " << (freeBytes >> 20)
                     << " MiB free; this test stores 2 GiB";
    if (!ResetPeakMemory() || StatusKiB("VmHWM") < 0)
        GTEST_SKIP() << "this kernel cannot reset the peak memory (/proc/self/clear_refs)";
    const long startKiB = StatusKiB("VmRSS");

    std::string answer;
    std::atomic<bool> sent{false};
    ASSERT_TRUE(test::RunWhileServing(
        [&] {
            const int fd = test::ConnectLoopback(port);
            if (fd < 0)
                return;
            // A client that waits longer than any disk stall, but not for ever.
            const timeval limit{120, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::string block = RandomBlock();
            const std::string head =
                "PUT /Drop/big.bin HTTP/1.0\r\nContent-Length: " + std::to_string(kBytes) +
                "\r\n\r\n";
            bool whole = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(head.size());
            for (std::uint64_t n = 0; whole && n < kBlocks; ++n) {
                NumberBlock(block, n);
                for (std::size_t off = 0; whole && off < kBlock;) {
                    const ssize_t w = ::send(fd, block.data() + off, kBlock - off, MSG_NOSIGNAL);
                    whole = w > 0;
                    off += whole ? static_cast<std::size_t>(w) : 0;
                }
            }
            sent = whole;
            char piece[4096];
            for (ssize_t r; (r = ::recv(fd, piece, sizeof piece, 0)) > 0;)
                answer.append(piece, static_cast<std::size_t>(r));
            ::close(fd);
        },
        std::chrono::minutes(5)));
    const long peakKiB = StatusKiB("VmHWM");
    EXPECT_TRUE(sent);
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 201 Created\r\n")) << answer;
    EXPECT_LT(peakKiB - startKiB, kBoundKiB)
        << "resident memory went from " << startKiB << " KiB to a peak of " << peakKiB << " KiB";
    EXPECT_TRUE(HoldsTheBlocks(folder + "big.bin", kBlocks));
    std::filesystem::remove(folder + "big.bin");
}

// Pieces of every size around the sink's blocks reach the part file whole and in order,
// whether the sink copies them (Take) or they are read into its own memory (Room).
TEST(UploadSinkBlocks, PiecesOfAnySizeArriveInOrder) {
    for (const bool intoRoom : {false, true}) {
        SCOPED_TRACE(intoRoom ? "read into the sink's room" : "copied by Take");
        test::TempDir temp;
        const std::string folder = temp.Path() + "/";
        std::string partPath;
        UniqueFd part = CreatePartFile(folder, partPath);
        ASSERT_TRUE(part.Valid());
        std::atomic<bool> done{false};
        CUploadSink sink(std::move(part), partPath, folder, "pieces.bin", [&] { done = true; });
        const std::array<std::size_t, 16> sizes = {
            1,       16384,   262144,  262143,        262145, 1048575, 0,      1,
            1048576, 1048577, 3 << 20, (1 << 20) - 7, 7,      65536,   200000, 5 << 20};
        std::string all;
        std::mt19937 random(7);
        for (const std::size_t size : sizes) {
            std::string piece(size, '\0');
            for (char& c : piece)
                c = static_cast<char>(random());
            all += piece;
            std::string_view left = piece;
            do {
                // Like the connection: no more while the sink is full.
                ASSERT_TRUE(test::WaitFor([&] { return !sink.Full(); }));
                if (!intoRoom) {
                    ASSERT_TRUE(sink.Take(left));
                    break;
                }
                const std::span<char> room = sink.Room(std::max<std::size_t>(left.size(), 1));
                ASSERT_FALSE(room.empty());
                const std::size_t count = std::min(room.size(), left.size());
                left.copy(room.data(), count); // what a read would bring, 0 at first for ""
                ASSERT_TRUE(sink.TakeRoom(count));
                left.remove_prefix(count);
            } while (!left.empty());
        }
        sink.End();
        ASSERT_TRUE(test::WaitFor([&] { return done.load(); }, 30000));
        EXPECT_EQ(sink.Result().status, 201);
        EXPECT_EQ(sink.Result().stored, "pieces.bin");
        EXPECT_TRUE(test::ReadFile(folder + "pieces.bin") == all);
    }
}

// The writer fails while the connection reads into the sink's room: the room stays the
// connection's until it is handed back (then refused), and nothing is placed.
TEST(UploadSinkBlocks, AWriterThatFailsLeavesTheRoomBeingReadInto) {
    test::TempDir temp;
    const std::string folder = temp.Path() + "/";
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeEnds[0]);
    std::atomic<bool> done{false};
    // A pipe that is read by nobody holds the writer; closing its reader makes it fail.
    CUploadSink sink(UniqueFd(pipeEnds[1]), temp / "part", folder, "never.bin",
                     [&] { done = true; });
    ASSERT_TRUE(sink.Take(std::string(2 << 20, 'a')));
    const std::span<char> room = sink.Room(256 * 1024);
    ASSERT_FALSE(room.empty());
    const auto before = std::signal(SIGPIPE, SIG_IGN);
    readEnd.Reset();
    const bool failed = test::WaitFor([&] { return done.load(); });
    std::signal(SIGPIPE, before);
    ASSERT_TRUE(failed);
    std::memset(room.data(), 'b', room.size()); // still the connection's memory
    EXPECT_FALSE(sink.TakeRoom(room.size()));
    EXPECT_TRUE(sink.Room(1).empty());
    EXPECT_FALSE(sink.Take("c"));
    EXPECT_EQ(sink.Result().status, 500);
    EXPECT_FALSE(std::filesystem::exists(folder + "never.bin"));
}

} // namespace
} // namespace tvn
