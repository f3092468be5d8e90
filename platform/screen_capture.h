#pragma once

// A picture of the whole X screen, for the screenshot pages. No Xlib type leaves platform/.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvn {

// The root window's pixels, top row first, `stride` bytes a row. Each pixel is one 32-bit
// word in the host's byte order; the masks say where red, green and blue are in it. A screen
// of any other depth (16-bit TrueColor, 8-bit PseudoColor with its colormap, ...) comes as
// words of 8-bit channels, 0x00RRGGBB.
struct CapturedScreen {
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0; // 32
    std::size_t stride = 0;
    std::uint32_t redMask = 0;
    std::uint32_t greenMask = 0;
    std::uint32_t blueMask = 0;
    std::vector<std::uint8_t> pixels;
};

// Captures the root window of the X display named by DISPLAY, through shared memory when the
// server offers it. False, with a reason in `error`, when there is no display or its pixels
// are of a size that cannot be read, or when the connection breaks (the desktop session
// ended): never does a lost server end the process. Opens a connection of its own for each
// call, so any thread may call it.
bool CaptureScreen(CapturedScreen& screen, std::string& error);

} // namespace tvn
