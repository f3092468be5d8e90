// Files sent with PUT: only folders with a ".upload" file take them, names are checked, a
// file that is there is never replaced, and nothing of a refused or cut upload stays.
#include "http/upload_store.h"
#include "support/server_fixture.h"
#include "support/spin.h"
#include "support/upload_folders.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace tvn {
namespace {

using test::Answer;
using test::NoRoom;
using test::PlentyOfRoom;
using test::VisibleNames;

std::size_t PartFiles(const std::string& folder) {
    std::error_code ec;
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(folder + "/.upload-parts", ec))
        ++count;
    return count;
}

class Upload : public test::UploadFolders {
  protected:
    Answer Send(const std::string& url, const std::string& body, const std::string& headers = "") {
        return Fetch("PUT " + url + " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n" + headers + "\r\n" + body);
    }
};

TEST_F(Upload, StoresUnderTheFirstFreeNameAndNeverReplaces) {
    const Answer first = Send("/Drop/IMG_0001.jpg", "first");
    EXPECT_EQ(first.statusLine, "HTTP/1.0 201 Created") << first.raw;
    EXPECT_EQ(first.Header("Location"), "/Drop/IMG_0001.jpg");
    const Answer second = Send("/Drop/IMG_0001.jpg", "second");
    EXPECT_EQ(second.statusLine, "HTTP/1.0 201 Created") << second.raw;
    EXPECT_EQ(second.Header("Location"), "/Drop/IMG_0001%20(2).jpg");
    EXPECT_EQ(Send("/Drop/kept.txt", "new").Header("Location"), "/Drop/kept%20(2).txt");
    EXPECT_EQ(test::ReadFile(root + "/Drop/IMG_0001.jpg"), "first");
    EXPECT_EQ(test::ReadFile(root + "/Drop/IMG_0001 (2).jpg"), "second");
    EXPECT_EQ(test::ReadFile(root + "/Drop/kept.txt"), "kept");
    EXPECT_EQ(test::ReadFile(root + "/Drop/kept (2).txt"), "new");
    EXPECT_EQ(PartFiles(root + "/Drop"), 0u);
    // An empty file is a file too, and the stored one is served at its Location.
    EXPECT_EQ(Send("/Drop/empty", "").statusLine, "HTTP/1.0 201 Created");
    EXPECT_EQ(std::filesystem::file_size(root + "/Drop/empty"), 0u);
    EXPECT_EQ(Get("/Drop/IMG_0001%20(2).jpg").body, "second");
}

