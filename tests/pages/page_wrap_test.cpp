#include "pages/page_wrap.h"
#include "pages_fixture.h"

#include <fstream>
#include <sstream>

namespace tvn {
namespace {

using PageWrap = test::PagesFixture;

TEST_F(PageWrap, BodySectionGoesIntoTheFrameWithItsFolderEntries) {
    Write("docs/.file", "<frame><fileitem>[%NAME%]</fileitem><tvnbody>x</tvnbody></frame>");
    // An html pair around a body pair, and a line break behind the closing html tag.
    Write("docs/page.html", "<html><head>h</head><body>B</body></html>\r\n");
    auto context = Context("/docs/page.html", "docs/page.html");
    ASSERT_EQ(WrapPage(*context), StageResult::kAnswered);
    EXPECT_EQ(Body(*context), "<frame>[page]<body>B</body></frame>");
    EXPECT_EQ(context->answer.Header("Content-Length"), "35");
}

TEST_F(PageWrap, PlainTextIsConvertedAndAnEmptyFrameSendsThePageAlone) {
    Write("t/.file", "");
    Write("t/note.txt", "a\r\n\r\nb\r\nc");
    auto context = Context("/t/note.txt", "t/note.txt");
    ASSERT_EQ(WrapPage(*context), StageResult::kAnswered);
    EXPECT_EQ(Body(*context), "a<p>b<br>c");
}

TEST_F(PageWrap, NoFrameAtAllOrAnEmptyPageIsLeftToTheCaller) {
    Write("p/empty.html", "");
    auto context = Context("/p/empty.html", "p/empty.html");
    EXPECT_EQ(WrapPage(*context), StageResult::kGoOn);      // an empty page is sent unchanged
    EXPECT_FALSE(context->answer.Header("Content-Length")); // the file stage says it
    EXPECT_TRUE(context->answer.Body().empty());
}

TEST_F(PageWrap, RecordsFillTheirSectionAndValueTagsEverywhere) {
    Write("b/.file", "<tvnbody></tvnbody>");
    Write("b/post.html", "<body><ul><item><li><c></c>/<n></n></li></item></ul><c>top</c></body>");
    auto context = Context("/b/post.html", "b/post.html");
    WrapItems items;
    items.sectionTag = "<item>";
    items.valueTags = {"<c>", nullptr, "<n>"};
    items.records = {{"one", "skipped", "1"}, {"two"}};
    ASSERT_EQ(WrapPage(*context, items), StageResult::kAnswered);
    EXPECT_EQ(Body(*context), "<body><ul><li>one/1</li><li>two/<n></n></li></ul><c>top</c></body>");

    auto noSection = Context("/b/post.html", "b/post.html");
    WrapItems values;
    values.valueTags = {"<c>"};
    values.records = {{"V"}};
    ASSERT_EQ(WrapPage(*noSection, values), StageResult::kAnswered);
    EXPECT_EQ(Body(*noSection), "<body><ul><item><li>V/<n></n></li></item></ul>V</body>");
}

TEST_F(PageWrap, MapKeyIsStoredAskedForOrTakenFromTheQuery) {
    Write("g/.file", "<tvnbody></tvnbody>");
    Write("g/map.html", "<body>key=<maps_api_key></maps_api_key>;</body>");
    WrapItems items;
    items.mapKey = &pages;

    auto ask = Context("/g/map.html", "g/map.html");
    ASSERT_EQ(WrapPage(*ask, items), StageResult::kAnswered);
    EXPECT_EQ(Body(*ask).find("key="), std::string::npos); // the whole page is the key form

    auto given = Context("/g/map.html", "g/map.html");
    given->request.params["maps_api_key"] = "K1";
    ASSERT_EQ(WrapPage(*given, items), StageResult::kAnswered);
    EXPECT_EQ(Body(*given), "<body>key=K1;</body>");
    EXPECT_EQ(pages.GoogleApiKey(), "K1");
    std::ifstream settings(base + "/TVN.cfg");
    std::stringstream text;
    text << settings.rdbuf();
    EXPECT_NE(text.str().find("GoogleApiKey=K1"), std::string::npos);

    auto stored = Context("/g/map.html", "g/map.html");
    ASSERT_EQ(WrapPage(*stored, items), StageResult::kAnswered);
    EXPECT_EQ(Body(*stored), "<body>key=K1;</body>");
}

} // namespace
} // namespace tvn
