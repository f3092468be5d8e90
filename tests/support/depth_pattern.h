#pragma once

// The picture of the depth tests' pattern window (tools/depth_pattern_window.cpp), which
// paints screens of any depth, 8-bit palette screens too: few enough colours to fit a
// colormap, each far enough from the others to stay distinct in 5 bits a channel.
#include <cstdint>

namespace tvn::test {

// The colour of pixel (x, y) as 0x00RRGGBB on a screen of `width` × `height`: four quadrants
// (red, green, blue, and (200, 100, 50) at the bottom right) and across the middle a strip
// 16 rows high of 32 colours, each 8 columns wide and repeating, where colour k is
// (8k, 255 - 8k, 40k mod 256).
inline std::uint32_t DepthPatternColour(int x, int y, int width, int height) {
    if (y >= height / 2 - 8 && y < height / 2 + 8) {
        const std::uint32_t k = std::uint32_t(x / 8) % 32;
        return (8 * k) << 16 | (255 - 8 * k) << 8 | ((40 * k) & 255);
    }
    const bool right = x >= width / 2;
    if (y < height / 2)
        return right ? 0x00ff00 : 0xff0000;
    return right ? 0xc86432 : 0x0000ff;
}

// The screens of the depth tests, with the width of the channels each keeps of an 8-bit
// colour: 24-bit TrueColor, 16-bit TrueColor 565, and 8-bit PseudoColor (whose colormap
// holds the colours allocated whole).
struct ScreenDepth {
    int depth;
    int redBits;
    int greenBits;
    int blueBits;
};
inline constexpr ScreenDepth kScreenDepths[] = {{24, 8, 8, 8}, {16, 5, 6, 5}, {8, 8, 8, 8}};

// The colour a screen of `depth` shows for `rgb` (0x00RRGGBB), read back as 8-bit channels:
// each channel cut to the bits the screen keeps and widened again (full stays full).
inline std::uint32_t ShownColour(std::uint32_t rgb, const ScreenDepth& depth) {
    auto channel = [](std::uint32_t level, int bits) {
        return (level >> (8 - bits)) * 255 / ((1u << bits) - 1);
    };
    return channel(rgb >> 16 & 255, depth.redBits) << 16 |
           channel(rgb >> 8 & 255, depth.greenBits) << 8 | channel(rgb & 255, depth.blueBits);
}

} // namespace tvn::test
