#pragma once

#include "shell/user_interface.h"

#include <QDialog>
#include <string>

class QCheckBox;

namespace tvn::ui {

// A question with OK and Cancel and a "Don't show me again" box.
class CQuestionOnce : public QDialog {
    Q_OBJECT
  public:
    CQuestionOnce(const std::string& text, const std::string& caption, QWidget* parent = nullptr);
    // The answer as the dialog stands (OK only after it was accepted).
    QuestionReply Reply() const;

  private:
    QCheckBox* dontAsk = nullptr;
};

// Asks modally; Cancel or closing the window answer not OK.
QuestionReply AskOnceBox(const std::string& text, const std::string& caption);

} // namespace tvn::ui
