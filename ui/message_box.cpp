#include "ui/message_box.h"

#include "platform/resources.h"

#include <QMessageBox>

namespace tvn::ui {

void ShowErrorBox(const std::string& text) {
    QMessageBox::critical(nullptr,
                          QString::fromLocal8Bit(LoadString(StringId::kProgramName).c_str()),
                          QString::fromLocal8Bit(text.c_str()));
}

bool AskYesNoBox(const std::string& text, const std::string& caption) {
    return QMessageBox::question(nullptr, QString::fromLocal8Bit(caption.c_str()),
                                 QString::fromLocal8Bit(text.c_str()),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

} // namespace tvn::ui
