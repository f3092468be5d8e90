// A media player for the tests: an MPRIS player on the session bus, named
// org.mpris.MediaPlayer2.<first argument>, that writes every call it gets to its standard
// output as a line ("Play", "Seek -10000000", "Volume 0.6", "Raise") and "ready" once it
// can be called.
//   --hang      every method records its call, then does not answer for 30 seconds
//   --window    shows a small window that takes the keyboard focus and records key presses
//               as "Key <text or key name>" ("Key 1", "Key Up"); "ready" waits for the
//               focus, and "Active" and "Inactive" follow its changes
//   --no-raise  CanRaise is false (Raise() would still take the focus when called)
//   --volume V  the volume at start, 0.5 unless given
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPainter>
#include <QRasterWindow>
#include <QThread>
#include <cstdio>
#include <memory>

namespace {

void Record(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

struct Options {
    QString name;
    bool hang = false;
    bool window = false;
    bool raisable = true;
    double volume = 0.5;
};

class CPlayerWindow : public QRasterWindow {
  public:
    CPlayerWindow() { resize(200, 150); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(), size()), Qt::darkBlue);
    }
    void keyPressEvent(QKeyEvent* event) override {
        const int key = event->key();
        if (key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt)
            return; // the key that comes with it says it all
        const QString text = event->text();
        const bool printable = !text.isEmpty() && text.at(0).isPrint();
        Record(QStringLiteral("Key ") + (printable ? text : QKeySequence(key).toString()));
    }
};

class CPlayerState : public QObject {
  public:
    CPlayerState(const Options& given, QWindow* shown) : options(given), window(shown) {}

    // Records a call; a hanging player then keeps the caller waiting.
    void Called(const QString& line) const {
        Record(line);
        if (options.hang)
            QThread::sleep(30);
    }

    Options options;
    QWindow* window;
};

class CRootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanRaise READ CanRaise)
    Q_PROPERTY(QString Identity READ Identity)

  public:
    explicit CRootAdaptor(CPlayerState* owner) : QDBusAbstractAdaptor(owner), state(owner) {}
    bool CanRaise() const { return state->options.raisable; }
    QString Identity() const { return state->options.name; }

  public slots:
    void Raise() {
        state->Called(QStringLiteral("Raise"));
        if (state->window)
            state->window->requestActivate();
    }

  private:
    CPlayerState* state;
};

class CPlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(double Volume READ Volume WRITE SetVolume)

  public:
    explicit CPlayerAdaptor(CPlayerState* owner) : QDBusAbstractAdaptor(owner), state(owner) {}
    double Volume() const { return state->options.volume; }
    void SetVolume(double volume) {
        state->options.volume = volume;
        state->Called(QStringLiteral("Volume ") + QString::number(volume));
    }

  public slots:
    void Play() { state->Called(QStringLiteral("Play")); }
    void Pause() { state->Called(QStringLiteral("Pause")); }
    void Stop() { state->Called(QStringLiteral("Stop")); }
    void Next() { state->Called(QStringLiteral("Next")); }
    void Previous() { state->Called(QStringLiteral("Previous")); }
    void Seek(qlonglong offset) {
        state->Called(QStringLiteral("Seek ") + QString::number(offset));
    }

  private:
    CPlayerState* state;
};

Options ReadOptions(const QStringList& arguments) {
    Options options;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--hang"))
            options.hang = true;
        else if (argument == QLatin1String("--window"))
            options.window = true;
        else if (argument == QLatin1String("--no-raise"))
            options.raisable = false;
        else if (argument == QLatin1String("--volume") && i + 1 < arguments.size())
            options.volume = arguments.at(++i).toDouble();
        else
            options.name = argument;
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const Options options = ReadOptions(app.arguments());
    if (options.name.isEmpty())
        return 2;
    std::unique_ptr<CPlayerWindow> window;
    if (options.window)
        window = std::make_unique<CPlayerWindow>();
    CPlayerState state(options, window.get());
    new CRootAdaptor(&state);
    new CPlayerAdaptor(&state);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/mpris/MediaPlayer2"), &state) ||
        !bus.registerService(QStringLiteral("org.mpris.MediaPlayer2.") + options.name))
        return 1;
    if (!window) {
        Record(QStringLiteral("ready"));
        return app.exec();
    }
    bool announced = false;
    QObject::connect(window.get(), &QWindow::activeChanged, [&] {
        const bool active = window->isActive();
        if (active && !announced) {
            announced = true;
            Record(QStringLiteral("ready"));
        }
        Record(active ? QStringLiteral("Active") : QStringLiteral("Inactive"));
    });
    window->show();
    window->requestActivate();
    return app.exec();
}

#include "fake_mpris_player.moc"
