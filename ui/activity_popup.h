#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <string>
#include <string_view>

namespace tvn::ui {

// The caption that precedes the activity lines.
inline constexpr const char* kActivityCaption = "  Tarvolin Access info:";

// The activity pop-up: a light-yellow panel at the bottom-right corner of the work area that
// lists the latest request lines, hides itself a while after the last one, and never takes
// the focus or a click.
class CInfoTool : public QWidget {
    Q_OBJECT
  public:
    // `displayMs`: how long the pop-up stays after the last line.
    explicit CInfoTool(int displayMs = 5000, QWidget* parent = nullptr);

    // Adds one request line (which begins with its own line feed). A line arriving while the
    // pop-up is hidden starts a new list; at most the last 16 lines are kept.
    void ShowActivity(std::string_view line);
    // The text shown: the caption followed by the lines.
    const QString& Text() const { return shown; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void Show(const QString& text);

    std::deque<std::string> lines;
    QString shown;
    QTimer timer;
    int displayMs;
};

} // namespace tvn::ui
