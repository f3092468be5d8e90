#include "ui/about_box.h"

#include "config/stored_path.h"
#include "ui/picture_strip.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace tvn::ui {

CAboutBox::CAboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Tarvolin + :: About"));
    setWindowIcon(ProgramIcon());
    setObjectName(QStringLiteral("about"));
    auto* layout = new QVBoxLayout(this);
    auto* picture = new QLabel;
    picture->setPixmap(ProgramIcon().pixmap(64, 64));
    picture->setAlignment(Qt::AlignCenter);
    layout->addWidget(picture);
    line = new QLabel(QStringLiteral("Tarvolin +") + QLatin1Char(' ') +
                      QString::fromLatin1(kProgramVersion));
    line->setAlignment(Qt::AlignCenter);
    layout->addWidget(line);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CAboutBox::Line() const { return line->text(); }

bool ShowAboutBox(QWidget* parent) {
    static bool open = false;
    if (open)
        return false;
    open = true;
    CAboutBox box(parent);
    box.exec();
    open = false;
    return true;
}

} // namespace tvn::ui