TEST_F(Upload, RefusalsWriteNothing) {
    struct Case {
        const char* name;
        std::string request;
        std::string status;
    };
    const std::string longName(256, 'n');
    const Case cases[] = {
        // Where nothing takes uploads, PUT is answered as it always was.
        {"folder without .upload", "PUT /Plain/x.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 501 Not Implemented"},
        {"folder without .upload, body over 1 MiB",
         "PUT /Plain/x.txt HTTP/1.0\r\nContent-Length: 1048577\r\n\r\nx",
         "HTTP/1.0 400 Bad Request"},
        {"hidden folder", "PUT /.dot/x.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 403 Forbidden"},
        {"folder that is not there", "PUT /Gone/x.txt HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 501 Not Implemented"},
        {"a file as the folder", "PUT /Drop/kept.txt/x HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 501 Not Implemented"},
        {"over the folder's maxsize",
         "PUT /Drop/big HTTP/1.0\r\nContent-Length: 1000001\r\n\r\nxxxx",
         "HTTP/1.0 413 Content Too Large"},
        {"over what any upload may be",
         "PUT /Drop/big HTTP/1.0\r\nContent-Length: 1099511627777\r\n\r\nx",
         "HTTP/1.0 413 Content Too Large"},
        {"no length", "PUT /Drop/x HTTP/1.0\r\n\r\nx", "HTTP/1.0 411 Length Required"},
        {"a length that is no number", "PUT /Drop/x HTTP/1.0\r\nContent-Length: 1x\r\n\r\nx",
         "HTTP/1.0 411 Length Required"},
        {"chunked", "PUT /Drop/x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
         "HTTP/1.0 411 Length Required"},
        {"protected, no credentials", "PUT /Locked/x HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 401 Unauthorized"},
        {"protected, wrong credentials",
         "PUT /Locked/x HTTP/1.0\r\nAuthorization: Basic YW5uYTpubw==\r\nContent-Length: "
         "1\r\n\r\nx",
         "HTTP/1.0 401 Unauthorized"},
        {"folder holds maxfiles", "PUT /Few/x HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 507 Insufficient Storage"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = Fetch(c.request);
        EXPECT_EQ(answer.statusLine, c.status) << answer.raw;
    }
    EXPECT_EQ(VisibleNames(root + "/Plain"), std::vector<std::string>{"file.txt"});
    EXPECT_EQ(VisibleNames(root + "/Drop"), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(VisibleNames(root + "/Locked"), std::vector<std::string>{});
    EXPECT_EQ(VisibleNames(root + "/Few"), std::vector<std::string>{"one.txt"});
    EXPECT_FALSE(std::filesystem::exists(root + "/Plain/.upload-parts"));
    EXPECT_EQ(PartFiles(root + "/Drop"), 0u);

    SetFreeSpaceProbe(&NoRoom);
    EXPECT_EQ(Send("/Drop/x", "x").statusLine, "HTTP/1.0 507 Insufficient Storage");
    EXPECT_EQ(VisibleNames(root + "/Drop"), std::vector<std::string>{"kept.txt"});
    SetFreeSpaceProbe(&PlentyOfRoom);
    EXPECT_EQ(Send("/Locked/x", "x", "Authorization: Basic YW5uYTpwdw==\r\n").statusLine,
              "HTTP/1.0 201 Created");
}

TEST_F(Upload, NamesThatCannotBeFileNames) {
    struct Case {
        const char* name;
        std::string url;
        std::string status;
        std::string stored; // the file made, for a name taken
    };
    const Case cases[] = {
        {"no name", "/Drop/", "HTTP/1.0 400 Bad Request", ""},
        {"dot-file", "/Drop/.upload", "HTTP/1.0 400 Bad Request", ""},
        {"dot-dot", "/Drop/..", "HTTP/1.0 400 Bad Request", ""},
        {"backslash", "/Drop/a%5Cb", "HTTP/1.0 400 Bad Request", ""},
        {"control byte", "/Drop/a%01b", "HTTP/1.0 400 Bad Request", ""},
        {"escape of a NUL", "/Drop/a%00b", "HTTP/1.0 400 Bad Request", ""},
        {"escaped slashes into a hidden folder", "%2F.dot%2Fx", "HTTP/1.0 403 Forbidden", ""},
        {"256 bytes", "/Drop/" + std::string(256, 'n'), "HTTP/1.0 400 Bad Request", ""},
        {"out of the shared folder", "/Drop/../../x", "HTTP/1.0 501 Not Implemented", ""},
        {"255 bytes", "/Drop/" + std::string(255, 'n'), "HTTP/1.0 201 Created",
         std::string(255, 'n')},
        {"UTF-8 kept", "/Drop/%C3%9Cberblick%20%E2%9C%93.txt", "HTTP/1.0 201 Created",
         "\xC3\x9C"
         "berblick \xE2\x9C\x93.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = Fetch("PUT " + c.url + " HTTP/1.0\r\nContent-Length: 1\r\n\r\nx");
        EXPECT_EQ(answer.statusLine, c.status) << answer.raw;
        if (!c.stored.empty()) {
            EXPECT_EQ(test::ReadFile(root + "/Drop/" + c.stored), "x");
        }
    }
    EXPECT_EQ(VisibleNames(root + "/Drop").size(), 3u);
    EXPECT_EQ(VisibleNames(root).size(), 4u) << "a file went beside the folders";
    EXPECT_EQ(PartFiles(root + "/Drop"), 0u);
}

// A client that asks first gets leave to send; one that leaves half-way leaves nothing.
TEST_F(Upload, WaitingClientGetsContinueAndACutBodyLeavesNothing) {
    std::string interim;
    std::string final;
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient client;
        if (!client.Connect(port))
            return;
        client.Send("PUT /Drop/asked.txt HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                    "Content-Length: 5\r\n\r\n");
        interim = client.ReadSome(25);
        client.Send("asked");
        final = client.ReadAll();
    }));
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_TRUE(final.starts_with("HTTP/1.0 201 Created\r\n")) << final;
    EXPECT_EQ(test::ReadFile(root + "/Drop/asked.txt"), "asked");

    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient client;
        if (!client.Connect(port))
            return;
        client.Send("PUT /Drop/cut.bin HTTP/1.0\r\nContent-Length: 100000\r\n\r\n" +
                    std::string(40000, 'c'));
        client.Close();
    }));
    EXPECT_TRUE(test::SpinUntil([&] { return PartFiles(root + "/Drop") == 0; }));
    EXPECT_EQ(VisibleNames(root + "/Drop"), (std::vector<std::string>{"asked.txt", "kept.txt"}));
}

// Two visitors sending the same name at once both keep their file, whole.
TEST_F(Upload, TwoAtOnceUnderOneNameKeepBoth) {
    const std::string a(300000, 'a');
    const std::string b(300000, 'b');
    std::string answers[2];
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient one;
        test::LoopbackClient two;
        if (!one.Connect(port) || !two.Connect(port))
            return;
        const std::string head = "PUT /Drop/same.bin HTTP/1.0\r\nContent-Length: 300000\r\n\r\n";
        one.Send(head + a.substr(0, 150000));
        two.Send(head + b.substr(0, 150000));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        two.Send(b.substr(150000));
        one.Send(a.substr(150000));
        answers[0] = one.ReadAll();
        answers[1] = two.ReadAll();
    }));
    for (const std::string& answer : answers)
        EXPECT_TRUE(answer.starts_with("HTTP/1.0 201 Created\r\n")) << answer;
    const std::string first = test::ReadFile(root + "/Drop/same.bin");
    const std::string second = test::ReadFile(root + "/Drop/same (2).bin");
    EXPECT_TRUE((first == a && second == b) || (first == b && second == a));
}

// A disk that fills up under an upload: 507, and no cut file among the others.
TEST_F(Upload, FullDiskMidwayLeavesNoCutFile) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string small = root + "/Small";
    std::filesystem::create_directories(small);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k"), 0);
    test::WriteFile(small + "/.upload", "");
    const Answer answer = Send("/Small/big.bin", std::string(600000, 'z'));
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 507 Insufficient Storage") << answer.raw;
    EXPECT_TRUE(test::SpinUntil([&] { return PartFiles(small) == 0; }));
    EXPECT_EQ(VisibleNames(small), std::vector<std::string>{});
    EXPECT_EQ(Send("/Small/fits.txt", "fits").statusLine, "HTTP/1.0 201 Created");
    ::umount2(small.c_str(), MNT_DETACH);
}

} // namespace
} // namespace tvn
