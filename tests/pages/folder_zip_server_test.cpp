// A folder as one ZIP download from a listening server, read back by Python's zipfile (and
// unzip, where installed) as a visitor's client would: names, bytes, what stays out, HEAD,
// kept connections, a file cut while it is sent, and a file over 4 GiB.
#include "pages/page_stages.h"
#include "platform/unique_fd.h"
#include "support/command_output.h"
#include "support/server_fixture.h"
#include "zip_read_back.h"

#include <QByteArray>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tvn {
namespace {

using Names = std::vector<std::string>;
using namespace std::chrono_literals;

std::string Basic(const std::string& userColonPassword) {
    return "Authorization: Basic " +
           QByteArray::fromStdString(userColonPassword).toBase64().toStdString() + "\r\n";
}

class FolderZipServer : public test::ServerFixture {
  protected:
    void BeforeServing() override { doc->SetContentStages(&pageStages); }

    void SetUp() override {
        ServerFixture::SetUp();
        Put("Album/a.txt", "alpha");
        Put("Album/Fotos/Größe – 写真.jpg", "\xFF\xD8 not really a picture");
        Put("Album/.hidden.txt", "dot-file");
        Put("Album/.thumbs/t.jpg", "below a dot-folder");
        Put("Album/Anna/.pass", "anna,pw\n");
        Put("Album/Anna/mine.txt", "anna's");
        Put("Album/Bob/.pass", "bob,pw\n");
        Put("Album/Bob/his.txt", "bob's");
    }

    // The archive of an answer, saved and read back.
    test::ReadArchive ReadBack(const test::Answer& answer) {
        const std::string path = temp / "download.zip";
        test::WriteFile(path, answer.body);
        return test::ReadZipFile(path);
    }

    // A sparse file of `size` bytes below the share, ending in `tail`.
    bool PutSparse(const std::string& relative, off_t size, std::string_view tail) {
        const std::string path = root + "/" + relative;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        const off_t at = size - static_cast<off_t>(tail.size());
        return fd.Valid() && ::ftruncate(fd.Get(), size) == 0 &&
               ::pwrite(fd.Get(), tail.data(), tail.size(), at) ==
                   static_cast<ssize_t>(tail.size());
    }

