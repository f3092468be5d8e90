// The X screen capture (XCB, XShm), in the X module.
#include "platform/x11_module/x11_clients.h"

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

// Over XCB, not Xlib: a lost X server (the desktop session ended) shows as a connection in
// error and a missing reply, never as a process-wide handler that ends the program.
namespace tvn {

namespace {

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const noexcept { xcb_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

// Replies and errors are malloc'ed by XCB.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// How long the server may take for one answer. A server that stops answering (hung, or
// stopped by a debugger) fails the capture instead of holding its thread for ever.
constexpr int kAnswerWaitMs = 5000;

// The reply (or the error) of request `sequence`, waiting at most kAnswerWaitMs; null with
// `timedOut` set when none came.
void* AwaitReply(xcb_connection_t* c, unsigned int sequence, xcb_generic_error_t** error,
                 bool& timedOut) {
    timedOut = false;
    xcb_flush(c);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        void* reply = nullptr;
        if (xcb_poll_for_reply(c, sequence, &reply, error))
            return reply;
        if (xcb_connection_has_error(c))
            return nullptr;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long spent =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= kAnswerWaitMs) {
            timedOut = true;
            return nullptr;
        }
        pollfd ready{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&ready, 1, int(kAnswerWaitMs - spent));
    }
}

// A reply of type T to `cookie`, as the library's own *_reply would give it, but bounded.
template <typename T, typename Cookie>
Reply<T> BoundedReply(xcb_connection_t* c, Cookie cookie, xcb_generic_error_t** error,
                      bool& timedOut) {
    return Reply<T>(static_cast<T*>(AwaitReply(c, cookie.sequence, error, timedOut)));
}

const char* const kNoAnswer = "the X server did not answer in time";

// A write to a server that went away raises SIGPIPE, which by default ends the process.
// While it lives, SIGPIPE is held back on this thread; one raised meanwhile is swallowed.
class CPipeSignalHold {
  public:
    CPipeSignalHold() {
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        alreadyPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    }
    ~CPipeSignalHold() {
        if (!alreadyPending) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec now{0, 0};
                sigtimedwait(&pipeOnly, nullptr, &now);
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    CPipeSignalHold(const CPipeSignalHold&) = delete;
    CPipeSignalHold& operator=(const CPipeSignalHold&) = delete;

  private:
    sigset_t pipeOnly{};
    sigset_t previous{};
    bool alreadyPending = false;
};

// What the connection setup tells about the root window's pixels, and how to turn them into
// the capture's words.
struct RootFormat {
    xcb_window_t root = 0;
    xcb_colormap_t colormap = 0;
    std::uint8_t depth = 0;
    std::uint8_t visualClass = XCB_VISUAL_CLASS_TRUE_COLOR;
    std::uint16_t colormapEntries = 0;
    int bitsPerPixel = 0;
    int scanlinePad = 0;
    bool lsbFirst = true;    // byte order (and nibble order of 4-bit pixels)
    bool bitLsbFirst = true; // bit order of 1-bit pixels
    std::uint32_t redMask = 0;
    std::uint32_t greenMask = 0;
    std::uint32_t blueMask = 0;
    // Palette screens: the colour of each pixel value as 0x00RRGGBB. DirectColor screens:
    // the 8-bit level of each index of red, green and blue (in the words' three bytes).
    std::vector<std::uint32_t> colours;

