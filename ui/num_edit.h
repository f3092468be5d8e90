#pragma once

#include "config/setting_keys.h"

#include <QLineEdit>

namespace tvn::ui {

// The port edit: only digits and the editing keys get in, and its value never leaves
// 1..65535. After each change the text is read back; a number in range becomes the last
// good value, anything else (also an empty edit) beeps and shows the last good value again.
class CNumEdit : public QLineEdit {
    Q_OBJECT
  public:
    explicit CNumEdit(QWidget* parent = nullptr);

    // Shows `value` and makes it the last good one; a value outside 1..65535 is ignored.
    void SetValue(int value);
    // The last good value.
    int Value() const { return lastGood; }

  signals:
    // A key or an edit was refused (the edit beeped).
    void refused();

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void CheckText();
    void Refuse();

    int lastGood = setting::kPort.number;
};

} // namespace tvn::ui
