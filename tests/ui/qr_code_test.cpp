#include "ui/qr_code.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace tvn::ui {
namespace {

TEST(AccessAddress, TakesTheLeadingUrlOnly) {
    struct Case {
        const char* line;
        const char* address;
    };
    const Case cases[] = {
        {"http://192.168.1.5:8080 (LAN only)", "http://192.168.1.5:8080"},
        {"http://localhost:8080 Only. No NET connections found", "http://localhost:8080"},
        {"http://me.homeip.net (via Zereru Zadariv)", "http://me.homeip.net"},
        {"http://localhost:8080/Blog/x.html Last blog post", "http://localhost:8080/Blog/x.html"},
        {"http://10.1.1.1", "http://10.1.1.1"},
        {"https://a.example (Worldwide)", "https://a.example"},
        {"The Server is stopped", ""},
        {"", ""},
        {" http://leading.blank", ""},
        {"ftp://x (LAN only)", ""},
        {"httpx://x", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(AccessAddress(c.line), c.address);
    }
}

// Reads the symbol back module by module: true dark, false light; nothing for a pixel block
// that is not one colour.
struct Modules {
    QImage image;
    int scale;
    int count; // modules per side, quiet zone included
    std::optional<bool> Dark(int x, int y) const {
        const QRgb first = image.pixel(x * scale, y * scale);
        for (int dy = 0; dy < scale; ++dy)
            for (int dx = 0; dx < scale; ++dx)
                if (image.pixel(x * scale + dx, y * scale + dy) != first)
                    return std::nullopt;
        if (first == qRgb(0, 0, 0))
            return true;
        if (first == qRgb(255, 255, 255))
            return false;
        return std::nullopt;
    }
    // The 7x7 finder pattern at module (x, y): a dark ring, a light ring, a dark 3x3 core.
    bool FinderAt(int x, int y) const {
        for (int dy = 0; dy < 7; ++dy) {
            for (int dx = 0; dx < 7; ++dx) {
                const int ring = std::max(std::abs(dx - 3), std::abs(dy - 3));
                if (Dark(x + dx, y + dy) != (ring != 2))
                    return false;
            }
        }
        return true;
    }
};

TEST(QrCodeImage, DrawsAQrSymbolWithItsQuietZone) {
    for (const int scale : {1, 3}) {
        for (const char* text : {"http://192.168.1.5:8080", "http://localhost:8080/Blog/a.html",
                                 "http://a-rather-long-host-name.example.org:65535/x/y/z"}) {
            SCOPED_TRACE(text);
            const QImage image = QrCodeImage(text, scale);
            ASSERT_FALSE(image.isNull());
            ASSERT_EQ(image.width(), image.height());
            ASSERT_EQ(image.width() % scale, 0);
            const Modules m{image, scale, image.width() / scale};
            const int symbol = m.count - 8;
            // Versions 1..40 are 21 + 4k modules wide.
            ASSERT_GE(symbol, 21);
            EXPECT_EQ((symbol - 21) % 4, 0) << symbol;
            for (int i = 0; i < m.count; ++i) {
                for (int q = 0; q < 4; ++q) {
                    EXPECT_EQ(m.Dark(i, q), false);
                    EXPECT_EQ(m.Dark(q, i), false);
                    EXPECT_EQ(m.Dark(i, m.count - 1 - q), false);
                    EXPECT_EQ(m.Dark(m.count - 1 - q, i), false);
                }
            }
            // Finder patterns in three corners and not in the fourth: the symbol is upright.
            EXPECT_TRUE(m.FinderAt(4, 4));
            EXPECT_TRUE(m.FinderAt(4 + symbol - 7, 4));
            EXPECT_TRUE(m.FinderAt(4, 4 + symbol - 7));
            EXPECT_FALSE(m.FinderAt(4 + symbol - 7, 4 + symbol - 7));
            // The timing pattern between the upper finders alternates, dark first.
            for (int x = 8; x < symbol - 8; ++x)
                EXPECT_EQ(m.Dark(4 + x, 4 + 6), x % 2 == 0) << x;
        }
    }
}

TEST(QrCodeImage, DifferentAddressesGiveDifferentCodes) {
    const QImage a = QrCodeImage("http://192.168.1.5:8080", 2);
    const QImage b = QrCodeImage("http://192.168.1.6:8080", 2);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NE(a, b);
    EXPECT_EQ(a, QrCodeImage("http://192.168.1.5:8080", 2));
    // A longer text needs a larger symbol.
    EXPECT_GT(QrCodeImage(std::string(200, 'x'), 1).width(), QrCodeImage("x", 1).width());
}

TEST(QrCodeImage, NothingToDraw) {
    EXPECT_TRUE(QrCodeImage("", 3).isNull());
    EXPECT_TRUE(QrCodeImage("http://x", 0).isNull());
    EXPECT_TRUE(QrCodeImage(std::string(5000, 'x'), 1).isNull()); // beyond version 40
}

} // namespace
} // namespace tvn::ui
