// A window over the whole screen showing a known picture, for the screen-capture tests: four
// quadrants of distinct colours and, across the middle, a strip 16 rows high whose pixel in
// column x is (x mod 256, 3x mod 256, 255 - x mod 256). Prints "ready" once it has painted.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <cstdio>

namespace {

class PatternWindow : public QRasterWindow {
  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const int w = width(), h = height();
        painter.fillRect(0, 0, w / 2, h / 2, QColor(255, 0, 0));
        painter.fillRect(w / 2, 0, w - w / 2, h / 2, QColor(0, 255, 0));
        painter.fillRect(0, h / 2, w / 2, h - h / 2, QColor(0, 0, 255));
        painter.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, QColor(200, 100, 50));
        QImage strip(w, 16, QImage::Format_RGB32);
        for (int y = 0; y < strip.height(); ++y)
            for (int x = 0; x < w; ++x)
                strip.setPixel(x, y, qRgb(x & 255, (x * 3) & 255, 255 - (x & 255)));
        painter.drawImage(0, h / 2 - 8, strip);
        if (!announced) {
            announced = true;
            std::puts("ready");
            std::fflush(stdout);
        }
    }

  private:
    bool announced = false;
};

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    PatternWindow window;
    window.setFlags(Qt::Window | Qt::FramelessWindowHint);
    window.setGeometry(app.primaryScreen()->geometry());
    window.show();
    return app.exec();
}
