// Resumable uploads: made with POST, asked with HEAD, filled with PATCH at the offset the
// server holds; a cut piece keeps what came, a second writer is turned away, and a request
// without the protocol's header is answered as it always was.
#include "http/upload_store.h"
#include "platform/resources.h"
#include "support/server_fixture.h"
#include "support/spin.h"
#include "support/upload_folders.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace tvn {
namespace {

using test::Answer;
using test::NoRoom;
using test::PlentyOfRoom;
using test::VisibleNames;

std::string Sha256(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::string Base64(const std::string& bytes) {
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

// Bytes that differ at every offset, so that a piece put at the wrong place shows.
std::string Noise(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

class Resumable : public test::UploadFolders {
  protected:
    Answer Create(const std::string& folder, const std::string& name, std::size_t length,
                  const std::string& headers = "") {
        return Fetch("POST " + folder + " HTTP/1.1\r\nTus-Resumable: 1.0.0\r\nUpload-Length: " +
                     std::to_string(length) + "\r\nUpload-Metadata: filename " + Base64(name) +
                     ",filetype dGV4dC9wbGFpbg==\r\n" + headers + "Connection: close\r\n\r\n");
    }
    // The id behind "?upload=" of a Location.
    static std::string IdOf(const Answer& created) {
        const std::string location = created.Header("Location");
        const auto at = location.find("?upload=");
        return at == std::string::npos ? "" : location.substr(at + 8);
    }
    Answer Head(const std::string& id) {
        return Fetch("HEAD /Drop/?upload=" + id + " HTTP/1.0\r\nTus-Resumable: 1.0.0\r\n\r\n");
    }
    static std::string PatchHead(const std::string& id, std::size_t offset, std::size_t length,
                                 bool close = true) {
        return "PATCH /Drop/?upload=" + id +
               " HTTP/1.1\r\nHost: x\r\nTus-Resumable: 1.0.0\r\nContent-Type: "
               "application/offset+octet-stream\r\nUpload-Offset: " +
               std::to_string(offset) + "\r\nContent-Length: " + std::to_string(length) +
               (close ? "\r\nConnection: close\r\n" : "\r\n");
    }
    Answer Patch(const std::string& id, std::size_t offset, const std::string& bytes) {
        return Fetch(PatchHead(id, offset, bytes.size()) + "\r\n" + bytes);
    }
};

TEST_F(Resumable, MadeAskedAndFilledToAWholeFileUnderAFreeName) {
    const std::string bytes = Noise(300000);
    const Answer created = Create("/Drop/", "kept.txt", bytes.size());
    ASSERT_EQ(created.statusLine, "HTTP/1.0 201 Created") << created.raw;
    const std::string id = IdOf(created);
    ASSERT_TRUE(IsUploadId(id)) << created.raw;
    EXPECT_EQ(created.Header("Location"), "/Drop/?upload=" + id);
    EXPECT_EQ(created.Header("Tus-Resumable"), "1.0.0");

    const Answer empty = Head(id);
    EXPECT_EQ(empty.statusLine, "HTTP/1.0 200 OK") << empty.raw;
    EXPECT_EQ(empty.Header("Upload-Offset"), "0");
    EXPECT_EQ(empty.Header("Upload-Length"), "300000");
    EXPECT_EQ(empty.Header("Cache-Control"), "no-store");
    EXPECT_EQ(empty.body, "");

    // A piece ends its connection, and its answer does not say otherwise.
    const Answer first = Fetch(PatchHead(id, 0, 100000, false) + "\r\n" + bytes.substr(0, 100000));
    EXPECT_EQ(first.statusLine, "HTTP/1.0 204 No Content") << first.raw;
    EXPECT_EQ(first.Header("Upload-Offset"), "100000");
    EXPECT_FALSE(first.Has("Connection")) << first.raw;
    EXPECT_EQ(Head(id).Header("Upload-Offset"), "100000");
    EXPECT_EQ(VisibleNames(root + "/Drop"), std::vector<std::string>{"kept.txt"});
    const Answer last = Patch(id, 100000, bytes.substr(100000));
    EXPECT_EQ(last.statusLine, "HTTP/1.0 204 No Content") << last.raw;
    EXPECT_EQ(last.Header("Upload-Offset"), "300000");

    // The file takes the next free name; the one there stays.
    EXPECT_EQ(test::ReadFile(root + "/Drop/kept.txt"), "kept");
    EXPECT_EQ(Sha256(test::ReadFile(root + "/Drop/kept (2).txt")), Sha256(bytes));
    // A client whose last answer got lost learns that the upload is whole.
    const Answer whole = Head(id);
    EXPECT_EQ(whole.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(whole.Header("Upload-Offset"), "300000");
    EXPECT_EQ(Patch(id, 300000, "").statusLine, "HTTP/1.0 204 No Content");
    EXPECT_EQ(Patch(id, 300000, "x").statusLine, "HTTP/1.0 413 Content Too Large");

    // An empty file is whole at once.
    const Answer none = Create("/Drop/", "empty.txt", 0);
    EXPECT_EQ(none.statusLine, "HTTP/1.0 201 Created");
    EXPECT_EQ(Head(IdOf(none)).Header("Upload-Offset"), "0");
    EXPECT_TRUE(std::filesystem::exists(root + "/Drop/empty.txt"));
}

TEST_F(Resumable, EdgeCasesAnsweredWithTheirStatus) {
    const std::string id = IdOf(Create("/Drop/", "edge.bin", 10));
    ASSERT_TRUE(IsUploadId(id));
    const std::string gone(32, 'a');
    const std::string tus = "Tus-Resumable: 1.0.0\r\n";
    const std::string meta = "Upload-Metadata: filename ZWRnZS5iaW4=\r\n";
    const std::string type = "Content-Type: application/offset+octet-stream\r\n";
    struct Case {
        const char* name;
        std::string request;
        std::string status;
    };
    const Case cases[] = {
        {"version told", "OPTIONS /Drop/ HTTP/1.0\r\nTus-Resumable: 0.2.2\r\n\r\n",
         "HTTP/1.0 204 No Content"},
        {"another version",
         "POST /Drop/ HTTP/1.0\r\nTus-Resumable: 0.2.2\r\nUpload-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 412 Precondition Failed"},
        {"no length", "POST /Drop/ HTTP/1.0\r\n" + tus + meta + "\r\n", "HTTP/1.0 400 Bad Request"},
        {"a length that is no number",
         "POST /Drop/ HTTP/1.0\r\n" + tus + "Upload-Length: 1x\r\n" + meta + "\r\n",
         "HTTP/1.0 400 Bad Request"},
        {"length deferred",
         "POST /Drop/ HTTP/1.0\r\n" + tus + "Upload-Defer-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 400 Bad Request"},
        {"no file name", "POST /Drop/ HTTP/1.0\r\n" + tus + "Upload-Length: 1\r\n\r\n",
         "HTTP/1.0 400 Bad Request"},
        {"a file name that is no Base64",
         "POST /Drop/ HTTP/1.0\r\n" + tus +
             "Upload-Length: 1\r\nUpload-Metadata: filename a*b\r\n\r\n",
         "HTTP/1.0 400 Bad Request"},
        {"over the folder's maxsize",
         "POST /Drop/ HTTP/1.0\r\n" + tus + "Upload-Length: 1000001\r\n" + meta + "\r\n",
         "HTTP/1.0 413 Content Too Large"},
        {"hidden folder", "POST /.dot/ HTTP/1.0\r\n" + tus + "Upload-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 403 Forbidden"},
        {"protected, no credentials",
         "POST /Locked/ HTTP/1.0\r\n" + tus + "Upload-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 401 Unauthorized"},
        {"folder holds maxfiles",
         "POST /Few/ HTTP/1.0\r\n" + tus + "Upload-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 507 Insufficient Storage"},
        {"no upload named", "HEAD /Drop/ HTTP/1.0\r\n" + tus + "\r\n", "HTTP/1.0 404 Not Found"},
        {"an id that is none", "HEAD /Drop/?upload=../x HTTP/1.0\r\n" + tus + "\r\n",
         "HTTP/1.0 404 Not Found"},
        {"unknown upload", "HEAD /Drop/?upload=" + gone + " HTTP/1.0\r\n" + tus + "\r\n",
         "HTTP/1.0 404 Not Found"},
        {"unknown upload, a piece",
         "PATCH /Drop/?upload=" + gone + " HTTP/1.0\r\n" + tus + type +
             "Upload-Offset: 0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 404 Not Found"},
        {"no version",
         "PATCH /Drop/?upload=" + id + " HTTP/1.0\r\nTus-Resumable:\r\n" + type +
             "Upload-Offset: 0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 412 Precondition Failed"},
        {"not the piece type",
         "PATCH /Drop/?upload=" + id + " HTTP/1.0\r\n" + tus +
             "Content-Type: application/octet-stream\r\nUpload-Offset: 0\r\nContent-Length: "
             "1\r\n\r\nx",
         "HTTP/1.0 415 Unsupported Media Type"},
        {"no offset",
         "PATCH /Drop/?upload=" + id + " HTTP/1.0\r\n" + tus + type + "Content-Length: 1\r\n\r\nx",
         "HTTP/1.0 400 Bad Request"},
        {"the wrong offset",
         "PATCH /Drop/?upload=" + id + " HTTP/1.0\r\n" + tus + type +
             "Upload-Offset: 3\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 409 Conflict"},
        {"more than announced",
         "PATCH /Drop/?upload=" + id + " HTTP/1.0\r\n" + tus + type +
             "Upload-Offset: 0\r\nContent-Length: 11\r\n\r\nxxxxxxxxxxx",
         "HTTP/1.0 413 Content Too Large"},
        {"chunked",
         "PATCH /Drop/?upload=" + id + " HTTP/1.1\r\n" + tus + type +
             "Upload-Offset: 0\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
         "HTTP/1.0 411 Length Required"},
        // Without the protocol's header, or where nothing takes uploads, as it always was.
        {"POST without the header", "POST /Drop/ HTTP/1.0\r\nUpload-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 501 Not Implemented"},
        {"OPTIONS without the header", "OPTIONS /Drop/ HTTP/1.0\r\n\r\n",
         "HTTP/1.0 501 Not Implemented"},
        {"PATCH without the header",
         "PATCH /Drop/?upload=" + id + " HTTP/1.0\r\n" + type +
             "Upload-Offset: 0\r\nContent-Length: 1\r\n\r\nx",
         "HTTP/1.0 501 Not Implemented"},
        {"folder without .upload",
         "POST /Plain/ HTTP/1.0\r\n" + tus + "Upload-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 501 Not Implemented"},
        {"folder without .upload, a long piece",
         "PATCH /Plain/?upload=" + id + " HTTP/1.0\r\n" + tus + type +
             "Upload-Offset: 0\r\nContent-Length: 1048577\r\n\r\nx",
         "HTTP/1.0 400 Bad Request"},
        {"folder that is not there",
         "POST /Gone/ HTTP/1.0\r\n" + tus + "Upload-Length: 1\r\n" + meta + "\r\n",
         "HTTP/1.0 501 Not Implemented"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = Fetch(c.request);
        EXPECT_EQ(answer.statusLine, c.status) << answer.raw;
        const bool spoken = c.status.find("501") == std::string::npos &&
                            c.status.find("400 Bad Request") == std::string::npos;
        if (spoken) {
            EXPECT_EQ(answer.Header("Tus-Resumable"), "1.0.0");
        }
    }
    EXPECT_EQ(Head(id).Header("Upload-Offset"), "0") << "a refused piece wrote something";
    EXPECT_EQ(VisibleNames(root + "/Drop"), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(VisibleNames(root + "/Locked"), std::vector<std::string>{});
    EXPECT_EQ(VisibleNames(root + "/Few"), std::vector<std::string>{"one.txt"});
    EXPECT_FALSE(std::filesystem::exists(root + "/Plain/.upload-parts"));

    // What the server tells of itself, and of another version.
    const Answer options = Fetch("OPTIONS /Drop/ HTTP/1.0\r\n" + tus + "\r\n");
    EXPECT_EQ(options.Header("Tus-Version"), "1.0.0");
    EXPECT_EQ(options.Header("Tus-Extension"), "creation,termination");
    EXPECT_EQ(options.Header("Tus-Max-Size"), "1000000");
    const Answer other =
        Fetch("HEAD /Drop/?upload=" + id + " HTTP/1.0\r\nTus-Resumable: 2.0.0\r\n\r\n");
    EXPECT_EQ(other.statusLine, "HTTP/1.0 412 Precondition Failed");
    EXPECT_EQ(other.Header("Tus-Version"), "1.0.0");

    // A disk that would be left too full takes no new upload, and no piece of one.
    SetFreeSpaceProbe(&NoRoom);
    EXPECT_EQ(Create("/Drop/", "full.bin", 1).statusLine, "HTTP/1.0 507 Insufficient Storage");
    EXPECT_EQ(Patch(id, 0, "x").statusLine, "HTTP/1.0 507 Insufficient Storage");
    SetFreeSpaceProbe(&PlentyOfRoom);
    EXPECT_EQ(Head(id).Header("Upload-Offset"), "0");

    // Credentials open the protected folder; an upload dropped is gone.
    EXPECT_EQ(Create("/Locked/", "in.txt", 1, "Authorization: Basic YW5uYTpwdw==\r\n").statusLine,
              "HTTP/1.0 201 Created");
    EXPECT_EQ(Fetch("DELETE /Drop/?upload=" + id + " HTTP/1.0\r\n" + tus + "\r\n").statusLine,
              "HTTP/1.0 204 No Content");
    EXPECT_EQ(Head(id).statusLine, "HTTP/1.0 404 Not Found");
    EXPECT_EQ(Patch(id, 0, "x").statusLine, "HTTP/1.0 404 Not Found");
}

TEST_F(Resumable, NamesThatCannotBeFileNames) {
    struct Case {
        const char* name;
        std::string fileName;
        bool taken;
    };
    const Case cases[] = {
        {"no name", "", false},
        {"dot-file", ".upload", false},
        {"dot-dot", "..", false},
        {"slash", "a/b", false},
        {"backslash", "a\\b", false},
        {"control byte",
         "a\x01"
         "b",
         false},
        {"NUL", std::string("a\0b", 3), false},
        {"line feed", "a\nlength=1", false},
        {"256 bytes", std::string(256, 'n'), false},
        {"255 bytes", std::string(255, 'n'), true},
        {"UTF-8 kept",
         "\xC3\x9C"
         "berblick \xE2\x9C\x93.txt",
         true},
    };
    std::size_t taken = 1; // kept.txt
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer created = Create("/Drop/", c.fileName, 1);
        if (!c.taken) {
            EXPECT_EQ(created.statusLine, "HTTP/1.0 400 Bad Request") << created.raw;
            continue;
        }
        ASSERT_EQ(created.statusLine, "HTTP/1.0 201 Created") << created.raw;
        EXPECT_EQ(Patch(IdOf(created), 0, "x").statusLine, "HTTP/1.0 204 No Content");
        EXPECT_EQ(test::ReadFile(root + "/Drop/" + c.fileName), "x");
        ++taken;
    }
    EXPECT_EQ(VisibleNames(root + "/Drop").size(), taken);
    EXPECT_EQ(VisibleNames(root).size(), 4u) << "a file went beside the folders";
}

// A piece cut off keeps the bytes that came; the client asks for the offset and sends the
// rest, and the file is the one it had.
TEST_F(Resumable, ACutPieceKeepsWhatCameAndTheRestCompletesTheFile) {
    const std::string bytes = Noise(900000);
    const std::string id = IdOf(Create("/Drop/", "film.bin", bytes.size()));
    ASSERT_TRUE(IsUploadId(id));
    const std::size_t cut = 345679;
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient client;
        if (!client.Connect(port))
            return;
        client.Send(PatchHead(id, 0, bytes.size()) + "\r\n" + bytes.substr(0, cut));
        client.Close();
    }));
    std::string offset;
    EXPECT_TRUE(test::SpinUntil([&] {
        offset = Head(id).Header("Upload-Offset");
        return offset == std::to_string(cut);
    })) << offset;
    EXPECT_EQ(VisibleNames(root + "/Drop"), std::vector<std::string>{"kept.txt"});
    // A second cut, then the rest.
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient client;
        if (!client.Connect(port))
            return;
        client.Send(PatchHead(id, cut, bytes.size() - cut) + "\r\n" + bytes.substr(cut, 1000));
        client.Abort();
    }));
    EXPECT_TRUE(test::SpinUntil([&] {
        offset = Head(id).Header("Upload-Offset");
        return offset == std::to_string(cut + 1000);
    })) << offset;
    const std::size_t at = std::stoul(offset);
    const Answer rest = Patch(id, at, bytes.substr(at));
    EXPECT_EQ(rest.statusLine, "HTTP/1.0 204 No Content") << rest.raw;
    EXPECT_EQ(Sha256(test::ReadFile(root + "/Drop/film.bin")), Sha256(bytes));
}

