#pragma once

#include <QDialog>

class QLabel;

namespace tvn::ui {

// The About box: a picture, the line "Tarvolin +" with the program's version, and OK.
class CAboutBox : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutBox(QWidget* parent = nullptr);
    // The centred line ("Tarvolin + 3.1.2.47").
    QString Line() const;

  private:
    QLabel* line = nullptr;
};

// kCommandAbout: shows the About box modally. While one is open a second command does
// nothing; true when this call showed the box.
bool ShowAboutBox(QWidget* parent);

} // namespace tvn::ui
