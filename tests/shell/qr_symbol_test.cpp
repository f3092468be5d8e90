// The QR code of the access address: the symbol's fixed patterns, the terminal drawing read back
// module by module, and when the headless program writes it.
#include "shell/qr_symbol.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace tvn {
namespace {

// Reads a terminal drawing back: for each module of the drawing (quiet zone included), true
// where the terminal shows light. Empty when a glyph is not one of the four.
std::vector<std::vector<bool>> ReadBack(const std::string& drawing) {
    std::vector<std::vector<bool>> rows;
    std::istringstream lines(drawing);
    for (std::string line; std::getline(lines, line);) {
        std::vector<bool> top, bottom;
        for (std::size_t at = 0; at < line.size();) {
            if (line.compare(at, 1, " ") == 0) {
                top.push_back(false), bottom.push_back(false), at += 1;
            } else if (line.compare(at, 3, "\u2588") == 0) {
                top.push_back(true), bottom.push_back(true), at += 3;
            } else if (line.compare(at, 3, "\u2580") == 0) {
                top.push_back(true), bottom.push_back(false), at += 3;
            } else if (line.compare(at, 3, "\u2584") == 0) {
                top.push_back(false), bottom.push_back(true), at += 3;
            } else {
                return {};
            }
        }
        rows.push_back(top);
        rows.push_back(bottom);
    }
    return rows;
}

bool FinderAt(const QrSymbol& symbol, int left, int top) {
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 7; ++x) {
            const bool ring = x == 0 || y == 0 || x == 6 || y == 6;
            const bool core = x >= 2 && x <= 4 && y >= 2 && y <= 4;
            if (symbol.Dark(left + x, top + y) != (ring || core))
                return false;
        }
    }
    return true;
}

TEST(QrSymbol, CarriesTheThreeFinderPatterns) {
    for (const std::string text : {"http://192.168.1.5:8080", "http://home.example",
                                   "http://a-rather-long-name.dyndns.org:65535/with/a/path"}) {
        SCOPED_TRACE(text);
        const QrSymbol symbol = EncodeQr(text);
        ASSERT_GE(symbol.width, 21);
        EXPECT_EQ((symbol.width - 17) % 4, 0) << "a QR version's width";
        EXPECT_TRUE(FinderAt(symbol, 0, 0));
        EXPECT_TRUE(FinderAt(symbol, symbol.width - 7, 0));
        EXPECT_TRUE(FinderAt(symbol, 0, symbol.width - 7));
        EXPECT_FALSE(FinderAt(symbol, symbol.width - 7, symbol.width - 7));
    }
    EXPECT_EQ(EncodeQr("").width, 0);
    EXPECT_NE(EncodeQr("http://192.168.1.5:8080").dark, EncodeQr("http://192.168.1.6:8080").dark);
}

// Every module comes back from the drawing inverted (dark modules are blanks), inside a light
// quiet zone of four modules.
TEST(QrSymbol, TerminalDrawingReadsBackModuleByModule) {
    const QrSymbol symbol = EncodeQr("http://192.168.1.5:8080");
    const auto rows = ReadBack(TerminalQrCode(symbol));
    const int side = symbol.width + 2 * kQrQuietModules;
    ASSERT_EQ(static_cast<int>(rows.size()), side + 1) << "an odd side leaves half a line";
    for (int y = 0; y < side; ++y) {
        ASSERT_EQ(static_cast<int>(rows[y].size()), side);
        for (int x = 0; x < side; ++x) {
            const int mx = x - kQrQuietModules;
            const int my = y - kQrQuietModules;
            const bool inside = mx >= 0 && my >= 0 && mx < symbol.width && my < symbol.width;
            EXPECT_EQ(rows[y][x], !inside || !symbol.Dark(mx, my)) << x << "," << y;
        }
    }
    EXPECT_EQ(TerminalQrCode(QrSymbol{}), "");
}

TEST(QrSymbol, HeadlessWritesACodeForEachNewAddressOnly) {
    struct Step {
        const char* line;
        bool written;
    };
    const Step steps[] = {
        {"http://localhost:8080 Only. No NET connections found", true},
        {"http://localhost:8080 Only. No NET connections found", false},
        {"http://localhost:8080/Blog/first.html Last blog post", false},
        {"The Server is stopped", false},
        {"http://192.168.1.5:8080 (LAN only)", true},
        {"http://192.168.1.5:8080 (LAN only) DynDns for 'x' says: No such host", false},
        {"http://home.example (via Zereru Zadariv)", true},
    };
    std::string last;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.line);
        std::ostringstream out;
        EXPECT_EQ(WriteAccessQrCode(out, step.line, last), step.written);
        EXPECT_EQ(!out.str().empty(), step.written);
        if (step.written) {
            EXPECT_EQ(out.str(), TerminalQrCode(EncodeQr(AccessAddress(step.line))));
        }
    }
    EXPECT_EQ(last, "http://home.example");
}

} // namespace
} // namespace tvn
