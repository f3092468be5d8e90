// The stored ZIP archive: its length known before its first byte, its bytes as zipfile reads
// them, ZIP64 where counts need it, and a file that changes size breaking the body off.
#include "pages/zip_archive.h"
#include "support/temp_dir.h"
#include "zip_read_back.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tvn {
namespace {

using Outcome = IBodySource::Outcome;

struct Made {
    std::string bytes;
    Outcome last = Outcome::kMore;
};

// Everything the stream makes, piece by piece as a connection asks; `between` runs after
// each piece (a file changing meanwhile).
Made MakeAll(CZipStream& stream, const std::function<void(int piece)>& between = {}) {
    Made made;
    COutputBuffer out;
    for (int piece = 0; (made.last = stream.Produce(out)) == Outcome::kMore; ++piece) {
        EXPECT_GT(out.Pending(), 0u) << "more, yet nothing made";
        made.bytes.append(out.View());
        out.SetPending(0);
        if (between)
            between(piece);
    }
    if (made.last == Outcome::kEnd) {
        EXPECT_EQ(out.Pending(), 0u) << "an end that still made bytes";
    }
    return made;
}

class ZipArchive : public ::testing::Test {
  protected:
    // A file member named `name` holding `bytes`.
    ZipMember File(const std::string& name, const std::string& bytes) {
        const std::string path = temp / ("f" + std::to_string(files++));
        std::ofstream(path, std::ios::binary) << bytes;
        return {name, path, bytes.size(), 1700000000};
    }
    static ZipMember Folder(const std::string& name) { return {name, {}, 0, 1700000000}; }

