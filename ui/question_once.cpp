#include "ui/question_once.h"

#include "ui/picture_strip.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace tvn::ui {

CQuestionOnce::CQuestionOnce(const std::string& text, const std::string& caption, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QString::fromLocal8Bit(caption.c_str()));
    setWindowIcon(ProgramIcon());
    auto* layout = new QVBoxLayout(this);
    auto* question = new QLabel(QString::fromLocal8Bit(text.c_str()));
    question->setWordWrap(true);
    question->setTextFormat(Qt::PlainText);
    layout->addWidget(question);
    dontAsk = new QCheckBox(QStringLiteral("Don't show me again"));
    dontAsk->setObjectName(QStringLiteral("dontAsk"));
    layout->addWidget(dontAsk);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QuestionReply CQuestionOnce::Reply() const {
    QuestionReply reply;
    reply.ok = result() == QDialog::Accepted;
    reply.dontAskAgain = dontAsk->isChecked();
    return reply;
}

QuestionReply AskOnceBox(const std::string& text, const std::string& caption) {
    CQuestionOnce box(text, caption);
    box.exec();
    return box.Reply();
}

} // namespace tvn::ui
