#pragma once

// A listening server document on a loopback port with a shared folder and a settings file
// of its own in a temporary folder, content stages that a test can watch, and helpers that
// exchange raw bytes with it and take the answer apart.
#include "config/settings_section.h"
#include "http/content_stages.h"
#include "http/http_svr_doc.h"
#include "http/mime_table.h"
#include "http/request_context.h"
#include "http/request_socket.h"
#include "support/loopback_client.h"
#include "support/spin.h"
#include "support/temp_dir.h"

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tvn::test {

// Content stages that answer a folder with a small page naming it, and can hold thumbnails.
class FakeStages : public IContentStages {
  public:
    bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) override {
        const auto it = thumbnails.find(std::string(url));
        if (it == thumbnails.end())
            return false;
        jpeg = it->second.first;
        picture = it->second.second;
        return true;
    }
    StageResult SendFolderListing(CRequestContext& context) override {
        listed.push_back(context.request.localPath);
        context.answer.Start(HttpStatus::kOk);
        context.answer.AddHeader("Content-Type", "text/html");
        context.answer.AppendBody("listing of " + context.request.localPath);
        return StageResult::kAnswered;
    }
    StageResult HandleFile(CRequestContext&) override {
        if (beforeContent)
            beforeContent(); // the last stage before the file's own bytes
        return StageResult::kGoOn;
    }
    StageResult WrapPage(CRequestContext&) override { return StageResult::kGoOn; }

    std::function<void()> beforeContent;
    // Thumbnail URL -> its bytes and the local path of its picture.
    std::map<std::string, std::pair<std::string, std::string>> thumbnails;
    std::vector<std::string> listed; // local paths of the folders listed
};

// One answer taken apart: the status line, the header lines in order, and the body.
struct Answer {
    std::string raw;
    std::string statusLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool complete = false; // the head ended with an empty line

    // The names of the header lines, in order.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& header : headers)
            names.push_back(header.first);
        return names;
    }
    // The value of the first header `name` (exact spelling); empty when absent.
    std::string Header(const std::string& name) const {
        for (const auto& header : headers) {
            if (header.first == name)
                return header.second;
        }
        return {};
    }
    bool Has(const std::string& name) const {
        for (const auto& header : headers) {
            if (header.first == name)
                return true;
        }
        return false;
    }
};

inline Answer ParseAnswer(std::string raw) {
    Answer answer;
    answer.raw = std::move(raw);
    const auto headEnd = answer.raw.find("\r\n\r\n");
    const std::string head = answer.raw.substr(0, headEnd);
    answer.complete = headEnd != std::string::npos;
    if (answer.complete)
        answer.body = answer.raw.substr(headEnd + 4);
    std::size_t pos = 0;
    bool first = true;
    while (pos <= head.size()) {
        auto end = head.find("\r\n", pos);
        if (end == std::string::npos)
            end = head.size();
        const std::string line = head.substr(pos, end - pos);
        if (first) {
            answer.statusLine = line;
            first = false;
        } else {
            const auto colon = line.find(": ");
            if (colon != std::string::npos)
                answer.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
            else
                answer.headers.emplace_back(line, "");
        }
        pos = end + 2;
    }
    return answer;
}

class ServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        root = temp / "Share";
        if (CreateRoot())
            std::filesystem::create_directories(root);
        logPath = temp / "tvn.log";
        WriteFile(temp / "TVN.cfg", "[SOFTWARE\\Tarvolin\\1.0]\nLogFileName=" + logPath +
                                        "\nLogFileSize=1\nBlogSound=none\nServiceHost=\n" +
                                        MoreSettings());
        SettingsSection::OverrideFilePath(temp / "TVN.cfg");
        // The system's own types must not decide what the tests expect.
        WriteFile(temp / "mime.types", "# test types\ntext/x-test-system   tsys  TSYS2\n");
        SetSystemMimeTypesFile(temp / "mime.types");
        doc = std::make_unique<CHttpSvrDoc>(8080, root);
        doc->SetContentStages(&stages);
        doc->reportError = [this](const std::string& message) { errors.push_back(message); };
        BeforeServing();
        for (int attempt = 0; attempt < 5 && !doc->IsListening(); ++attempt) {
            port = FreeLoopbackPort();
            doc->StartServing(port, root, false);
        }
        ASSERT_TRUE(doc->IsListening()) << "no loopback port could be listened on";
    }

    void TearDown() override {
        if (doc)
            doc->StopServing();
        // Connections refer to the document: let every one of them end first.
        for (int i = 0; i < 100 && doc->Connections().LiveCount() > 0; ++i)
            SpinEventLoop(20ms);
        doc.reset();
        SettingsSection::OverrideFilePath("");
        SetSystemMimeTypesFile("/etc/mime.types");
    }

    virtual bool CreateRoot() const { return true; }
    // Runs after the document is made, before it serves.
    virtual void BeforeServing() {}
    // Until the HTTPS listener listens (its certificate may still be made) or an error was
    // reported; whether it listens.
    bool WaitForTls() {
        return SpinUntil([this] { return doc->IsListeningTls() || !errors.empty(); }, 20000);
    }
    // Lines added to the settings file; HTTPS stays off unless a fixture turns it on.
    virtual std::string MoreSettings() { return "HttpsPort=0\n"; }

    // Writes `bytes` to `relative` below the shared folder.
    void Put(const std::string& relative, std::string_view bytes) {
        ASSERT_TRUE(WriteFile(root + "/" + relative, bytes)) << relative;
    }

    // Sends `request` in one piece and returns everything the server answers.
    Answer Fetch(const std::string& request) {
        std::string raw;
        EXPECT_TRUE(RunWhileServing([&] {
            LoopbackClient client;
            if (!client.Connect(port))
                return;
            client.Send(request);
            raw = client.ReadAll();
        }));
        return ParseAnswer(std::move(raw));
    }

    Answer Get(const std::string& url, const std::string& headers = "") {
        return Fetch("GET " + url + " HTTP/1.0\r\n" + headers + "\r\n");
    }

    // The access log written so far.
    std::string Log() const { return ReadFile(logPath); }

    TempDir temp;
    std::string root;
    std::string logPath;
    FakeStages stages;
    std::unique_ptr<CHttpSvrDoc> doc;
    std::vector<std::string> errors;
    int port = 0;
};

} // namespace tvn::test
