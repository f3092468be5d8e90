// A window over the whole screen showing the depth tests' pattern (support/depth_pattern.h),
// drawn through XCB in the screen's own pixel format, whatever its depth: TrueColor pixels
// made from the visual's masks (each channel cut to the bits the screen keeps), palette
// colours allocated in the default colormap. Qt paints on no 8-bit screen, hence no Qt here.
// Prints "ready" once the server holds the picture.
#include "../support/depth_pattern.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>
#include <xcb/xcb.h>

namespace {

struct Format {
    const xcb_screen_t* screen = nullptr;
    const xcb_visualtype_t* visual = nullptr;
    int bitsPerPixel = 0;
    int scanlinePad = 32;
    bool lsbFirst = true;
};

bool FindFormat(xcb_connection_t* c, int number, Format& format) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    for (auto it = xcb_setup_roots_iterator(setup); it.rem; --number, xcb_screen_next(&it))
        if (number == 0)
            format.screen = it.data;
    if (!format.screen)
        return false;
    for (auto d = xcb_screen_allowed_depths_iterator(format.screen); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == format.screen->root_visual)
                format.visual = v.data;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == format.screen->root_depth) {
            format.bitsPerPixel = f.data->bits_per_pixel;
            format.scanlinePad = f.data->scanline_pad;
        }
    format.lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const int bpp = format.bitsPerPixel;
    return format.visual && (bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32);
}

std::uint32_t Narrowed(std::uint32_t level, std::uint32_t mask) {
    if (!mask)
        return 0;
    const int bits = std::popcount(mask);
    const std::uint32_t value = bits >= 8 ? level << (bits - 8) : level >> (8 - bits);
    return (value << std::countr_zero(mask)) & mask;
}

} // namespace

int main() {
    int number = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &number);
    Format format;
    if (xcb_connection_has_error(c) || !FindFormat(c, number, format))
        return 1;
    const xcb_screen_t& screen = *format.screen;
    const int width = screen.width_in_pixels;
    const int height = screen.height_in_pixels;
    const bool trueColour = format.visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR;

    std::map<std::uint32_t, std::uint32_t> pixels; // colour -> pixel value
    auto pixelOf = [&](std::uint32_t rgb) -> std::uint32_t {
        const auto known = pixels.find(rgb);
        if (known != pixels.end())
            return known->second;
        const std::uint32_t r = rgb >> 16 & 255, g = rgb >> 8 & 255, b = rgb & 255;
        std::uint32_t pixel = 0;
        if (trueColour) {
            pixel = Narrowed(r, format.visual->red_mask) | Narrowed(g, format.visual->green_mask) |
                    Narrowed(b, format.visual->blue_mask);
        } else {
            std::unique_ptr<xcb_alloc_color_reply_t, decltype(&std::free)> reply(
                xcb_alloc_color_reply(
                    c, xcb_alloc_color(c, screen.default_colormap, r * 257, g * 257, b * 257),
                    nullptr),
                &std::free);
            if (!reply) {
                std::fprintf(stderr, "cannot allocate colour %06x\n", rgb);
                std::exit(1);
            }
            pixel = reply->pixel;
        }
        return pixels[rgb] = pixel;
    };

    const std::size_t pad = std::size_t(format.scanlinePad);
    const std::size_t bytesPerLine =
        (std::size_t(width) * format.bitsPerPixel + pad - 1) / pad * pad / 8;
    const std::size_t bytes = std::size_t(format.bitsPerPixel) / 8;
    std::vector<std::uint8_t> image(bytesPerLine * std::size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint32_t pixel = pixelOf(tvn::test::DepthPatternColour(x, y, width, height));
            std::uint8_t* at =
                image.data() + bytesPerLine * std::size_t(y) + std::size_t(x) * bytes;
            for (std::size_t i = 0; i < bytes; ++i)
                at[format.lsbFirst ? i : bytes - 1 - i] = std::uint8_t(pixel >> (8 * i));
        }

    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c, screen.root_depth, window, screen.root, 0, 0, std::uint16_t(width),
                      std::uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen.root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, 0, nullptr);
    xcb_map_window(c, window);
    xcb_flush(c);

    // Rows in pieces that fit a request.
    const std::size_t maxBytes = std::size_t(xcb_get_maximum_request_length(c)) * 4 - 64;
    const int rowsAtOnce = int(std::max<std::size_t>(1, maxBytes / bytesPerLine));
    auto paint = [&] {
        for (int top = 0; top < height; top += rowsAtOnce) {
            const int rows = std::min(rowsAtOnce, height - top);
            xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, std::uint16_t(width),
                          std::uint16_t(rows), 0, std::int16_t(top), 0, screen.root_depth,
                          std::uint32_t(bytesPerLine * std::size_t(rows)),
                          image.data() + bytesPerLine * std::size_t(top));
        }
        // A round trip: once it is answered, the server has drawn everything before it.
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    };
    bool announced = false;
    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
        const bool expose = (event->response_type & 0x7f) == XCB_EXPOSE;
        std::free(event);
        if (!expose)
            continue;
        paint();
        if (!announced) {
            announced = true;
            std::puts("ready");
            std::fflush(stdout);
        }
    }
    xcb_disconnect(c);
    return 0;
}
