#include "ui/num_edit.h"

#include <QApplication>
#include <QKeyEvent>
#include <charconv>

namespace tvn::ui {
namespace {

constexpr int kLowest = 1;
constexpr int kHighest = 65535;

// Keys that move the cursor or leave the edit: they change no text, so they are neither
// refused nor checked. Return and Escape go on to the dialog (Save and Close).
bool PassesThrough(int key) {
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Meta:
        return true;
    default:
        return false;
    }
}

// The value of an all-digit text in range, else 0.
int PortValue(const QString& text) {
    const std::string digits = text.toStdString();
    if (digits.empty() || digits.size() > 5)
        return 0;
    int value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return 0;
    return value >= kLowest && value <= kHighest ? value : 0;
}

} // namespace

CNumEdit::CNumEdit(QWidget* parent) : QLineEdit(parent) {
    setText(QString::number(lastGood));
    // A paste or a cut from the context menu is checked like a typed key.
    connect(this, &QLineEdit::textEdited, this, &CNumEdit::CheckText);
}

void CNumEdit::SetValue(int value) {
    if (value < kLowest || value > kHighest)
        return;
    lastGood = value;
    setText(QString::number(value));
}

void CNumEdit::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    const bool digit = event->text().size() == 1 && event->text()[0] >= QLatin1Char('0') &&
                       event->text()[0] <= QLatin1Char('9');
    const bool editing = key == Qt::Key_Backspace || key == Qt::Key_Delete;
    const bool control = (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) != 0;
    if (digit || editing || PassesThrough(key) || control) {
        // Ctrl+V and friends reach textEdited, which checks what they left.
        QLineEdit::keyPressEvent(event);
        return;
    }
    event->accept();
    Refuse();
}

void CNumEdit::CheckText() {
    const int value = PortValue(text());
    if (value != 0) {
        lastGood = value;
        return;
    }
    Refuse();
    setText(QString::number(lastGood));
}

void CNumEdit::Refuse() {
    QApplication::beep();
    emit refused();
}

} // namespace tvn::ui
