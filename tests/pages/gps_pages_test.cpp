// The GPS pages: the receiver's fix in every pair of its tags, the history one section per
// record, the map key asked for once and kept only when it looks like one, and how long a
// page stays fresh.
#include "http/gps_seam.h"
#include "http/http_date.h"
#include "pages/gps_pages.h"
#include "pages/page_stages.h"
#include "pages/page_wrap.h"
#include "pages_fixture.h"

#include <fstream>
#include <sstream>

namespace tvn {
namespace {

// A receiver the test sets up by hand; it counts the starts it is asked for.
class FakeGpsSource : public IGpsSource {
  public:
    void StartReceiver() override { ++starts; }
    int PollingPeriodMs() const override { return periodMs; }
    GpsFix CurrentFix() const override { return fix; }
    std::vector<GpsRecord> History() const override { return history; }

    int starts = 0;
    int periodMs = 15000;
    GpsFix fix;
    std::vector<GpsRecord> history;
};

// The value of header `name` in the head of the answer; empty when it is not there.
std::string HeaderOf(CRequestContext& context, std::string_view name) {
    const std::string all = test::AnswerBytes(context);
    const std::string key = "\r\n" + std::string(name) + ": ";
    auto start = all.starts_with(key.substr(2)) ? 0 : all.find(key);
    if (start == std::string_view::npos)
        return {};
    start += all.starts_with(key.substr(2)) ? key.size() - 2 : key.size();
    return std::string(all.substr(start, all.find("\r\n", start) - start));
}

std::size_t Count(std::string_view text, std::string_view what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class GpsPages : public test::PagesFixture {
  protected:
    void SetUp() override {
        PagesFixture::SetUp();
        source.fix = {"12:35:19 UTC", "11.51666667", "48.1173", "Receiving on /dev/ttyUSB0"};
        pages.SetGpsSource(&source);
    }

    // Runs the handler on the page `relative` below the root, reached as "/" + relative.
    std::unique_ptr<CRequestContext> Run(const std::string& relative, const std::string& key = "") {
        auto context = Context("/" + relative, relative);
        if (!key.empty())
            context->request.params["maps_api_key"] = key;
        EXPECT_EQ(HandleGpsPage(*context, pages), StageResult::kAnswered) << relative;
        return context;
    }

    std::string Settings() const {
        std::ifstream file(base + "/TVN.cfg");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    FakeGpsSource source;
};

TEST_F(GpsPages, FixFillsEveryPairAnywhereInThePage) {
    Write("FindMe/.file", "<tvnbody></tvnbody>");
    Write("FindMe/where.html",
          "<body><p><latitude>unknown</latitude></p>"
          "<script>var lat = parseFloat(\"<latitude></latitude>\");</script>"
          "<input type=\"hidden\" name=\"lat\" value=\"<latitude>0</latitude>\">"
          "<gpstime>-</gpstime> <longitude>0</longitude> <gpshardware>none</gpshardware></body>");
    const std::string body = Body(*Run("FindMe/where.html"));
    EXPECT_EQ(Count(body, "48.1173"), 3u) << body;
    EXPECT_EQ(body, "<body><p>48.1173</p><script>var lat = parseFloat(\"48.1173\");</script>"
                    "<input type=\"hidden\" name=\"lat\" value=\"48.1173\">"
                    "12:35:19 UTC 11.51666667 Receiving on /dev/ttyUSB0</body>");
    EXPECT_EQ(source.starts, 1);

    // ZadiZo pages show the same fix; other folders are not this handler's.
    Write("ZadiZo/.file", "<tvnbody></tvnbody>");
    Write("ZadiZo/near.html", "<body><longitude>0</longitude></body>");
    EXPECT_EQ(Body(*Run("ZadiZo/near.html")), "<body>11.51666667</body>");
    for (const char* other : {"/Findme/where.html", "/Other/FindMe/where.html", "/FindMe"}) {
        SCOPED_TRACE(other);
        auto context = Context(other, "FindMe/where.html");
        EXPECT_EQ(HandleGpsPage(*context, pages), StageResult::kGoOn);
        EXPECT_TRUE(LeftAlone(*context));
    }
    EXPECT_EQ(source.starts, 2);
}

TEST_F(GpsPages, HistoryRepeatsItsSectionOldestFirstAndLeavesOtherTagsAlone) {
    Write("ZirarUd/.file", "<tvnbody></tvnbody>");
    Write("ZirarUd/track.html", "<body><latitude>top</latitude><ul><gpsitem><li><gpstime></gpstime>"
                                "|<longitude></longitude>|<latitude></latitude>|"
                                "<gpshardware>hw</gpshardware></li></gpsitem></ul></body>");
    for (int i = 1; i <= 5; ++i)
        source.history.push_back(
            {"t" + std::to_string(i), "lon" + std::to_string(i), "lat" + std::to_string(i)});
    std::string expected = "<body><latitude>top</latitude><ul>";
    for (int i = 1; i <= 5; ++i) {
        const std::string n = std::to_string(i);
        expected += "<li>t" + n + "|lon" + n + "|lat" + n + "|<gpshardware>hw</gpshardware></li>";
    }
    expected += "</ul></body>";
    EXPECT_EQ(Body(*Run("ZirarUd/track.html")), expected);

    source.history.clear(); // an empty history makes the section vanish
    EXPECT_EQ(Body(*Run("ZirarUd/track.html")), "<body><latitude>top</latitude><ul></ul></body>");
}

// The default document of a GPS folder (the folder itself is sent there) goes through the
// whole GET path to this handler, not to the ordinary page frame.
TEST_F(GpsPages, DefaultDocumentOfTheHistoryFolderIsAHistoryPage) {
    CPageStages stages;
    stages.Settings().SetGpsSource(&source);
    doc->SetContentStages(&stages);
    Write("ZirarUd/.file", "<tvnbody></tvnbody>");
    Write("ZirarUd/index.html", "<body><gpsitem>[<gpstime></gpstime>]</gpsitem></body>");
    source.history = {{"a", "1", "2"}, {"b", "3", "4"}};
    auto context = std::make_unique<CRequestContext>(*doc, "127.0.0.1:4000");
    context->request.method = "GET";
    context->request.url = "/ZirarUd/index.html";
    context->RunRequest();
    EXPECT_TRUE(context->OutputView().starts_with("HTTP/1.0 200 OK\r\n")) << context->OutputView();
    EXPECT_FALSE(HeaderOf(*context, "Expires").empty());
    EXPECT_EQ(Body(*context), "<body>[a][b]</body>");
    EXPECT_EQ(source.starts, 1);
}

TEST_F(GpsPages, ExpiresOnePollingPeriodAfterDate) {
    Write("FindMe/index.html", "<body><gpstime></gpstime></body>");
    for (const int period : {1000, 15000, 1999}) {
        SCOPED_TRACE(period);
        source.periodMs = period;
        auto context = Context("/FindMe/", "FindMe/index.html");
        ASSERT_EQ(HandleGpsPage(*context, pages), StageResult::kAnswered);
        const auto date = ParseHttpDate(HeaderOf(*context, "Date"));
        const auto expires = ParseHttpDate(HeaderOf(*context, "Expires"));
        ASSERT_TRUE(date && expires) << test::AnswerBytes(*context);
        EXPECT_EQ(*expires - *date, period / 1000);
    }
}

TEST_F(GpsPages, WithoutAReceiverThePagesShowItSearching) {
    pages.SetGpsSource(nullptr);
    Write("FindMe/.file", "<tvnbody></tvnbody>");
    Write("ZirarUd/.file", "<tvnbody></tvnbody>");
    Write("FindMe/index.html", "<body>[<gpstime>x</gpstime>][<latitude>x</latitude>]"
                               "<gpshardware>x</gpshardware></body>");
    Write("ZirarUd/index.html", "<body><ul><gpsitem><li></li></gpsitem></ul></body>");
    auto fix = Context("/FindMe/", "FindMe/index.html");
    ASSERT_EQ(HandleGpsPage(*fix, pages), StageResult::kAnswered);
    EXPECT_EQ(Body(*fix), "<body>[][]Looking for GPS hardware..........</body>");
    const auto date = ParseHttpDate(HeaderOf(*fix, "Date"));
    const auto expires = ParseHttpDate(HeaderOf(*fix, "Expires"));
    ASSERT_TRUE(date && expires);
    EXPECT_EQ(*expires - *date, 1);
    EXPECT_EQ(Body(*Run("ZirarUd/index.html")), "<body><ul></ul></body>");
}

TEST_F(GpsPages, MapKeyIsAskedForInTheFrameThenStoredAndShown) {
    Write("FindMe/.file", "<frame><tvnbody></tvnbody></frame>");
    Write("FindMe/GoogleMap.html",
          "<body><img src=\"/staticmap?key=<maps_api_key></maps_api_key>\"></body>");
    const std::string form = Body(*Run("FindMe/GoogleMap.html"));
    EXPECT_TRUE(form.starts_with("<frame>") && form.ends_with("</frame>")) << form;
    EXPECT_NE(form.find("name=\"maps_api_key\""), std::string::npos) << form;
    EXPECT_EQ(form.find("staticmap"), std::string::npos);

    const std::string good = "AIzaSyA-b_c0123456789";
    EXPECT_EQ(Body(*Run("FindMe/GoogleMap.html", good)),
              "<frame><body><img src=\"/staticmap?key=" + good + "\"></body></frame>");
    EXPECT_EQ(pages.GoogleApiKey(), good);
    EXPECT_NE(Settings().find("GoogleApiKey=" + good), std::string::npos) << Settings();

    // Once kept, the key goes into every map page, whatever a later query says.
    Write("ZirarUd/.file", "<tvnbody></tvnbody>");
    Write("ZirarUd/GoogleMap.html", "<body>key=<maps_api_key></maps_api_key></body>");
    EXPECT_EQ(Body(*Run("ZirarUd/GoogleMap.html", "Other")), "<body>key=" + good + "</body>");
}

// A key given in the query was stored as it came and put into every map page: markup in it
// ran as script for every later visitor, and a CR LF wrote lines of its own into TVN.cfg.
TEST_F(GpsPages, HostileMapKeyIsNotStoredAndTheFormComesBack) {
    Write("FindMe/.file", "<tvnbody></tvnbody>");
    Write("FindMe/GoogleMap.html", "<body>key=<maps_api_key></maps_api_key></body>");
    const std::string hostile[] = {
        "\"><script>alert(1)</script>", "abc\r\nRoot=/", "abc\nPort=1", std::string(200, 'k'),
        std::string(101, 'k'),          "abc def",       "abc%41",
    };
    for (const std::string& key : hostile) {
        SCOPED_TRACE(key);
        const std::string body = Body(*Run("FindMe/GoogleMap.html", key));
        EXPECT_NE(body.find("name=\"maps_api_key\""), std::string::npos) << body;
        EXPECT_EQ(body.find("<script>"), std::string::npos);
        EXPECT_TRUE(pages.GoogleApiKey().empty());
    }
    const std::string settings = Settings();
    EXPECT_EQ(settings.find("GoogleApiKey=\""), std::string::npos) << settings;
    EXPECT_EQ(settings.find("Root=/"), std::string::npos) << settings;
    EXPECT_EQ(settings.find("Port=1"), std::string::npos) << settings;

    // The longest key that is still one.
    const std::string longest(100, 'k');
    EXPECT_EQ(Body(*Run("FindMe/GoogleMap.html", longest)), "<body>key=" + longest + "</body>");
}

// The map key was stored from the first visitor of a map page who sent one, a stranger
// through the relay included, and then put into everybody's pages. Only a visitor on this
// machine's own networks, or one who passed the folder's password list, gives it;
// anybody else gets the form and nothing is kept.
TEST_F(GpsPages, MapKeyIsStoredOnlyFromTheOwnNetworksOrPastThePassword) {
    Write("FindMe/.file", "<tvnbody></tvnbody>");
    Write("FindMe/GoogleMap.html", "<body>key=<maps_api_key></maps_api_key></body>");
    struct Case {
        const char* what;
        const char* peer;
        bool relayed;
        bool pastPassword; // the target's folder has a list and the visitor passed it
        bool stores;
    };
    const Case cases[] = {
        {"stranger, direct", "203.0.113.7:5000", false, false, false},
        {"stranger, relayed", "198.51.100.4:6000", true, false, false},
        {"relay link reporting loopback", "127.0.0.1:4000", true, false, false},
        {"relay link reporting a mapped loopback", "::ffff:127.0.0.1:4000", true, false, false},
        {"this machine", "127.0.0.1:4000", false, false, true},
        {"stranger past the password", "203.0.113.7:5000", false, true, true},
        {"relayed past the password", "198.51.100.4:6000", true, true, true},
    };
    const std::string key = "AIzaSyA-b_c0123456789";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        pages.SetGoogleApiKey("");
        SettingsSection().SetString("GoogleApiKey", "");
        auto context =
            Context("/FindMe/GoogleMap.html", "FindMe/GoogleMap.html", c.peer, c.relayed);
        context->request.params["maps_api_key"] = key;
        if (c.pastPassword) {
            Write("FindMe/.pass", "owner,secret\r\n");
            context->request.headers["authorization"] = "Basic b3duZXI6c2VjcmV0"; // owner:secret
            ASSERT_TRUE(context->CheckFolderPassword());
        }
        ASSERT_EQ(HandleGpsPage(*context, pages), StageResult::kAnswered);
        std::filesystem::remove(root + "/FindMe/.pass");
        const std::string body = Body(*context);
        if (c.stores) {
            EXPECT_EQ(body, "<body>key=" + key + "</body>");
            EXPECT_EQ(pages.GoogleApiKey(), key);
            EXPECT_NE(Settings().find("GoogleApiKey=" + key), std::string::npos) << Settings();
        } else {
            EXPECT_NE(body.find("name=\"maps_api_key\""), std::string::npos) << body;
            EXPECT_EQ(body.find(key), std::string::npos) << body;
            EXPECT_TRUE(pages.GoogleApiKey().empty());
            EXPECT_EQ(Settings().find(key), std::string::npos) << Settings();
        }
    }
    // A folder without a list passes nobody: the check itself admitting is not enough.
    pages.SetGoogleApiKey("");
    auto open = Context("/FindMe/GoogleMap.html", "FindMe/GoogleMap.html", "203.0.113.7:5000");
    open->request.params["maps_api_key"] = key;
    ASSERT_TRUE(open->CheckFolderPassword());
    ASSERT_EQ(HandleGpsPage(*open, pages), StageResult::kAnswered);
    EXPECT_TRUE(pages.GoogleApiKey().empty());

    // The owner's key, once kept, goes into the map pages of every visitor.
    pages.SetGoogleApiKey(key);
    EXPECT_EQ(Body(*[&] {
                  auto stranger = Context("/FindMe/GoogleMap.html", "FindMe/GoogleMap.html",
                                          "198.51.100.4:6000", true);
                  EXPECT_EQ(HandleGpsPage(*stranger, pages), StageResult::kAnswered);
                  return stranger;
              }()),
              "<body>key=" + key + "</body>");
}

// GPS pages written as text were escaped before the values were merged: no value was ever
// filled in and the map-key step never ran. The values are ours and go in; the text's own
// bytes, tags and all, stay text.
TEST_F(GpsPages, TextPageGetsTheValuesAndItsOwnTextStaysEscaped) {
    Write("FindMe/.file", "[<tvnbody></tvnbody>]");
    Write("FindMe/where.txt", "<b>Here</b> & now: <latitude>?</latitude>,<LONGITUDE>?</LONGITUDE>"
                              "\r\n\r\n<gpshardware><script>x()</script></gpshardware>\r\n"
                              "<gpstime>open <latitude>");
    EXPECT_EQ(Body(*Run("FindMe/where.txt")),
              "[&lt;b&gt;Here&lt;/b&gt; &amp; now: 48.1173,11.51666667<p>Receiving on "
              "/dev/ttyUSB0<br>&lt;gpstime&gt;open &lt;latitude&gt;]");

    Write("ZirarUd/.file", "[<tvnbody></tvnbody>]");
    Write("ZirarUd/track.txt", "<latitude>top</latitude>\r\n<gpsitem><gpstime></gpstime> "
                               "<latitude></latitude> <gpshardware>hw</gpshardware>\r\n"
                               "</gpsitem><end>");
    source.history = {{"a", "1", "2"}, {"b", "3", "4"}};
    EXPECT_EQ(
        Body(*Run("ZirarUd/track.txt")),
        "[&lt;latitude&gt;top&lt;/latitude&gt;<br>a 2 &lt;gpshardware&gt;hw&lt;/gpshardware&gt;"
        "<br>b 4 &lt;gpshardware&gt;hw&lt;/gpshardware&gt;<br>&lt;end&gt;]");

    // The map-key step runs on text pages too: the form without a key, then the key.
    Write("FindMe/map.txt",
          "<i>key</i>=<maps_api_key>none</maps_api_key>;<maps_api_key></maps_api_key>");
    const std::string form = Body(*Run("FindMe/map.txt"));
    EXPECT_NE(form.find("name=\"maps_api_key\""), std::string::npos) << form;
    EXPECT_TRUE(form.starts_with("[") && form.ends_with("]")) << form;
    const std::string key = "AIzaSyA-b_c0123456789";
    EXPECT_EQ(Body(*Run("FindMe/map.txt", key)),
              "[&lt;i&gt;key&lt;/i&gt;=" + key + ";" + key + "]");
    EXPECT_EQ(pages.GoogleApiKey(), key);

    // A text page outside the GPS folders is text, tags and all.
    Write("Notes/.file", "[<tvnbody></tvnbody>]");
    Write("Notes/a.txt", "<latitude>1</latitude>");
    auto notes = Context("/Notes/a.txt", "Notes/a.txt");
    ASSERT_EQ(WrapPage(*notes), StageResult::kAnswered);
    EXPECT_EQ(Body(*notes), "[&lt;latitude&gt;1&lt;/latitude&gt;]");
}

// A key written into the settings by hand is text in the page, never markup.
TEST_F(GpsPages, StoredKeyIsEscapedInThePage) {
    Write("FindMe/.file", "<tvnbody></tvnbody>");
    Write("FindMe/GoogleMap.html", "<body>key=<maps_api_key></maps_api_key></body>");
    pages.SetGoogleApiKey("a\"b'<c>&d");
    EXPECT_EQ(Body(*Run("FindMe/GoogleMap.html")), "<body>key=a&quot;b&#39;&lt;c&gt;&amp;d</body>");
}

} // namespace
} // namespace tvn