    // Whole 32-bit TrueColor words, taken as they are with the visual's masks.
    bool TakesWords() const {
        return visualClass == XCB_VISUAL_CLASS_TRUE_COLOR && bitsPerPixel == 32;
    }
    bool HasPalette() const { return visualClass <= XCB_VISUAL_CLASS_PSEUDO_COLOR; }
};

// One channel of a pixel value: where it sits, and its width.
struct Channel {
    std::uint32_t mask;
    int shift;
    int bits;
    explicit Channel(std::uint32_t m)
        : mask(m), shift(m ? std::countr_zero(m) : 0), bits(std::popcount(m)) {}
    std::uint32_t Index(std::uint32_t pixel) const { return (pixel & mask) >> shift; }
    // The channel widened or narrowed to 8 bits (a full channel stays full).
    std::uint32_t Level(std::uint32_t pixel) const {
        const std::uint32_t v = Index(pixel);
        if (bits >= 8)
            return v >> (bits - 8);
        return bits == 0 ? 0 : v * 255 / ((1u << bits) - 1);
    }
};

// The value of pixel `x` of a ZPixmap row.
std::uint32_t PixelValue(const std::uint8_t* row, int x, const RootFormat& format) {
    const std::size_t i = std::size_t(x);
    switch (format.bitsPerPixel) {
    case 1:
        return (row[i / 8] >> (format.bitLsbFirst ? i % 8 : 7 - i % 8)) & 1;
    case 4: {
        const bool lowNibble = (i % 2 == 0) == format.lsbFirst;
        return lowNibble ? row[i / 2] & 0xf : row[i / 2] >> 4;
    }
    case 8:
        return row[i];
    default:
        break;
    }
    const std::size_t bytes = std::size_t(format.bitsPerPixel) / 8;
    const std::uint8_t* at = row + i * bytes;
    std::uint32_t value = 0;
    for (std::size_t b = 0; b < bytes; ++b)
        value |= std::uint32_t(at[b]) << (8 * (format.lsbFirst ? b : bytes - 1 - b));
    return value;
}

// A pixel value as 0x00RRGGBB.
std::uint32_t Normalised(std::uint32_t pixel, const RootFormat& format, const Channel& red,
                         const Channel& green, const Channel& blue) {
    if (format.HasPalette()) {
        const std::uint32_t index = pixel & (std::uint32_t(format.colours.size()) - 1);
        return index < format.colours.size() ? format.colours[index] : 0;
    }
    if (format.visualClass == XCB_VISUAL_CLASS_DIRECT_COLOR) {
        auto level = [&](const Channel& channel, int byte) -> std::uint32_t {
            const std::uint32_t index = channel.Index(pixel);
            return index < format.colours.size() ? (format.colours[index] >> (8 * byte)) & 255 : 0;
        };
        return level(red, 2) << 16 | level(green, 1) << 8 | level(blue, 0);
    }
    return red.Level(pixel) << 16 | green.Level(pixel) << 8 | blue.Level(pixel);
}

// The text for a connection that stopped working.
std::string ConnectionError(xcb_connection_t* c) {
    if (xcb_connection_has_error(c) == XCB_CONN_CLOSED_MEM_INSUFFICIENT)
        throw std::bad_alloc();
    return "the connection to the X server broke";
}

// The error text for a request that came back without a reply.
std::string RequestError(xcb_connection_t* c, const char* what, const xcb_generic_error_t* error) {
    if (xcb_connection_has_error(c))
        return ConnectionError(c);
    std::string text = std::string(what) + " failed";
    if (error)
        text += " (X error " + std::to_string(error->error_code) + ")";
    return text;
}

std::size_t BytesPerLine(int width, const RootFormat& format) {
    const std::size_t pad = format.scanlinePad > 0 ? std::size_t(format.scanlinePad) : 32;
    const std::size_t bits = std::size_t(width) * std::size_t(format.bitsPerPixel);
    return (bits + pad - 1) / pad * pad / 8;
}

// Copies `rows` rows of ZPixmap data into `screen` from row `top` on, as host-order words:
// 32-bit TrueColor words as they are, any other pixel as 0x00RRGGBB.
void TakeRows(const std::uint8_t* data, std::size_t bytesPerLine, int top, int rows,
              const RootFormat& format, CapturedScreen& screen) {
    if (!format.TakesWords()) {
        const Channel red(format.redMask), green(format.greenMask), blue(format.blueMask);
        for (int y = 0; y < rows; ++y) {
            const std::uint8_t* from = data + bytesPerLine * std::size_t(y);
            std::uint8_t* to = screen.pixels.data() + screen.stride * std::size_t(top + y);
            for (int x = 0; x < screen.width; ++x, to += 4) {
                const std::uint32_t word =
                    Normalised(PixelValue(from, x, format), format, red, green, blue);
                std::memcpy(to, &word, sizeof word);
            }
        }
        return;
    }
    const bool swap = format.lsbFirst != (std::endian::native == std::endian::little);
    for (int y = 0; y < rows; ++y) {
        const std::uint8_t* from = data + bytesPerLine * std::size_t(y);
        std::uint8_t* to = screen.pixels.data() + screen.stride * std::size_t(top + y);
        if (!swap) {
            std::memcpy(to, from, screen.stride);
            continue;
        }
        for (int x = 0; x < screen.width; ++x, from += 4, to += 4) {
            to[0] = from[3];
            to[1] = from[2];
            to[2] = from[1];
            to[3] = from[0];
        }
    }
}

// A shared-memory segment, attached to us and, once `AttachServer` succeeded, to the server.
class CSharedSegment {
  public:
    CSharedSegment(xcb_connection_t* c, std::size_t bytes) : connection(c) {
        id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return;
        void* at = shmat(id, nullptr, 0);
        if (at == reinterpret_cast<void*>(-1)) {
            MarkForRemoval();
            return;
        }
        address = static_cast<std::uint8_t*>(at);
    }
    ~CSharedSegment() {
        if (serverAttached) {
            xcb_shm_detach(connection, seg);
            xcb_flush(connection);
        }
        MarkForRemoval();
        if (address)
            shmdt(address);
    }
    CSharedSegment(const CSharedSegment&) = delete;
    CSharedSegment& operator=(const CSharedSegment&) = delete;

