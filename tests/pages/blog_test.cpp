// Blog posts: comments shown through the ".blog" page, stored one line each whatever a
// visitor sends, and appended whole when many visitors post at once.
#include "pages/blog.h"
#include "pages/page_wrap.h"
#include "pages_fixture.h"
#include "support/answer_bytes.h"
#include "support/env_guard.h"
#include "support/server_fixture.h"

#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <set>
#include <sys/file.h>
#include <thread>

namespace tvn {
namespace {

using namespace std::chrono_literals;

// The notification of a comment plays into nothing while a test runs, and has played before
// the test's environment goes.
class SilentSound {
  public:
    SilentSound() {
        test::WriteFile(home / ".asoundrc", "pcm.!default { type null }\n");
        env.Set("HOME", home.Path());
    }
    ~SilentSound() { QThreadPool::globalInstance()->waitForDone(); }

  private:
    test::TempDir home;
    test::EnvGuard env;
};

constexpr std::string_view kBlogPage = "<body><ul><blogitem><li><comment></comment></li>"
                                       "</blogitem></ul></body>";

class Blog : public test::PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        Write("Blog/.file", "<tvnbody></tvnbody>");
        Write("Blog/.blog", kBlogPage);
    }
    // Runs the blog on `url` (the path part naming a file below the root), with `comment`.
    std::unique_ptr<CRequestContext> Run(const std::string& url, const char* comment = nullptr,
                                         StageResult expected = StageResult::kAnswered) {
        auto context = Context(url, url.substr(1));
        context->request.urlPath = url;
        if (comment)
            context->request.params["comment"] = comment;
        EXPECT_EQ(HandleBlog(*context, pages), expected) << url;
        return context;
    }
    std::string Read(const std::string& relative) { return test::ReadFile(root + "/" + relative); }
    SilentSound silence;
};

TEST_F(Blog, LinesAreCommentsInOrderAndTheBlogPageStaysMarkupForTextPosts) {
    Write("Blog/x.txt", "first\r\n\r\n<b>owner's</b>\n\rsecond");
    auto context = Run("/Blog/x.txt");
    EXPECT_EQ(Body(*context),
              "<body><ul><li>first</li><li><b>owner's</b></li><li>second</li></ul></body>");
}