// While one piece is on its way, another for the same upload is turned away: the first
// keeps the part to itself, and the file ends whole.
TEST_F(Resumable, TwoPiecesAtOnceTheSecondIsTurnedAway) {
    const std::string bytes = Noise(200000);
    const std::string id = IdOf(Create("/Drop/", "once.bin", bytes.size()));
    ASSERT_TRUE(IsUploadId(id));
    std::string interim;
    std::string second;
    std::string first;
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient one;
        test::LoopbackClient two;
        if (!one.Connect(port) || !two.Connect(port))
            return;
        // Leave to send comes once the piece holds the part.
        one.Send(PatchHead(id, 0, bytes.size()) + "Expect: 100-continue\r\n\r\n");
        interim = one.ReadSome(25);
        two.Send(PatchHead(id, 0, bytes.size()) + "\r\n" + bytes);
        second = two.ReadAll();
        one.Send(bytes);
        first = one.ReadAll();
    }));
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_TRUE(second.starts_with("HTTP/1.0 409 Conflict\r\n")) << second;
    EXPECT_NE(second.find(LoadString(StringId::kUploadBusy)), std::string::npos) << second;
    EXPECT_TRUE(first.starts_with("HTTP/1.0 204 No Content\r\n")) << first;
    EXPECT_EQ(Sha256(test::ReadFile(root + "/Drop/once.bin")), Sha256(bytes));
    EXPECT_EQ(VisibleNames(root + "/Drop"), (std::vector<std::string>{"kept.txt", "once.bin"}));
}

} // namespace
} // namespace tvn
