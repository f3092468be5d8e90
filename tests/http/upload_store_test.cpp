// The pieces of an upload's way to disk: a folder's rules, the names files take, the sink
// that holds back a fast client while the disk is slow, the refusals before any byte, and
// the part files that nobody finished.
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "http/upload_store.h"
#include "platform/resources.h"
#include "support/server_fixture.h"
#include "support/spin.h"
#include "support/temp_dir.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {
namespace {

TEST(UploadRules, ReadFromTheFoldersFile) {
    struct Case {
        const char* name;
        const char* text; // nullptr: no ".upload" file
        bool takes;
        std::uint64_t maxSize;
        std::uint64_t maxFiles;
    };
    const Case cases[] = {
        {"no file", nullptr, false, 0, 0},
        {"empty file", "", true, UploadRules::kDefaultMaxSize, 0},
        {"both, CR LF and blanks", " maxsize=1000\r\nmaxfiles=3 \r\n", true, 1000, 3},
        {"unknown lines and bad numbers ignored", "colour=red\nmaxsize=-5\nmaxfiles=2x\n", true,
         UploadRules::kDefaultMaxSize, 0},
        {"a number beyond 64 bits keeps the default", "maxsize=99999999999999999999999\n", true,
         UploadRules::kDefaultMaxSize, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir temp;
        if (c.text)
            test::WriteFile(temp / ".upload", c.text);
        const auto rules = ReadUploadRules(temp.Path() + "/");
        ASSERT_EQ(rules.has_value(), c.takes);
        if (rules) {
            EXPECT_EQ(rules->maxSize, c.maxSize);
            EXPECT_EQ(rules->maxFiles, c.maxFiles);
        }
    }
    test::TempDir temp;
    std::filesystem::create_directory(temp / ".upload");
    EXPECT_FALSE(ReadUploadRules(temp.Path() + "/")) << "a folder named .upload takes nothing";
}

TEST(UploadNames, NumberedBeforeTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"IMG_0001.jpg", "IMG_0001 (2).jpg"},
        {"archive.tar.gz", "archive.tar (2).gz"},
        {"README", "README (2)"},
    };
    for (const auto& [name, second] : cases) {
        EXPECT_EQ(NumberedName(name, 1), name);
        EXPECT_EQ(NumberedName(name, 2), second);
    }
}

// The sink takes bytes until it holds about kHighWater, then says it is full until the
// writer has brought it down to kLowWater, and then tells the connection.
TEST(UploadSink, HoldsBackWhileTheDiskIsSlowAndSaysWhenThereIsRoom) {
    test::TempDir temp;
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeEnds[0]);
    std::atomic<int> rooms{0};
    std::atomic<bool> done{false};
    // A pipe nobody reads is a disk that does not keep up.
    CUploadSink sink(UniqueFd(pipeEnds[1]), temp / "part", temp.Path() + "/", "x",
                     [&] { done = true; });
    sink.SetOnRoom([&] { ++rooms; });
    const std::string piece(64 * 1024, 'p');
    std::size_t taken = 0;
    while (!sink.Full() && taken < 4 * CUploadSink::kHighWater) {
        ASSERT_TRUE(sink.Take(piece));
        taken += piece.size();
    }
    EXPECT_TRUE(sink.Full());
    EXPECT_GE(taken, CUploadSink::kHighWater);
    EXPECT_LT(taken, CUploadSink::kHighWater + 2 * piece.size());
    EXPECT_EQ(rooms, 0);
    std::string drained(1 << 20, '\0');
    std::size_t read = 0;
    while (rooms == 0 && read < taken) {
        const ssize_t n = ::read(readEnd.Get(), drained.data(), drained.size());
        ASSERT_GT(n, 0);
        read += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(rooms, 1);
    EXPECT_FALSE(sink.Full());
    EXPECT_GE(read, taken - CUploadSink::kLowWater - piece.size());
    EXPECT_FALSE(done);
    // The writer must not be left blocked on the pipe when the test ends.
    while (read < taken) {
        const ssize_t n = ::read(readEnd.Get(), drained.data(), drained.size());
        ASSERT_GT(n, 0);
        read += static_cast<std::size_t>(n);
    }
}