    // Attaches the server, and waits for its answer; false when it refused (another host).
    bool AttachServer() {
        if (!address)
            return false;
        seg = xcb_generate_id(connection);
        const xcb_void_cookie_t attach = xcb_shm_attach_checked(connection, seg, id, 0);
        // A round trip after the attach, bounded: once its answer is in, so is the attach's
        // error, if any, and the check below does not wait.
        const Reply<xcb_get_input_focus_reply_t> sync(BoundedReply<xcb_get_input_focus_reply_t>(
            connection, xcb_get_input_focus(connection), nullptr, timedOut));
        if (!sync) {
            MarkForRemoval();
            return false;
        }
        const Reply<xcb_generic_error_t> error(xcb_request_check(connection, attach));
        serverAttached = !error && !xcb_connection_has_error(connection);
        // Both sides are attached: the segment goes with the last detach, even if we die.
        MarkForRemoval();
        return serverAttached;
    }

    xcb_shm_seg_t Seg() const { return seg; }
    bool timedOut = false; // the server did not answer the attach
    const std::uint8_t* Data() const { return address; }

  private:
    void MarkForRemoval() {
        if (id >= 0 && !removed) {
            shmctl(id, IPC_RMID, nullptr);
            removed = true;
        }
    }

    xcb_connection_t* connection;
    int id = -1;
    bool removed = false;
    std::uint8_t* address = nullptr;
    xcb_shm_seg_t seg = 0;
    bool serverAttached = false;
};

// Whether the server offers MIT-SHM.
bool ServerShares(xcb_connection_t* c) {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_shm_id);
    if (!extension || !extension->present)
        return false;
    bool timedOut = false;
    const Reply<xcb_shm_query_version_reply_t> version(BoundedReply<xcb_shm_query_version_reply_t>(
        c, xcb_shm_query_version(c), nullptr, timedOut));
    return version != nullptr;
}

enum class Outcome { Captured, NotShared, Failed };

// The root window through a shared segment; NotShared when the server cannot share one with
// us (another host, no shared memory between us) and the caller reads it over the wire.
Outcome CaptureShared(xcb_connection_t* c, const RootFormat& format, CapturedScreen& screen,
                      std::string& error) {
    if (!ServerShares(c))
        return xcb_connection_has_error(c) ? (error = ConnectionError(c), Outcome::Failed)
                                           : Outcome::NotShared;
    const std::size_t bytesPerLine = BytesPerLine(screen.width, format);
    CSharedSegment segment(c, bytesPerLine * std::size_t(screen.height));
    if (!segment.AttachServer()) {
        if (segment.timedOut)
            return error = kNoAnswer, Outcome::Failed;
        return xcb_connection_has_error(c) ? (error = ConnectionError(c), Outcome::Failed)
                                           : Outcome::NotShared;
    }
    xcb_generic_error_t* rawError = nullptr;
    bool timedOut = false;
    const Reply<xcb_shm_get_image_reply_t> reply(BoundedReply<xcb_shm_get_image_reply_t>(
        c,
        xcb_shm_get_image(c, format.root, 0, 0, std::uint16_t(screen.width),
                          std::uint16_t(screen.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          segment.Seg(), 0),
        &rawError, timedOut));
    const Reply<xcb_generic_error_t> requestError(rawError);
    if (!reply) {
        error = timedOut ? kNoAnswer
                         : RequestError(c, "reading the root window through shared memory",
                                        requestError.get());
        return Outcome::Failed;
    }
    TakeRows(segment.Data(), bytesPerLine, 0, screen.height, format, screen);
    return Outcome::Captured;
}

// Rows [top, top + rows) of the root window in one GetImage; false with `error` set.
bool ReadRows(xcb_connection_t* c, const RootFormat& format, int top, int rows,
              CapturedScreen& screen, std::string& error, bool& refused) {
    xcb_generic_error_t* rawError = nullptr;
    bool timedOut = false;
    const Reply<xcb_get_image_reply_t> reply(BoundedReply<xcb_get_image_reply_t>(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, format.root, 0, std::int16_t(top),
                      std::uint16_t(screen.width), std::uint16_t(rows), ~0u),
        &rawError, timedOut));
    const Reply<xcb_generic_error_t> requestError(rawError);
    if (!reply) {
        refused = !timedOut && !xcb_connection_has_error(c);
        error = timedOut ? kNoAnswer
                         : RequestError(c, "GetImage of the root window", requestError.get());
        return false;
    }
    const std::size_t bytesPerLine = BytesPerLine(screen.width, format);
    if (std::size_t(xcb_get_image_data_length(reply.get())) < bytesPerLine * std::size_t(rows)) {
        refused = false;
        error = "GetImage of the root window gave fewer pixels than asked for";
        return false;
    }
    TakeRows(xcb_get_image_data(reply.get()), bytesPerLine, top, rows, format, screen);
    return true;
}

// The root window in GetImage replies: the whole of it at once, or in strips when the server
// refuses a reply that large.
bool CaptureOverWire(xcb_connection_t* c, const RootFormat& format, CapturedScreen& screen,
                     std::string& error) {
    bool refused = false;
    if (ReadRows(c, format, 0, screen.height, screen, error, refused))
        return true;
    if (!refused)
        return false;
    constexpr std::size_t stripBytes = std::size_t(1) << 20;
    const int stripRows = int(std::clamp<std::size_t>(
        stripBytes / std::max<std::size_t>(BytesPerLine(screen.width, format), 1), 1,
        std::size_t(screen.height)));
    for (int top = 0; top < screen.height; top += stripRows)
        if (!ReadRows(c, format, top, std::min(stripRows, screen.height - top), screen, error,
                      refused))
            return false;
    return true;
}

// The screen numbered `number` of the setup, or null.
const xcb_screen_t* ScreenOf(const xcb_setup_t* setup, int number) {
    for (auto it = xcb_setup_roots_iterator(setup); it.rem; --number, xcb_screen_next(&it))
        if (number == 0)
            return it.data;
    return nullptr;
}

// The root's visual, its masks and the bits of a pixel at the root's depth; false with
// `error` when the pixels are of a size this capture cannot read.
bool FindFormat(const xcb_setup_t* setup, const xcb_screen_t& root, RootFormat& format,
                std::string& error) {
    format.root = root.root;
    format.colormap = root.default_colormap;
    format.depth = root.root_depth;
    format.lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    format.bitLsbFirst = setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const xcb_visualtype_t* visual = nullptr;
    for (auto d = xcb_screen_allowed_depths_iterator(&root); d.rem && !visual; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == root.root_visual) {
                visual = v.data;
                break;
            }
    if (!visual || visual->_class > XCB_VISUAL_CLASS_DIRECT_COLOR || format.depth == 0 ||
        format.depth > 32) {
        error = "the screen's visual is unknown (depth " + std::to_string(format.depth) + ")";
        return false;
    }
    format.visualClass = visual->_class;
    format.colormapEntries = visual->colormap_entries;
    format.redMask = visual->red_mask;
    format.greenMask = visual->green_mask;
    format.blueMask = visual->blue_mask;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == format.depth) {
            format.bitsPerPixel = f.data->bits_per_pixel;
            format.scanlinePad = f.data->scanline_pad;
        }
    const int bpp = format.bitsPerPixel;
    if ((bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) ||
        bpp < format.depth || (format.HasPalette() && format.depth > 16)) {
        error = "the screen has " + std::to_string(bpp) + " bits per pixel at depth " +
                std::to_string(format.depth) + ", which cannot be read";
        return false;
    }
    return true;
}