    std::string Save(const std::string& bytes) {
        const std::string path = temp / "archive.zip";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

    test::TempDir temp;
    int files = 0;
};

TEST_F(ZipArchive, ReadsBackAsLaidOut) {
    const std::string large(700 * 1024 + 3, 'x'); // more than two pieces
    struct Case {
        const char* label;
        std::vector<std::pair<std::string, std::string>> members; // name, bytes ("/": folder)
    };
    const Case cases[] = {
        {"no member", {}},
        {"one empty file", {{"empty.txt", ""}}},
        {"folder and files",
         {{"a/", "/"}, {"a/one.txt", "1"}, {"a/large.bin", large}, {"b.txt", "bee"}}},
        {"UTF-8 names", {{"Fotos/", "/"}, {"Fotos/Größe – 写真.jpg", "\xFF\xD8 jpeg"}}},
        {"empty folder", {{"nothing/", "/"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<ZipMember> members;
        for (const auto& [name, bytes] : c.members)
            members.push_back(bytes == "/" ? Folder(name) : File(name, bytes));
        const std::uint64_t length = LayOutZip(members);
        CZipStream stream(members, length);
        const Made made = MakeAll(stream);
        EXPECT_EQ(made.last, Outcome::kEnd);
        ASSERT_EQ(made.bytes.size(), length);
        const test::ReadArchive read = test::ReadZipFile(Save(made.bytes));
        ASSERT_TRUE(read.ok) << read.output;
        ASSERT_EQ(read.members.size(), c.members.size()) << read.output;
        for (std::size_t i = 0; i < c.members.size(); ++i) {
            const auto& [name, bytes] = c.members[i];
            const bool folder = bytes == "/";
            EXPECT_EQ(read.members[i].name, name);
            EXPECT_EQ(read.members[i].size, std::to_string(folder ? 0 : bytes.size()));
            // Sizes behind the bytes, names in UTF-8.
            EXPECT_EQ(read.members[i].flags, "0808");
            // Unix modes: a folder 040755 (with the DOS folder bit), a file 0100644.
            EXPECT_EQ(read.members[i].attributes, folder ? "41ed0010" : "81a40000");
            EXPECT_EQ(read.members[i].head, folder ? "" : test::Hex(bytes));
        }
    }
}

// A name that is not UTF-8 goes as its bytes, without the UTF-8 flag: zipfile then reads it
// as code page 437, as the format says.
TEST_F(ZipArchive, NameThatIsNotUtf8GoesWithoutTheFlag) {
    std::vector<ZipMember> members{File("caf\xE9.txt", "latin-1")};
    members[0].utf8 = false;
    members[0].executable = true;
    const std::uint64_t length = LayOutZip(members);
    CZipStream stream(members, length);
    const test::ReadArchive read = test::ReadZipFile(Save(MakeAll(stream).bytes));
    ASSERT_TRUE(read.ok) << read.output;
    ASSERT_EQ(read.members.size(), 1u);
    EXPECT_EQ(read.members[0].name, "caf\xCE\x98.txt"); // 0xE9 in code page 437
    EXPECT_EQ(read.members[0].flags, "0008");
    EXPECT_EQ(read.members[0].attributes, "81ed0000"); // runnable stays runnable
}

// 65535 members no longer fit the end record's count: the ZIP64 end record and its locator
// tell it, and the end record holds the marker.
TEST_F(ZipArchive, CountBeyondSixteenBitsTakesTheZip64End) {
    for (const std::size_t count : {std::size_t(65534), std::size_t(65535)}) {
        SCOPED_TRACE(count);
        std::vector<ZipMember> members;
        for (std::size_t i = 0; i < count; ++i)
            members.push_back(Folder("d" + std::to_string(i) + "/"));
        const std::uint64_t length = LayOutZip(members);
        CZipStream stream(members, length);
        const std::string bytes = MakeAll(stream).bytes;
        ASSERT_EQ(bytes.size(), length);
        const bool zip64 = count >= 65535;
        EXPECT_EQ(bytes.find("PK\x06\x06") != std::string::npos, zip64);
        EXPECT_EQ(bytes.find("PK\x06\x07") != std::string::npos, zip64);
        // The end record's two counts.
        EXPECT_EQ(bytes.substr(bytes.size() - 22 + 8, 4),
                  zip64 ? std::string("\xFF\xFF\xFF\xFF") : std::string("\xFE\xFF\xFE\xFF"));
        const test::ReadArchive read = test::ReadZipFile(Save(bytes));
        ASSERT_TRUE(read.ok) << read.output.substr(0, 400);
        EXPECT_EQ(read.members.size(), count);
        EXPECT_EQ(read.members.back().name, "d" + std::to_string(count - 1) + "/");
    }
}

// The length was told before the first byte: a file that is gone, shrank or grew cannot be
// put in as its central directory entry says, so the body breaks off short of that length.
TEST_F(ZipArchive, FileThatChangedSizeBreaksTheBodyOff) {
    const std::string bytes(1 << 20, 'b'); // four pieces
    struct Case {
        const char* label;
        std::function<void(const std::string& path)> before; // before the first piece
        int atPiece;                                         // then after this piece
        std::function<void(const std::string& path)> during;
    };
    auto shrink = [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 1000), 0); };
    auto grow = [](const std::string& path) { std::ofstream(path, std::ios::app) << "more"; };
    auto remove = [](const std::string& path) { std::filesystem::remove(path); };
    const Case cases[] = {
        {"unchanged", {}, -1, {}},
        {"removed before its turn", remove, -1, {}},
        {"shrunk before its turn", shrink, -1, {}},
        {"grown before its turn", grow, -1, {}},
        {"shrunk while read", {}, 1, shrink},
        {"grown while read", {}, 1, grow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<ZipMember> members{File("first.txt", "first"), File("big.bin", bytes),
                                       File("last.txt", "last")};
        const std::string path = members[1].path;
        const std::uint64_t length = LayOutZip(members);
        if (c.before)
            c.before(path);
        CZipStream stream(members, length);
        const Made made = MakeAll(stream, [&](int piece) {
            if (piece == c.atPiece)
                c.during(path);
        });
        const bool whole = !c.before && !c.during;
        EXPECT_EQ(made.last, whole ? Outcome::kEnd : Outcome::kFailed);
        EXPECT_EQ(made.bytes.size() == length, whole) << made.bytes.size() << " of " << length;
    }
}

} // namespace
} // namespace tvn