TEST_F(Blog, CommentIsStoredAsOneEscapedLine) {
    struct Case {
        const char* comment;
        std::string_view stored;
    };
    const Case cases[] = {
        {"hello\r\nworld", "hello<br>world\r\n"},
        {"a\nb", "a<br>b\r\n"}, // a lone LF split one comment into two
        {"a\rb\r\n\r\nc\r", "a<br>b<br><br>c<br>\r\n"},
        {"<script>alert(\"x\")</script> & co",
         "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; co\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.comment);
        Write("Blog/p.html", "old\r\n");
        auto context = Run("/Blog/p.html", c.comment);
        EXPECT_EQ(Read("Blog/p.html"), "old\r\n" + std::string(c.stored));
    }
    // Shown back, the script is text.
    auto shown = Run("/Blog/p.html");
    EXPECT_NE(Body(*shown).find("<li>&lt;script&gt;alert"), std::string::npos);
    EXPECT_EQ(Body(*shown).find("<script>"), std::string::npos);
}

TEST_F(Blog, PostingRedirectsToThePostWithoutItsQueryAndRemembersIt) {
    Write("Blog/My Post.txt", "a");
    auto context = Context("/Blog/My Post.txt", "Blog/My Post.txt");
    context->request.urlPath = "/Blog/My Post.txt";
    context->request.params["comment"] = "c";
    ASSERT_EQ(HandleBlog(*context, pages), StageResult::kAnswered);
    const std::string answer(test::AnswerBytes(*context));
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 302 Redirection\r\n")) << answer;
    EXPECT_NE(answer.find("\r\nLocation: /Blog/My%20Post.txt\r\n"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("\r\n\r\n"));
    EXPECT_EQ(answer.find("200"), std::string::npos);
    // An owner's last line without a line end keeps its own line.
    EXPECT_EQ(Read("Blog/My Post.txt"), "a\r\nc\r\n");
    EXPECT_EQ(pages.LastPostLink(doc->Port()), "localhost:8080/Blog/My Post.txt");
}

TEST_F(Blog, WhatIsAPost) {
    Write("Blog/index.html", "<body>idx<comment>c</comment></body>");
    Write("Blog/Index.HTM", "<body>IDX</body>");
    Write("blog/x.txt", "lower");
    Write("Blogs/x.txt", "other");
    Write("Blog/x.txt", "only");
    EXPECT_EQ(Body(*Run("/Blog/index.html", "hi")), "<body>idx<comment>c</comment></body>");
    EXPECT_EQ(Read("Blog/index.html"), "<body>idx<comment>c</comment></body>");
    EXPECT_EQ(Body(*Run("/Blog/Index.HTM")), "<body>IDX</body>");
    EXPECT_TRUE(LeftAlone(*Run("/blog/x.txt", "c", StageResult::kGoOn)));
    EXPECT_TRUE(LeftAlone(*Run("/Blogs/x.txt", "c", StageResult::kGoOn)));
    EXPECT_EQ(Read("blog/x.txt") + Read("Blogs/x.txt"), "lowerother");
    EXPECT_EQ(Body(*Run("/Blog/x.txt", "")), "<body><ul><li>only</li></ul></body>");
    EXPECT_EQ(Read("Blog/x.txt"), "only"); // an empty comment is reading
}

TEST_F(Blog, EmptyPostGoesOnAndAFolderWithoutBlogPageFramesThePost) {
    Write("Blog/empty.txt", "");
    EXPECT_TRUE(LeftAlone(*Run("/Blog/empty.txt", nullptr, StageResult::kGoOn)));
    Write("Blog/note.txt", "<b>x</b>\r\n");
    std::filesystem::remove(root + "/Blog/.blog");
    EXPECT_EQ(Body(*Run("/Blog/note.txt")), "&lt;b&gt;x&lt;/b&gt;<br>"); // a text page
    // An empty ".blog" page counts as none.
    Write("Blog/.blog", "");
    EXPECT_EQ(Body(*Run("/Blog/note.txt")), "&lt;b&gt;x&lt;/b&gt;<br>");
}

TEST_F(Blog, FullPostTakesNoMoreCommentsButStillRedirects) {
    constexpr std::size_t kLimit = std::size_t(4) << 20;
    const std::string full(kLimit - 6, 'x');
    Write("Blog/full.txt", full);
    Run("/Blog/full.txt", "ok"); // CR LF, "ok", CR LF: exactly at the limit
    EXPECT_EQ(Read("Blog/full.txt"), full + "\r\nok\r\n");
    auto refused = Run("/Blog/full.txt", "o");
    EXPECT_TRUE(test::AnswerBytes(*refused).starts_with("HTTP/1.0 302"));
    EXPECT_EQ(Read("Blog/full.txt").size(), kLimit);
}

TEST_F(Blog, PostDeletedMeanwhileIsNotMadeAgain) {
    Write("Blog/gone.txt", "a\r\n");
    auto context = Context("/Blog/gone.txt", "Blog/gone.txt");
    context->request.urlPath = "/Blog/gone.txt";
    context->request.params["comment"] = "c";
    std::filesystem::remove(root + "/Blog/gone.txt");
    ASSERT_EQ(HandleBlog(*context, pages), StageResult::kAnswered);
    EXPECT_TRUE(test::AnswerBytes(*context).starts_with("HTTP/1.0 302"));
    EXPECT_FALSE(std::filesystem::exists(root + "/Blog/gone.txt"));
    EXPECT_EQ(pages.LastPostLink(doc->Port()), "");
}

// The blog behind a listening server: page files go to the blog, pages are framed.
class BlogStages : public test::FakeStages {
  public:
    StageResult HandleFile(CRequestContext& context) override {
        const StageResult result =
            context.IsPageFile() ? HandleBlog(context, pages) : StageResult::kGoOn;
        return result != StageResult::kGoOn ? result : FakeStages::HandleFile(context);
    }
    StageResult WrapPage(CRequestContext& context) override { return tvn::WrapPage(context); }

    CPageSettings pages;
};

class BlogServer : public test::ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        doc->SetContentStages(&blogStages);
        blogStages.pages.Load();
        Put("Blog/.file", "<tvnbody></tvnbody>");
        Put("Blog/.blog", kBlogPage);
        Put("Blog/x.txt", "first\r\n");
        Put("small.dat", "small");
    }
    static std::string Comment(int client, int index) {
        return "c" + std::to_string(client) + "-" + std::to_string(index) + "-" +
               std::string(600, static_cast<char>('a' + (client + index) % 26));
    }
    BlogStages blogStages;
    SilentSound silence;
};