    CPageStages pageStages;
};

TEST_F(FolderZipServer, ArchiveHoldsWhatTheVisitorMaySee) {
    struct Case {
        const char* label;
        std::string headers;
        Names names;
    };
    const Case cases[] = {
        {"no password", "", {"Fotos/", "Fotos/Größe – 写真.jpg", "a.txt"}},
        {"Anna's password",
         Basic("anna:pw"),
         {"Anna/", "Anna/mine.txt", "Fotos/", "Fotos/Größe – 写真.jpg", "a.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const test::Answer answer = Get("/Album/?zip", c.headers);
        ASSERT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(answer.Header("Content-Type"), "application/zip");
        EXPECT_EQ(answer.Header("Content-Disposition"),
                  "attachment; filename=\"Album.zip\"; filename*=UTF-8''Album.zip");
        EXPECT_EQ(answer.Header("Content-Length"), std::to_string(answer.body.size()));
        const test::ReadArchive read = ReadBack(answer);
        ASSERT_TRUE(read.ok) << read.output;
        EXPECT_EQ(read.Names(), c.names);
        EXPECT_EQ(read.members.back().head, test::Hex("alpha"));
        EXPECT_EQ(read.members[read.members.size() - 2].head,
                  test::Hex("\xFF\xD8 not really a picture"));
        for (const test::ReadMember& member : read.members)
            EXPECT_EQ(member.flags, "0808") << member.name;
    }
    if (test::RunCommand("command -v unzip >/dev/null").exitCode != 0)
        return;
    const std::string path = temp / "download.zip";
    const test::CommandOutput tested = test::RunCommand("unzip -t " + test::ShellQuoted(path));
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    EXPECT_NE(tested.output.find("No errors detected"), std::string::npos) << tested.output;
}

TEST_F(FolderZipServer, HeadTellsTheLengthOfTheArchive) {
    const test::Answer got = Get("/Album/?zip");
    const test::Answer head = Fetch("HEAD /Album/?zip HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(head.Header("Content-Length"), std::to_string(got.body.size()));
    EXPECT_EQ(head.Header("Content-Disposition"), got.Header("Content-Disposition"));
    EXPECT_TRUE(head.complete);
    EXPECT_EQ(head.body, "");
}

// The folder's own list applies as it does to its listing; the root is named after the server.
TEST_F(FolderZipServer, FolderPasswordAndHiddenFolderAsForTheListing) {
    struct Case {
        std::string url;
        std::string headers;
        std::string status;
    };
    const Case cases[] = {
        {"/Album/Anna/?zip", "", "HTTP/1.0 401 Unauthorized"},
        {"/Album/Anna/?zip", Basic("anna:pw"), "HTTP/1.0 200 OK"},
        {"/Album/Anna/?zip", Basic("bob:pw"), "HTTP/1.0 401 Unauthorized"},
        {"/Album/.thumbs/?zip", "", "HTTP/1.0 200 OK"}, // the refusal text, not an archive
        {"/?zip", "", "HTTP/1.0 200 OK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url + " " + c.headers);
        const test::Answer answer = Get(c.url, c.headers);
        EXPECT_EQ(answer.statusLine, c.status);
        const bool archive = answer.Header("Content-Type") == "application/zip";
        EXPECT_EQ(archive, c.status.ends_with("OK") && c.url.find(".thumbs") == std::string::npos);
    }
    const test::Answer rootArchive = Get("/?zip");
    EXPECT_EQ(rootArchive.Header("Content-Disposition"),
              "attachment; filename=\"" + doc->HostName() + ".zip\"; filename*=UTF-8''" +
                  doc->HostName() + ".zip");
    const test::ReadArchive read = ReadBack(rootArchive);
    ASSERT_TRUE(read.ok) << read.output;
    EXPECT_EQ(read.Names().front(), "Album/");
}

// Only a template that holds the pair shows the link; a folder asked for without the word
// gets its listing, byte for byte what the template makes without the pair.
TEST_F(FolderZipServer, ListingShowsTheLinkOnlyWhereTheTemplateAsksForIt) {
    const std::string builtIn = Get("/Album/").body;
    const std::string link = "<p class=\"tvn-download\"><a href=\"?zip\" rel=\"nofollow\">"
                             "Download all</a></p>";
    const auto at = builtIn.find(link);
    ASSERT_NE(at, std::string::npos) << builtIn.substr(0, 1500);
    EXPECT_EQ(builtIn.find("?zip", at + link.size()), std::string::npos);

    Put("Album/.dir", "<h1>x</h1><fileitem>[%FILENAME%]</fileitem><p>end</p>");
    const test::Answer ownAnswer = Get("/Album/");
    EXPECT_EQ(ownAnswer.body, "<h1>x</h1>[a.txt]<p>end</p>");
    EXPECT_EQ(ownAnswer.Header("Content-Type"), "text/html");
    Put("Album/.dir", "<h1>x</h1><downloadall></downloadall><p>end</p>");
    EXPECT_EQ(Get("/Album/").body, "<h1>x</h1>" + link + "<p>end</p>");
}

TEST_F(FolderZipServer, KeptConnectionCarriesTheNextRequest) {
    const std::string alone = Get("/Album/a.txt").body;
    std::string raw;
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient client;
        if (!client.Connect(port))
            return;
        client.Send("GET /Album/?zip HTTP/1.1\r\nHost: x\r\n\r\n"
                    "GET /Album/a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        raw = client.ReadAll();
    }));
    const test::Answer first = test::ParseAnswer(raw);
    ASSERT_EQ(first.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(first.Header("Connection"), "keep-alive");
    const std::size_t length = std::stoul(first.Header("Content-Length"));
    ASSERT_GE(first.body.size(), length);
    const test::Answer second = test::ParseAnswer(first.body.substr(length));
    EXPECT_EQ(second.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(second.body, alone);
    test::Answer archive = first;
    archive.body.resize(length);
    EXPECT_TRUE(ReadBack(archive).ok);
}

// A file cut while its bytes go out cannot become the archive the length announced: the
// connection ends short of it, also when the client asked to keep it, rather than leave a
// client with an archive that reads as whole.
TEST_F(FolderZipServer, FileCutWhileSentEndsTheConnectionShort) {
    ASSERT_TRUE(PutSparse("Cut/big.bin", off_t(64) << 20, "end"));
    std::string raw;
    std::chrono::steady_clock::duration took{};
    ASSERT_TRUE(test::RunWhileServing(
        [&] {
            test::LoopbackClient client;
            if (!client.Connect(port))
                return;
            client.Send("GET /Cut/?zip HTTP/1.1\r\nHost: x\r\n\r\n");
            raw = client.ReadSome(200);
            ASSERT_EQ(::truncate((root + "/Cut/big.bin").c_str(), 1 << 20), 0);
            const auto start = std::chrono::steady_clock::now();
            raw += client.ReadAll(20000ms);
            took = std::chrono::steady_clock::now() - start;
        },
        30000ms));
    const test::Answer answer = test::ParseAnswer(raw);
    ASSERT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    const std::size_t length = std::stoul(answer.Header("Content-Length"));
    EXPECT_GT(length, std::size_t(64) << 20);
    EXPECT_LT(answer.body.size(), length);
    EXPECT_LT(took, std::chrono::seconds(10)) << "the server kept the connection";
}

TEST_F(FolderZipServer, FileOverFourGiBTakesZip64) {
    const off_t big = (off_t(4) << 30) + 17;
    std::error_code ec;
    if (std::filesystem::space(temp.Path(), ec).available < (std::uintmax_t(64) << 20) || ec)
        GTEST_SKIP() << "no room for the sparse files";
    ASSERT_TRUE(PutSparse("Big/big.bin", big, "the end"));
    Put("Big/z.txt", "behind 4 GiB"); // its offset needs ZIP64 as well
    test::ReadArchive read;
    ASSERT_TRUE(test::RunWhileServing(
        [&] {
            read = test::ReadZipWith("--fetch " + std::to_string(port) + " /Big/?zip " +
                                     test::ShellQuoted(temp / "big.zip"));
        },
        600000ms));
    ASSERT_TRUE(read.ok) << read.output;
    ASSERT_EQ(read.Names(), (Names{"big.bin", "z.txt"}));
    EXPECT_EQ(read.members[0].size, std::to_string(big));
    EXPECT_EQ(read.members[0].head, std::string(64, '0'));
    EXPECT_EQ(read.members[1].head, test::Hex("behind 4 GiB"));
}

} // namespace
} // namespace tvn
