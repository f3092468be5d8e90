// A cold listing waits for its thumbnails off the main thread: other visitors are served
// meanwhile, and a visitor who leaves costs nothing afterwards.
#include "file_opens.h"
#include "pages/page_stages.h"
#include "pages/page_wrap.h"
#include "pages/thumbnail_cache.h"
#include "support/server_fixture.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <filesystem>

namespace tvn::test {
namespace {

constexpr int kPictures = 20;

class ListingWait : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        doc->SetContentStages(&pageStages);
        Put("small.dat", "small");
    }

    // An album of pictures that take a while to decode (PNG has no scaled decoding): one
    // picture, written once, copied under many names, each a thumbnail of its own. Returns
    // the pictures' paths.
    std::vector<std::string> MakeAlbum(const std::string& folder) {
        QImage image(2400, 1800, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = qRgb((x * 7 + y) & 0xFF, (x ^ y) & 0xFF, (x * y) & 0xFF);
        }
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        EXPECT_TRUE(QImageWriter(&buffer, "png").write(image));
        std::vector<std::string> paths;
        for (int i = 0; i < kPictures; ++i) {
            const std::string name = folder + "/picture" + std::to_string(i) + ".png";
            Put(name, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
            paths.push_back(root + "/" + name);
        }
        return paths;
    }

    CPageStages pageStages;
};

// While twenty new pictures are decoded for one visitor's listing, another visitor's small
// file is answered first: the order of arrival of the answers, not a time limit.
TEST_F(ListingWait, SmallFileIsAnsweredWhileAColdListingIsMade) {
    FileOpens opens(MakeAlbum("album"));
    ASSERT_TRUE(opens.Watching(kPictures));
    std::string listing;
    std::string small;
    bool listingWasStillComing = false;
    ASSERT_TRUE(RunWhileServing(
        [&] {
            LoopbackClient album;
            ASSERT_TRUE(album.Connect(port));
            album.Send("GET /album/ HTTP/1.0\r\n\r\n");
            ASSERT_TRUE(opens.WaitBeyond(0, 5000ms)); // the decoding began
            LoopbackClient visitor;
            ASSERT_TRUE(visitor.Connect(port));
            visitor.Send("GET /small.dat HTTP/1.0\r\n\r\n");
            small = visitor.ReadAll();
            // Nothing of the listing has arrived yet: it is still being made.
            listingWasStillComing = album.StaysQuiet(0ms);
            listing = album.ReadAll(30000ms);
        },
        60s));
    EXPECT_EQ(ParseAnswer(small).body, "small");
    EXPECT_TRUE(listingWasStillComing) << "the small answer waited for the listing";
    const Answer answer = ParseAnswer(listing);
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(answer.body.size()));
    std::size_t thumbnails = 0;
    for (std::size_t at = 0; (at = answer.body.find("/Thumbnail__", at)) != std::string::npos; ++at)
        ++thumbnails;
    EXPECT_EQ(thumbnails, static_cast<std::size_t>(kPictures));
}

// A visitor who leaves while the listing is made: the work finishes, the connection ends,
// and the server serves on.
TEST_F(ListingWait, VisitorWhoLeavesDuringTheListingCostsNothingAfterwards) {
    FileOpens opens(MakeAlbum("gone"));
    ASSERT_TRUE(opens.Watching(kPictures));
    ASSERT_TRUE(RunWhileServing([&] {
        LoopbackClient album;
        ASSERT_TRUE(album.Connect(port));
        album.Send("GET /gone/ HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(opens.WaitBeyond(0, 5000ms)); // the decoding began
        album.Abort();
    }));
    // Every picture decoded, the result came back and found its connection gone.
    for (int i = 0; i < 1500 && opens.Count() < kPictures; ++i)
        SpinEventLoop(20ms);
    for (int i = 0; i < 250 && doc->Connections().LiveCount() > 0; ++i)
        SpinEventLoop(20ms);
    EXPECT_EQ(doc->Connections().LiveCount(), 0u);
    EXPECT_EQ(Get("/small.dat").body, "small");
    // The thumbnails made for the visitor who left serve the next one from the cache.
    const int decoded = opens.Count();
    EXPECT_EQ(Get("/gone/").statusLine, "HTTP/1.0 200 OK");
    EXPECT_EQ(opens.Count(), decoded);
}

// A page large enough to be converted off the event loop comes back framed, whole.
TEST_F(ListingWait, LargePageIsConvertedAsideAndFramedWhole) {
    std::string text;
    while (text.size() < 300 * 1024)
        text += "a <line> & more\n";
    Put("t/.file", "[<tvnbody></tvnbody>]");
    Put("t/big.txt", text);
    const Answer answer = Get("/t/big.txt");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK");
    EXPECT_TRUE(answer.body == "[" + PlainTextToHtml(text, true) + "]");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(answer.body.size()));
}

} // namespace
} // namespace tvn::test