TEST_F(BlogServer, CommentsPostedAtOnceEachLandOnceAndWhole) {
    constexpr int kClients = 20;
    constexpr int kEach = 10;
    std::atomic<int> redirected{0};
    ASSERT_TRUE(test::RunWhileServing([&] {
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                for (int i = 0; i < kEach; ++i) {
                    test::LoopbackClient client;
                    if (!client.Connect(port) || !client.Send("GET /Blog/x.txt?comment=" +
                                                              Comment(c, i) + " HTTP/1.0\r\n\r\n"))
                        continue;
                    if (client.ReadAll().starts_with("HTTP/1.0 302 "))
                        ++redirected;
                }
            });
        }
        for (auto& client : clients)
            client.join();
    }));
    EXPECT_EQ(redirected, kClients * kEach);
    std::multiset<std::string> stored;
    const std::string text = test::ReadFile(root + "/Blog/x.txt");
    for (std::size_t pos = 0; pos < text.size();) {
        const auto end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "the file ends inside a line";
        stored.insert(text.substr(pos, end - pos));
        pos = end + 2;
    }
    std::multiset<std::string> expected{"first"};
    for (int c = 0; c < kClients; ++c) {
        for (int i = 0; i < kEach; ++i)
            expected.insert(Comment(c, i));
    }
    EXPECT_TRUE(stored == expected) << stored.size() << " lines stored";
    EXPECT_EQ(blogStages.pages.LastPostLink(doc->Port()),
              "localhost:" + std::to_string(port) + "/Blog/x.txt");
}

// Another program holds the post's lock: the comment waits for it off the event loop, and
// other visitors are answered meanwhile; a lock that is never let go loses the comment.
TEST_F(BlogServer, LockedPostHoldsNobodyElse) {
    UniqueFd holder(::open((root + "/Blog/x.txt").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX), 0);
    std::string small;
    bool waitedForLock = false;
    std::string posted;
    ASSERT_TRUE(test::RunWhileServing([&] {
        test::LoopbackClient poster;
        if (!poster.Connect(port) || !poster.Send("GET /Blog/x.txt?comment=late HTTP/1.0\r\n\r\n"))
            return;
        std::this_thread::sleep_for(100ms);
        test::LoopbackClient other;
        if (other.Connect(port) && other.Send("GET /small.dat HTTP/1.0\r\n\r\n"))
            small = test::ParseAnswer(other.ReadAll()).body;
        waitedForLock = poster.StaysQuiet(100ms);
        holder.Reset(); // lets go of the lock
        posted = poster.ReadAll();
    }));
    EXPECT_EQ(small, "small");
    EXPECT_TRUE(waitedForLock);
    EXPECT_TRUE(posted.starts_with("HTTP/1.0 302 ")) << posted;
    EXPECT_EQ(test::ReadFile(root + "/Blog/x.txt"), "first\r\nlate\r\n");

    holder.Reset(::open((root + "/Blog/x.txt").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX), 0);
    EXPECT_TRUE(Get("/Blog/x.txt?comment=lost").statusLine.starts_with("HTTP/1.0 302 "));
    EXPECT_EQ(test::ReadFile(root + "/Blog/x.txt"), "first\r\nlate\r\n");
}

TEST_F(BlogServer, LargePostIsReadAsideAndShownWhole) {
    std::string post;
    for (int i = 0; post.size() < 300 * 1024; ++i)
        post += "line " + std::to_string(i) + "\r\n";
    Put("Blog/big.html", post);
    const test::Answer answer = Get("/Blog/big.html");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    std::size_t items = 0;
    for (auto pos = answer.body.find("<li>line "); pos != std::string::npos;
         pos = answer.body.find("<li>line ", pos + 1))
        ++items;
    EXPECT_EQ(items, static_cast<std::size_t>(std::count(post.begin(), post.end(), '\n')));
}

} // namespace
} // namespace tvn
