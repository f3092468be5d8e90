// A resumable upload outlives the program: the built program is killed in the middle of a
// piece, started again, and the client goes on from the offset it is told; the stored file
// has the SHA-256 of the one sent.
#include "startup_fixture.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QProcess>
#include <csignal>
#include <filesystem>
#include <string>

namespace tvn::test {
namespace {

std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// The value of header `name` in the raw answer `answer`; empty when absent.
std::string HeaderOf(const std::string& answer, const std::string& name) {
    const auto at = answer.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return {};
    const auto start = at + name.size() + 4;
    return answer.substr(start, answer.find("\r\n", start) - start);
}

class UploadResumeTest : public StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        WriteSettings();
        std::filesystem::create_directories(Path("site/Drop"));
        WriteFileBytes(Path("site/Drop/.upload"), "");
        program = Start();
        ASSERT_TRUE(WaitForListening(port));
    }
    void TearDown() override {
        if (program) {
            ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
            Wait(*program);
        }
    }

    std::string Exchange(const std::string& request) const {
        LoopbackClient client;
        if (!client.Connect(port))
            return {};
        client.Send(request);
        return client.ReadAll(std::chrono::milliseconds(kWaitMs));
    }
    std::string PatchHead(const std::string& id, std::size_t offset, std::size_t length) const {
        return "PATCH /Drop/?upload=" + id +
               " HTTP/1.1\r\nHost: x\r\nTus-Resumable: 1.0.0\r\nContent-Type: "
               "application/offset+octet-stream\r\nUpload-Offset: " +
               std::to_string(offset) + "\r\nContent-Length: " + std::to_string(length) +
               "\r\n\r\n";
    }
    // The size of the one part file of the folder, -1 while there is none.
    long long PartSize() const {
        std::error_code ec;
        for (const auto& entry :
             std::filesystem::directory_iterator(Path("site/Drop/.upload-parts"), ec)) {
            if (entry.path().extension() == ".part")
                return static_cast<long long>(entry.file_size(ec));
        }
        return -1;
    }

    std::unique_ptr<QProcess> program;
};

TEST_F(UploadResumeTest, AKilledProgramResumesTheUploadWhereItsDiskStopped) {
    std::string bytes(24 << 20, '\0');
    std::uint64_t state = 88172645463325252ull;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state >> 24);
    }
    const std::string created = Exchange(
        "POST /Drop/ HTTP/1.0\r\nTus-Resumable: 1.0.0\r\nUpload-Length: " +
        std::to_string(bytes.size()) + "\r\nUpload-Metadata: filename ZmlsbS5iaW4=\r\n\r\n");
    ASSERT_TRUE(created.starts_with("HTTP/1.0 201 Created\r\n")) << created;
    const std::string location = HeaderOf(created, "Location");
    const std::string id = location.substr(location.find("?upload=") + 8);

    // Half the file goes out; once some of it is on disk, the program is killed.
    {
        LoopbackClient client;
        ASSERT_TRUE(client.Connect(port));
        client.Send(PatchHead(id, 0, bytes.size()));
        client.Send(std::string_view(bytes).substr(0, bytes.size() / 2));
        QElapsedTimer clock;
        clock.start();
        while (PartSize() < (4 << 20) && clock.elapsed() < kWaitMs)
            QThread::msleep(5);
        ASSERT_GE(PartSize(), 4 << 20);
        ::kill(static_cast<pid_t>(program->processId()), SIGKILL);
        Wait(*program);
    }
    EXPECT_FALSE(std::filesystem::exists(Path("site/Drop/film.bin")));

    program = Start();
    ASSERT_TRUE(WaitForListening(port));
    const std::string head =
        Exchange("HEAD " + location + " HTTP/1.0\r\nTus-Resumable: 1.0.0\r\n\r\n");
    ASSERT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
    EXPECT_EQ(HeaderOf(head, "Upload-Length"), std::to_string(bytes.size()));
    const std::size_t offset = std::stoull(HeaderOf(head, "Upload-Offset"));
    EXPECT_GE(offset, std::size_t(4) << 20);
    EXPECT_LE(offset, bytes.size() / 2);
    EXPECT_EQ(static_cast<long long>(offset), PartSize());

    // The upload's address is the folder's to a browser; the listing seen now is kept.
    const std::string before = HttpGet(port, location);
    EXPECT_TRUE(before.starts_with("HTTP/1.0 200 OK\r\n")) << before.substr(0, 200);
    EXPECT_EQ(before.find("film.bin"), std::string::npos);

    const std::string done =
        Exchange(PatchHead(id, offset, bytes.size() - offset) + bytes.substr(offset));
    EXPECT_TRUE(done.starts_with("HTTP/1.0 204 No Content\r\n")) << done;
    EXPECT_EQ(HeaderOf(done, "Upload-Offset"), std::to_string(bytes.size()));
    const auto stored = ReadFileBytes(Path("site/Drop/film.bin"));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(Sha256(*stored), Sha256(bytes));
    EXPECT_EQ(PartSize(), -1);
    // The kept listing heard of the new file.
    const std::string after = HttpGet(port, "/Drop/");
    EXPECT_NE(after.find("film.bin"), std::string::npos) << after.substr(0, 200);
}

} // namespace
} // namespace tvn::test
