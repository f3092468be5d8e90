#include "platform/screen_capture.h"

#include "platform/x_error_trap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace tvn {

namespace {

struct DisplayCloser {
    void operator()(Display* d) const noexcept { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct ImageDestroyer {
    void operator()(XImage* image) const noexcept { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDestroyer>;

// An image over a shared segment: the segment is not XDestroyImage's to free.
struct SharedImageDestroyer {
    void operator()(XImage* image) const noexcept {
        image->data = nullptr;
        XDestroyImage(image);
    }
};
using SharedImagePtr = std::unique_ptr<XImage, SharedImageDestroyer>;

// One capture at a time; its connection's errors land in `captureFailed` through the
// process's shared X error handler.
std::mutex captureLock;
bool captureFailed = false; // guarded by captureLock

// A shared-memory segment attached to us and to the X server; detached from both when it goes.
class SharedSegment {
  public:
    SharedSegment(Display* d, std::size_t bytes) : display(d) {
        info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (info.shmid < 0)
            return;
        void* address = shmat(info.shmid, nullptr, 0);
        // Marked for removal at once: the segment lives until the last detach, even if we die.
        shmctl(info.shmid, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1))
            return;
        info.shmaddr = static_cast<char*>(address);
        info.readOnly = False;
        captureFailed = false;
        serverAttached = XShmAttach(display, &info) && (XSync(display, False), !captureFailed);
    }
    ~SharedSegment() {
        if (serverAttached) {
            XShmDetach(display, &info);
            XSync(display, False);
        }
        if (info.shmaddr)
            shmdt(info.shmaddr);
    }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;

    bool Attached() const { return serverAttached; }
    XShmSegmentInfo* Info() { return &info; }

  private:
    Display* display;
    XShmSegmentInfo info{};
    bool serverAttached = false;
};

// Copies the image's rows into `screen` as host-order words.
void TakePixels(const XImage& image, CapturedScreen& screen) {
    screen.width = image.width;
    screen.height = image.height;
    screen.bitsPerPixel = 32;
    screen.stride = static_cast<std::size_t>(image.width) * 4;
    screen.redMask = static_cast<std::uint32_t>(image.red_mask);
    screen.greenMask = static_cast<std::uint32_t>(image.green_mask);
    screen.blueMask = static_cast<std::uint32_t>(image.blue_mask);
    screen.pixels.resize(screen.stride * image.height);
    const bool hostLsb = std::endian::native == std::endian::little;
    const bool swap = (image.byte_order == LSBFirst) != hostLsb;
    for (int y = 0; y < image.height; ++y) {
        const auto* from = reinterpret_cast<const std::uint8_t*>(image.data) +
                           static_cast<std::size_t>(image.bytes_per_line) * y;
        std::uint8_t* to = screen.pixels.data() + screen.stride * y;
        if (!swap) {
            std::memcpy(to, from, screen.stride);
            continue;
        }
        for (int x = 0; x < image.width; ++x, from += 4, to += 4) {
            to[0] = from[3];
            to[1] = from[2];
            to[2] = from[1];
            to[3] = from[0];
        }
    }
}

// The root window through a shared segment; false when the server cannot share one with us
// (another host, or no shared memory between us), and the caller reads it over the wire.
bool CaptureShared(Display* display, Window root, const XWindowAttributes& attrs,
                   CapturedScreen& screen) {
    if (!XShmQueryExtension(display))
        return false;
    XShmSegmentInfo probe{};
    SharedImagePtr image(XShmCreateImage(display, attrs.visual, attrs.depth, ZPixmap, nullptr,
                                         &probe, attrs.width, attrs.height));
    if (!image)
        return false;
    SharedSegment segment(display, static_cast<std::size_t>(image->bytes_per_line) * image->height);
    if (!segment.Attached())
        return false;
    image->data = segment.Info()->shmaddr;
    image->obdata = reinterpret_cast<char*>(segment.Info());
    captureFailed = false;
    const bool read = XShmGetImage(display, root, image.get(), 0, 0, AllPlanes) &&
                      (XSync(display, False), !captureFailed);
    if (!read || image->bits_per_pixel != 32)
        return false;
    TakePixels(*image, screen);
    return true;
}

bool CaptureOverWire(Display* display, Window root, const XWindowAttributes& attrs,
                     CapturedScreen& screen, std::string& error) {
    captureFailed = false;
    ImagePtr image(XGetImage(display, root, 0, 0, attrs.width, attrs.height, AllPlanes, ZPixmap));
    XSync(display, False);
    if (!image || captureFailed) {
        error = "XGetImage of the root window failed";
        return false;
    }
    if (image->bits_per_pixel != 32) {
        error = "the screen has " + std::to_string(image->bits_per_pixel) +
                " bits per pixel; only 32 are supported";
        return false;
    }
    TakePixels(*image, screen);
    return true;
}

bool CaptureRoot(CapturedScreen& screen, std::string& error) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        error = "no X display: DISPLAY is not set";
        return false;
    }
    DisplayPtr display(XOpenDisplay(name));
    if (!display) {
        error = std::string("cannot open the X display ") + name;
        return false;
    }
    SurviveLostConnection(display.get());
    std::lock_guard lock(captureLock);
    const CXErrorTrap trap(display.get(), &captureFailed);
    captureFailed = false;
    const Window root = DefaultRootWindow(display.get());
    XWindowAttributes attrs{};
    if (!XGetWindowAttributes(display.get(), root, &attrs) || captureFailed) {
        error = "cannot read the root window's size";
        return false;
    }
    if (attrs.visual->c_class != TrueColor || (attrs.depth != 24 && attrs.depth != 32)) {
        error = "the screen's visual is not 24- or 32-bit TrueColor (depth " +
                std::to_string(attrs.depth) + ")";
        return false;
    }
    if (CaptureShared(display.get(), root, attrs, screen))
        return true;
    return CaptureOverWire(display.get(), root, attrs, screen, error);
}

} // namespace

bool CaptureScreen(CapturedScreen& screen, std::string& error) {
    screen = CapturedScreen{};
    try {
        return CaptureRoot(screen, error);
    } catch (const std::bad_alloc&) {
        screen = CapturedScreen{};
        error = "not enough memory for the screen's pixels";
        return false;
    }
}

} // namespace tvn
