#include "pages/screenshot.h"

#include "pages/desktop_access.h"
#include "pages/image/dib_image.h"
#include "pages/image/png_encoder.h"
#include "pages/page_wrap.h"
#include "platform/screen_capture.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace tvn {
namespace {

std::atomic<int> captures{0};

bool Capture(CapturedScreen& screen) {
    std::string error;
    captures.fetch_add(1);
    return CaptureScreen(screen, error);
}

// "width" and "height" as a plain decimal conversion: leading digits (a sign allowed),
// anything else 0. Compared as unsigned numbers, so a negative box never shrinks.
unsigned QueryNumber(const std::string& text) {
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return value < 0 ? static_cast<unsigned>(INT_MIN) : static_cast<unsigned>(INT_MAX);
    return static_cast<unsigned>(static_cast<int>(value));
}

// One fitted picture asked for, and everybody who waits for it.
struct ShotOrder {
    unsigned boxWidth = 0;
    unsigned boxHeight = 0;
    std::shared_ptr<std::string> png = std::make_shared<std::string>();
    std::vector<std::function<void()>> wakers;
};

// One capture at a time: a round captures the screen once and encodes it for each box its
// orders ask; orders for a box already in the running round join it, others wait for the
// next round. Lives on the main thread; the round's work runs on a worker, or in place for
// an order that cannot wait through the event loop.
class CScreenShooter {
  public:
    static CScreenShooter& Instance() {
        static CScreenShooter shooter;
        return shooter;
    }

    std::shared_ptr<std::string> Join(unsigned boxWidth, unsigned boxHeight,
                                      std::function<void()> wake, bool inPlace) {
        if (inPlace) {
            auto png = std::make_shared<std::string>();
            RunRound({{boxWidth, boxHeight, png}});
            wake();
            return png;
        }
        if (running) {
            for (const auto& order : current) {
                if (order->boxWidth == boxWidth && order->boxHeight == boxHeight) {
                    order->wakers.push_back(std::move(wake));
                    return order->png;
                }
            }
        }
        std::shared_ptr<ShotOrder> order;
        for (const auto& waiting : next) {
            if (waiting->boxWidth == boxWidth && waiting->boxHeight == boxHeight)
                order = waiting;
        }
        if (!order) {
            order = std::make_shared<ShotOrder>();
            order->boxWidth = boxWidth;
            order->boxHeight = boxHeight;
            next.push_back(order);
        }
        order->wakers.push_back(std::move(wake));
        if (!running)
            StartRound();
        return order->png;
    }

  private:
    struct Work {
        unsigned boxWidth;
        unsigned boxHeight;
        std::shared_ptr<std::string> png;
    };

    // Captures the screen once and encodes it for every box of `work`.
    static void RunRound(const std::vector<Work>& work) {
        try {
            CapturedScreen screen;
            if (Capture(screen)) {
                for (const Work& one : work)
                    *one.png = EncodeScreenShot(screen, one.boxWidth, one.boxHeight);
            }
        } catch (const std::bad_alloc&) {
            // The pictures stay empty; the placeholder goes out.
        }
    }

    void StartRound() {
        current = std::move(next);
        next.clear();
        running = true;
        std::vector<Work> work;
        for (const auto& order : current)
            work.push_back({order->boxWidth, order->boxHeight, order->png});
        QThreadPool::globalInstance()->start([work = std::move(work)] {
            RunRound(work);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] { Instance().FinishRound(); },
                Qt::QueuedConnection);
        });
    }

    void FinishRound() {
        std::vector<std::shared_ptr<ShotOrder>> done = std::move(current);
        current.clear();
        running = false;
        for (const auto& order : done) {
            for (auto& wake : order->wakers)
                wake();
        }
        if (!next.empty())
            StartRound();
    }

    bool running = false;
    std::vector<std::shared_ptr<ShotOrder>> current;
    std::vector<std::shared_ptr<ShotOrder>> next;
};

void PutScreenShot(CRequestContext& context, const std::string& png) {
    context.answer.AddHeaderNumber("Content-Length", static_cast<long long>(png.size()));
    context.answer.AppendBody(png);
}

} // namespace

int ScreenCaptureCount() { return captures.load(); }

void FitScreenShot(int width, int height, unsigned boxWidth, unsigned boxHeight, int& fitWidth,
                   int& fitHeight) {
    fitWidth = width;
    fitHeight = height;
    if (boxWidth == 0 || boxHeight == 0)
        return;
    // Single precision, in this order: the sizes are truncated toward zero.
    const float byWidth = static_cast<float>(width) / static_cast<float>(boxWidth);
    const float byHeight = static_cast<float>(height) / static_cast<float>(boxHeight);
    if (std::max(byWidth, byHeight) <= 1.0f)
        return; // never enlarged
    if (byHeight > byWidth) {
        fitWidth = static_cast<int>(static_cast<float>(boxWidth) * byWidth / byHeight);
        fitHeight = static_cast<int>(boxHeight);
    } else {
        fitWidth = static_cast<int>(boxWidth);
        fitHeight = static_cast<int>(static_cast<float>(boxHeight) * byHeight / byWidth);
    }
    // A box one pixel high for a wide screen still gets a picture.
    fitWidth = std::max(fitWidth, 1);
    fitHeight = std::max(fitHeight, 1);
}

std::string EncodeScreenShot(const CapturedScreen& screen, unsigned boxWidth, unsigned boxHeight) {
    CDibImagePNG image;
    if (!image.CreateFromScreen(screen))
        return {};
    int width = 0;
    int height = 0;
    FitScreenShot(image.Width(), image.Height(), boxWidth, boxHeight, width, height);
    if ((width != image.Width() || height != image.Height()) && !image.BoxShrink(width, height))
        return {};
    char* bytes = nullptr;
    std::size_t size = 0;
    const bool encoded = image.Encode(bytes, size, ImageKind::Png);
    const std::unique_ptr<char, decltype(&std::free)> owned(bytes, &std::free);
    if (!encoded || !bytes)
        return {};
    return std::string(bytes, size);
}

StageResult HandleScreenShot(CRequestContext& context) {
    if (!context.request.urlPath.starts_with("/ScreenShot/"))
        return StageResult::kGoOn;
    if (context.IsIndexName())
        return WrapPage(context);
    if (!MayUseDesktop(context))
        return StageResult::kGoOn; // the placeholder
    const unsigned boxWidth = QueryNumber(context.request.Param("width"));
    const unsigned boxHeight = QueryNumber(context.request.Param("height"));

    // Should no picture come, the stages go on to the file itself (the placeholder).
    auto png = std::make_shared<std::shared_ptr<std::string>>();
    std::function<void()> wake = context.ParkUntilWoken([png](CRequestContext& done) {
        if (!*png || (*png)->empty())
            return StageResult::kGoOn;
        PutScreenShot(done, **png);
        return StageResult::kAnswered;
    });
    *png = CScreenShooter::Instance().Join(boxWidth, boxHeight, std::move(wake),
                                           !context.WaitsThroughEventLoop());
    return context.WaitForWake();
}

} // namespace tvn
