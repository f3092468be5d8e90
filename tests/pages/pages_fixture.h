#pragma once

#include "config/settings_section.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "pages/page_settings.h"
#include "support/answer_bytes.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn::test {

// A request context as the relay's connections make them, or a direct one.
class TestRequestContext : public CRequestContext {
  public:
    TestRequestContext(CHttpSvrDoc& owner, std::string peer, bool isRelayed)
        : CRequestContext(owner, std::move(peer)) {
        relayed = isRelayed;
    }
};

// A shared folder in a fresh temporary directory, a settings file beside it, a server
// document for it (not listening) and the pages' settings read from that file: enough to run
// the page stages on a request.
class PagesFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(temp.Valid());
        base = temp.Path();
        root = base + "/root";
        std::filesystem::create_directories(root);
        SettingsSection::OverrideFilePath(base + "/TVN.cfg");
        doc = std::make_unique<CHttpSvrDoc>(8080, root);
        pages.Load();
    }
    void TearDown() override { doc.reset(); }

    void Write(const std::string& relative, std::string_view bytes) {
        const std::filesystem::path path = root + "/" + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

    // A context for `url` whose target is `relative` below the root (a folder when it ends
    // in '/'), with the target file open and its answer started as the GET path leaves them;
    // from `peer`, directly or
    // through the relay.
    std::unique_ptr<CRequestContext> Context(const std::string& url, const std::string& relative,
                                             const std::string& peer = "127.0.0.1:4000",
                                             bool relayed = false) {
        std::unique_ptr<CRequestContext> context =
            std::make_unique<TestRequestContext>(*doc, peer, relayed);
        context->request.method = "GET";
        context->request.url = url;
        context->request.urlPath = url;
        context->request.localPath = root + "/" + relative;
        const bool folder = relative.empty() || relative.back() == '/';
        context->request.attributes = folder ? 0x10 : 0;
        if (!folder) {
            context->target.fd.Reset(::open(context->request.localPath.c_str(), O_RDONLY));
            struct stat st {};
            ::fstat(context->target.fd.Get(), &st);
            context->target.size = st.st_size;
            context->answer.Start(HttpStatus::kOk); // as the open stage starts it
            context->AddContentType();
        }
        return context;
    }

    // True when a stage left the answer as the open stage started it, for the stages behind.
    static bool LeftAlone(const CRequestContext& context) {
        const CAnswer& answer = context.answer;
        return answer.Status() == HttpStatus::kOk && !answer.Header("Content-Length") &&
               answer.Body().empty() && !answer.File().IsOpen();
    }

    // The body of the answer (behind the first empty line).
    static std::string Body(CRequestContext& context) {
        const std::string all = test::AnswerBytes(context);
        const auto end = all.find("\r\n\r\n");
        return end == std::string_view::npos ? std::string(all) : std::string(all.substr(end + 4));
    }

    TempDir temp;
    std::string base;
    std::string root;
    std::unique_ptr<CHttpSvrDoc> doc;
    CPageSettings pages;
};

} // namespace tvn::test