// Reads the colours of a palette or DirectColor screen from its colormap into `format`.
// Palette pixels index the colormap; DirectColor pixels index it per channel.
bool LoadColours(xcb_connection_t* c, RootFormat& format, std::string& error) {
    if (format.visualClass == XCB_VISUAL_CLASS_TRUE_COLOR)
        return true;
    // The cells the colormap has (asking beyond them is an error); the table is a power of
    // two, so that any pixel value, or any index of a channel, finds an entry.
    const std::size_t cells = format.colormapEntries > 0 ? format.colormapEntries
                              : format.HasPalette()      ? std::size_t(1) << format.depth
                                                         : std::size_t(256);
    const std::size_t tableSize =
        format.HasPalette() ? std::size_t(1) << format.depth : std::bit_ceil(cells);
    const std::size_t entries = std::min(cells, tableSize);
    const Channel red(format.redMask), green(format.greenMask), blue(format.blueMask);
    format.colours.assign(tableSize, 0);
    constexpr std::size_t kBatch = 4096; // well inside the smallest maximum request length
    std::vector<std::uint32_t> asked;
    for (std::size_t first = 0; first < entries; first += kBatch) {
        const std::size_t count = std::min(kBatch, entries - first);
        asked.clear();
        for (std::size_t i = first; i < first + count; ++i) {
            const auto index = std::uint32_t(i);
            asked.push_back(format.HasPalette() ? index
                                                : ((index << red.shift) & red.mask) |
                                                      ((index << green.shift) & green.mask) |
                                                      ((index << blue.shift) & blue.mask));
        }
        xcb_generic_error_t* rawError = nullptr;
        bool timedOut = false;
        const Reply<xcb_query_colors_reply_t> reply(BoundedReply<xcb_query_colors_reply_t>(
            c, xcb_query_colors(c, format.colormap, std::uint32_t(count), asked.data()), &rawError,
            timedOut));
        const Reply<xcb_generic_error_t> requestError(rawError);
        if (!reply || std::size_t(xcb_query_colors_colors_length(reply.get())) < count) {
            error = timedOut ? kNoAnswer
                             : RequestError(c, "reading the screen's colormap", requestError.get());
            return false;
        }
        const xcb_rgb_t* colours = xcb_query_colors_colors(reply.get());
        for (std::size_t i = 0; i < count; ++i)
            format.colours[first + i] = std::uint32_t(colours[i].red >> 8) << 16 |
                                        std::uint32_t(colours[i].green >> 8) << 8 |
                                        std::uint32_t(colours[i].blue >> 8);
    }
    return true;
}

