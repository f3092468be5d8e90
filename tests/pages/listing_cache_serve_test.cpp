// A kept listing over a real connection: a large one leaves from its memory file, the same
// bytes as the listing made, to several visitors in turn.
#include "pages/listing_cache.h"
#include "pages/page_stages.h"
#include "support/server_fixture.h"

namespace tvn::test {
namespace {

class ListingCacheServe : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        doc->SetContentStages(&pageStages);
    }
    CPageStages pageStages;
};

TEST_F(ListingCacheServe, LargeKeptListingArrivesWhole) {
    for (int i = 0; i < 600; ++i)
        Put("big/" + std::to_string(i) + std::string(150, 'n') + ".txt", "x");
    const Answer made = Get("/big/");
    ASSERT_EQ(made.statusLine, "HTTP/1.0 200 OK");
    ASSERT_GE(made.body.size(), CListingCache::kFileFrom);
    const std::uint64_t hits = SharedListingCache().Hits();
    for (int visitor = 0; visitor < 3; ++visitor) {
        SCOPED_TRACE(visitor);
        const Answer kept = Get("/big/");
        EXPECT_EQ(kept.statusLine, "HTTP/1.0 200 OK");
        EXPECT_EQ(kept.Header("Content-Length"), std::to_string(made.body.size()));
        EXPECT_EQ(kept.body, made.body);
    }
    EXPECT_EQ(SharedListingCache().Hits(), hits + 3);
}

} // namespace
} // namespace tvn::test