TEST(UploadParts, ThoseNobodyWroteToForADayGo) {
    test::TempDir temp;
    const std::string folder = temp.Path() + "/";
    std::string fresh;
    std::string stale;
    ASSERT_TRUE(CreatePartFile(folder, fresh).Valid());
    ASSERT_TRUE(CreatePartFile(folder, stale).Valid());
    const timespec old[2] = {{::time(nullptr) - kPartLifetimeSeconds - 60, 0},
                             {::time(nullptr) - kPartLifetimeSeconds - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, stale.c_str(), old, 0), 0);
    test::WriteFile(folder + ".upload-parts/notes.txt", "not a part");
    ::utimensat(AT_FDCWD, (folder + ".upload-parts/notes.txt").c_str(), old, 0);
    RemoveExpiredParts(folder);
    EXPECT_TRUE(std::filesystem::exists(fresh));
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(folder + ".upload-parts/notes.txt"));
    struct stat st {};
    ASSERT_EQ(::stat((folder + ".upload-parts").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// A resumable upload nobody wrote to for a day goes with its description; the description
// of a finished one stays a day for its client's last question, then goes too.
TEST(UploadParts, ResumableOnesExpireWithTheirDescription) {
    test::TempDir temp;
    const std::string folder = temp.Path() + "/";
    ResumableUpload live;
    ResumableUpload stale;
    ResumableUpload finished;
    ASSERT_TRUE(CreateResumableUpload(folder, "live.bin", 5, live));
    ASSERT_TRUE(CreateResumableUpload(folder, "stale.bin", 5, stale));
    ASSERT_TRUE(CreateResumableUpload(folder, "empty.bin", 0, finished));
    EXPECT_EQ(finished.stored, "empty.bin");
    const timespec old[2] = {{::time(nullptr) - kPartLifetimeSeconds - 60, 0},
                             {::time(nullptr) - kPartLifetimeSeconds - 60, 0}};
    const std::string parts = folder + ".upload-parts/";
    // The live one's description is as old as its upload; its part was written to now.
    ASSERT_EQ(::utimensat(AT_FDCWD, (parts + live.id + ".info").c_str(), old, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, PartPathOf(folder, stale.id).c_str(), old, 0), 0);
    ResumableUpload read;
    EXPECT_FALSE(ReadResumableUpload(folder, stale.id, read)) << "an expired upload was found";
    ASSERT_TRUE(ReadResumableUpload(folder, finished.id, read));
    EXPECT_EQ(read.offset, 0u);
    ASSERT_EQ(::utimensat(AT_FDCWD, (parts + finished.id + ".info").c_str(), old, 0), 0);
    RemoveExpiredParts(folder);
    EXPECT_TRUE(ReadResumableUpload(folder, live.id, read));
    EXPECT_FALSE(std::filesystem::exists(PartPathOf(folder, stale.id)));
    EXPECT_FALSE(std::filesystem::exists(parts + stale.id + ".info"));
    EXPECT_FALSE(std::filesystem::exists(parts + finished.id + ".info"));
    EXPECT_TRUE(std::filesystem::exists(folder + "empty.bin"));
}

class VisitorContext : public CRequestContext {
  public:
    VisitorContext(CHttpSvrDoc& owner, const std::string& peer, bool isRelayed)
        : CRequestContext(owner, peer) {
        relayed = isRelayed;
    }
};

class UploadVisitor : public test::ServerFixture {
  protected:
    // The whole answer to a PUT of one byte into `url`, or to a resumable upload's POST.
    std::string Answer(bool resumable, const std::string& peer, bool relayed,
                       const std::string& url, const std::string& authorization) {
        VisitorContext context(*doc, peer, relayed);
        context.request.method = resumable ? "POST" : "PUT";
        context.request.url = url;
        context.request.version = "HTTP/1.0";
        if (resumable) {
            context.request.headers["tus-resumable"] = "1.0.0";
            context.request.headers["upload-length"] = "1";
            context.request.headers["upload-metadata"] = "filename eA==";
        } else {
            context.request.headers["content-length"] = "1";
            context.request.contentLength = 1;
        }
        if (!authorization.empty())
            context.request.headers["authorization"] = authorization;
        context.RunRequest();
        return std::string(context.OutputView());
    }
};

// Through the relay nothing is taken; from outside only into a folder with a password; by
// PUT and by a resumable upload's POST alike.
TEST_F(UploadVisitor, StrangersNeedAPasswordAndTheRelayTakesNothing) {
    Put("Open/.upload", "");
    Put("Locked/.upload", "");
    Put("Locked/.pass", "anna,pw\n");
    const std::string anna = "Basic YW5uYTpwdw==";
    const std::string stranger = "198.51.100.7:4000";
    struct Case {
        const char* name;
        bool resumable;
        std::string peer;
        bool relayed;
        std::string url;
        std::string authorization;
        std::string status;
    };
    const Case cases[] = {
        {"relayed", false, stranger, true, "/Open/x", "", "HTTP/1.0 413 Content Too Large"},
        {"relayed with the password", false, stranger, true, "/Locked/x", anna,
         "HTTP/1.0 413 Content Too Large"},
        {"relayed, folder without .upload", false, stranger, true, "/Gone/x", "",
         "HTTP/1.0 501 Not Implemented"},
        {"stranger, open folder", false, stranger, false, "/Open/x", "", "HTTP/1.0 403 Forbidden"},
        {"stranger, no password", false, stranger, false, "/Locked/x", "",
         "HTTP/1.0 401 Unauthorized"},
        // Past every refusal, this context cannot wait for a body.
        {"stranger with the password", false, stranger, false, "/Locked/x", anna,
         "HTTP/1.0 503 Service Unavailable"},
        {"loopback, open folder", false, "127.0.0.1:4000", false, "/Open/x", "",
         "HTTP/1.0 503 Service Unavailable"},
        {"resumable, relayed", true, stranger, true, "/Open/", "",
         "HTTP/1.0 413 Content Too Large"},
        {"resumable, relayed with the password", true, stranger, true, "/Locked/", anna,
         "HTTP/1.0 413 Content Too Large"},
        {"resumable, stranger, open folder", true, stranger, false, "/Open/", "",
         "HTTP/1.0 403 Forbidden"},
        {"resumable, stranger, no password", true, stranger, false, "/Locked/", "",
         "HTTP/1.0 401 Unauthorized"},
        {"resumable, stranger with the password", true, stranger, false, "/Locked/", anna,
         "HTTP/1.0 201 Created"},
        {"resumable, loopback, open folder", true, "127.0.0.1:4000", false, "/Open/", "",
         "HTTP/1.0 201 Created"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = Answer(c.resumable, c.peer, c.relayed, c.url, c.authorization);
        const std::string status = answer.substr(0, answer.find("\r\n"));
        EXPECT_EQ(status, c.status) << answer;
        if (c.status == "HTTP/1.0 413 Content Too Large") {
            EXPECT_NE(answer.find(LoadString(StringId::kUploadThroughRelay)), std::string::npos);
        }
    }
}

} // namespace
} // namespace tvn