bool CaptureRoot(CapturedScreen& screen, std::string& error) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        error = "no X display: DISPLAY is not set";
        return false;
    }
    int screenNumber = 0;
    const ConnectionPtr connection(xcb_connect(name, &screenNumber));
    xcb_connection_t* c = connection.get();
    if (!c || xcb_connection_has_error(c)) {
        error = std::string("cannot open the X display ") + name;
        return false;
    }
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_screen_t* root = setup ? ScreenOf(setup, screenNumber) : nullptr;
    if (!root) {
        error = std::string("the X display ") + name + " has no such screen";
        return false;
    }
    RootFormat format;
    if (!FindFormat(setup, *root, format, error) || !LoadColours(c, format, error))
        return false;

    // The size now, not at connection time: the screen may have been resized since.
    xcb_generic_error_t* rawError = nullptr;
    bool timedOut = false;
    const Reply<xcb_get_geometry_reply_t> geometry(BoundedReply<xcb_get_geometry_reply_t>(
        c, xcb_get_geometry(c, format.root), &rawError, timedOut));
    const Reply<xcb_generic_error_t> geometryError(rawError);
    if (!geometry) {
        error = timedOut                      ? kNoAnswer
                : xcb_connection_has_error(c) ? ConnectionError(c)
                                              : "cannot read the root window's size";
        return false;
    }
    screen.width = geometry->width;
    screen.height = geometry->height;
    screen.bitsPerPixel = 32;
    screen.stride = std::size_t(screen.width) * 4;
    screen.redMask = format.TakesWords() ? format.redMask : 0xff0000;
    screen.greenMask = format.TakesWords() ? format.greenMask : 0x00ff00;
    screen.blueMask = format.TakesWords() ? format.blueMask : 0x0000ff;
    screen.pixels.resize(screen.stride * std::size_t(screen.height));

    switch (CaptureShared(c, format, screen, error)) {
    case Outcome::Captured:
        return true;
    case Outcome::Failed:
        return false;
    case Outcome::NotShared:
        break;
    }
    return CaptureOverWire(c, format, screen, error);
}

} // namespace

namespace x11 {

bool CaptureScreen(CapturedScreen& screen, std::string& error) {
    screen = CapturedScreen{};
    const CPipeSignalHold holdPipeSignal;
    bool captured = false;
    try {
        captured = CaptureRoot(screen, error);
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the screen's pixels";
    }
    if (!captured)
        screen = CapturedScreen{};
    return captured;
}

} // namespace x11
} // namespace tvn
