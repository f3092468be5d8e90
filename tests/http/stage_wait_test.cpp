// A stage that waits: the pipeline stops at it and goes on behind it with what its resume
// says, through the event loop or, where the context cannot wait, in place.
#include "config/settings_section.h"
#include "http/content_stages.h"
#include "http/http_svr_doc.h"
#include "http/request_context.h"
#include "support/spin.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace tvn {
namespace {

// What the waiting handler's resume says, one result per time it is woken.
class WaitingStages : public IContentStages {
  public:
    bool CopyThumbnail(std::string_view, std::string&, std::string&) override { return false; }
    StageResult SendFolderListing(CRequestContext& context) override {
        context.answer.StartError(HttpStatus::kNotFound);
        return StageResult::kAnswered;
    }
    StageResult HandleFile(CRequestContext& context) override {
        ++handled;
        return Wait(context);
    }
    StageResult WrapPage(CRequestContext&) override {
        ++framed;
        return StageResult::kGoOn;
    }

    StageResult Wait(CRequestContext& context) {
        std::function<void()> wake = context.ParkUntilWoken([this](CRequestContext& done) {
            const StageResult result = results.at(resumes++);
            if (result == StageResult::kAnswered) {
                done.answer.StartError(HttpStatus::kNotImplemented);
            }
            if (result == StageResult::kWaiting)
                return Wait(done);
            return result;
        });
        if (wakeAtOnce)
            wake();
        else
            pendingWake = std::move(wake);
        return context.WaitForWake();
    }

    std::vector<StageResult> results;
    bool wakeAtOnce = true;
    std::function<void()> pendingWake;
    int handled = 0;
    int resumes = 0;
    int framed = 0;
};

// A context that waits through the event loop, as a connection's does.
class LoopContext : public CRequestContext {
  public:
    using CRequestContext::CRequestContext;
    int ready = 0;

  protected:
    bool CanPark() const override { return true; }
    void OnAnswerReady() override { ++ready; }
};

class StageWait : public ::testing::Test {
  protected:
    void SetUp() override {
        root = temp / "Share";
        test::WriteFile(root + "/small.htm", "small file");
        SettingsSection::OverrideFilePath(temp / "TVN.cfg");
        doc = std::make_unique<CHttpSvrDoc>(8080, root);
        doc->SetContentStages(&stages);
    }
    void TearDown() override {
        doc.reset();
        SettingsSection::OverrideFilePath("");
    }
    void Prepare(CRequestContext& context) {
        context.request.method = "GET";
        context.request.url = "/small.htm";
    }

    test::TempDir temp;
    std::string root;
    WaitingStages stages;
    std::unique_ptr<CHttpSvrDoc> doc;
};

const std::string kFile = "Content-Length: 10\r\n\r\nsmall file"; // the file's own answer

TEST_F(StageWait, ResumeGoesOnBehindTheStageThatWaited) {
    using R = StageResult;
    struct Case {
        std::string name;
        std::vector<StageResult> results;
        bool fileAnswer; // the stages behind the waiting one sent the file
    };
    const Case cases[] = {
        {"answered after the wait", {R::kAnswered}, false},
        {"went on after the wait", {R::kGoOn}, true},
        {"waited twice, then answered", {R::kWaiting, R::kAnswered}, false},
        {"waited twice, then went on", {R::kWaiting, R::kGoOn}, true},
    };
    for (const bool throughLoop : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name + (throughLoop ? " (event loop)" : " (in place)"));
            stages = WaitingStages();
            stages.results = c.results;
            std::unique_ptr<CRequestContext> context;
            LoopContext* loop = nullptr;
            if (throughLoop) {
                auto made = std::make_unique<LoopContext>(*doc, "127.0.0.1:4000");
                loop = made.get();
                context = std::move(made);
            } else {
                context = std::make_unique<CRequestContext>(*doc, "127.0.0.1:4000");
            }
            Prepare(*context);
            context->RunRequest();
            if (throughLoop) {
                EXPECT_TRUE(context->Parked());
                ASSERT_TRUE(test::SpinUntil([&] { return loop->ready > 0; }));
                EXPECT_EQ(loop->ready, 1);
            }
            EXPECT_FALSE(context->Parked());
            EXPECT_EQ(stages.handled, 1); // the waiting stage is not run again from its start
            EXPECT_EQ(stages.resumes, static_cast<int>(c.results.size()));
            const std::string answer(context->OutputView());
            if (c.fileAnswer) {
                EXPECT_TRUE(answer.starts_with("HTTP/1.0 200")) << answer;
                EXPECT_TRUE(answer.ends_with(kFile)) << answer;
                EXPECT_EQ(stages.framed, 1);
            } else {
                EXPECT_TRUE(answer.starts_with("HTTP/1.0 501")) << answer;
                EXPECT_EQ(stages.framed, 0);
                EXPECT_FALSE(context->answer.File().IsOpen());
            }
        }
    }
}

// Where nothing can come back through the event loop, a stage that is never woken must
// not leave the request hanging.
TEST_F(StageWait, NeverWokenInPlaceAnswers503) {
    stages.wakeAtOnce = false;
    CRequestContext context(*doc, "127.0.0.1:4000");
    Prepare(context);
    context.RunRequest();
    EXPECT_FALSE(context.Parked());
    EXPECT_TRUE(context.OutputView().starts_with("HTTP/1.0 503")) << context.OutputView();
}

// A parked request whose context is gone drops the result that comes back.
TEST_F(StageWait, WakeAfterTheContextWentIsDropped) {
    stages.wakeAtOnce = false;
    stages.results = {StageResult::kAnswered};
    auto context = std::make_unique<LoopContext>(*doc, "127.0.0.1:4000");
    Prepare(*context);
    context->RunRequest();
    ASSERT_TRUE(context->Parked());
    context.reset();
    stages.pendingWake();
    QCoreApplication::processEvents();
    EXPECT_EQ(stages.resumes, 0);
}

} // namespace
} // namespace tvn
