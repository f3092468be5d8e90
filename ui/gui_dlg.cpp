#include "ui/gui_dlg.h"

#include "platform/resources.h"
#include "presence/dyn_dns.h"
#include "shell/autostart_entry.h"
#include "shell/instance_channel.h"
#include "shell/main_settings.h"
#include "shell/server_control.h"
#include "ui/help_page.h"
#include "ui/num_edit.h"
#include "ui/picture_strip.h"
#include "ui/qr_code.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <algorithm>

namespace tvn::ui {
namespace {

constexpr int kSlideMs = 200;
constexpr int kQrScale = 3;

QString Q(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
std::string S(const QString& text) { return text.toLocal8Bit().toStdString(); }

template <class Widget> Widget* Named(Widget* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// The table's text `id` with its "%s" replaced by `value`.
std::string WithValue(StringId id, const std::string& value) {
    std::string text = LoadString(id);
    if (const std::size_t at = text.find("%s"); at != std::string::npos)
        text.replace(at, 2, value);
    return text;
}

QString Text(StringId id) { return Q(LoadString(id)); }

// The line as rich text: the address a link, the rest plain.
QString AccessHtml(const std::string& line, const std::string& address) {
    if (address.empty())
        return Q(line).toHtmlEscaped();
    const QString link = Q(address).toHtmlEscaped();
    return QStringLiteral("<a href=\"%1\">%1</a>%2")
        .arg(link, Q(line.substr(address.size())).toHtmlEscaped());
}

} // namespace

CGUIDlg::CGUIDlg(CServerControl& serverControl, std::function<void(int)> runCommand,
                 QWidget* parent)
    : QDialog(parent), control(serverControl), command(std::move(runCommand)) {
    openUrl = [](const std::string& url) { QDesktopServices::openUrl(QUrl(Q(url))); };
    tell = [this](const std::string& text) { QMessageBox::warning(this, windowTitle(), Q(text)); };
    programFile = CAutostartEntry::RunningProgram();
    setWindowTitle(Q(LoadString(StringId::kProgramName)));
    setWindowIcon(ProgramIcon());
    BuildControls();
    slide = new QVariantAnimation(this);
    slide->setDuration(kSlideMs);
    connect(slide, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& offset) { PlaceFromCorner(offset.toInt()); });
    slide->setEasingCurve(QEasingCurve::OutCubic);
    LoadControls();
    SetAccessLine(control.AccessLine());
    SetCertificateLine(control.CertificateLine());
}

CGUIDlg::~CGUIDlg() = default;

void CGUIDlg::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    enableBox = Named(new QCheckBox(QStringLiteral("Enable")), "enable");
    connect(enableBox, &QCheckBox::clicked, this, &CGUIDlg::OnEnableClicked);
    layout->addWidget(enableBox);
    layout->addWidget(BuildServerGroup());
    layout->addWidget(BuildAccessGroup());
    certificateLabel = Named(new QLabel, "certificate");
    certificateLabel->setTextFormat(Qt::PlainText);
    certificateLabel->setWordWrap(true);
    certificateLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    certificateLabel->setToolTip(
        QStringLiteral("Compare it with what the phone's browser shows the first time"));
    layout->addWidget(certificateLabel);
    layout->addWidget(BuildNameGroup());
    hideLogBox = Named(new QCheckBox(QStringLiteral("Disable Activity Log")), "hideLog");
    layout->addWidget(hideLogBox);
    autostartBox =
        Named(new QCheckBox(QStringLiteral("Start with the desktop session")), "autostart");
    autostartBox->setToolTip(QStringLiteral("Starts this copy of Tarvolin, from where it is now, "
                                            "each time you log in"));
    layout->addWidget(autostartBox);
    layout->addWidget(BuildRootGroup());

    auto* buttons = new QDialogButtonBox;
    saveButton =
        Named(buttons->addButton(QStringLiteral("Save"), QDialogButtonBox::AcceptRole), "save");
    closeButton =
        Named(buttons->addButton(QStringLiteral("Close"), QDialogButtonBox::RejectRole), "close");
    saveButton->setDefault(true);
    connect(saveButton, &QPushButton::clicked, this, [this] { Save(); });
    connect(closeButton, &QPushButton::clicked, this, &CGUIDlg::hide);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QWidget* CGUIDlg::BuildServerGroup() {
    auto* group = new QGroupBox(QStringLiteral("Web Server"));
    auto* grid = new QGridLayout(group);
    portEdit = Named(new CNumEdit, "port");
    portEdit->setMaximumWidth(portEdit->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) +
                              16);
    auto* portLabel = new QLabel(QStringLiteral("Port"));
    portLabel->setBuddy(portEdit);
    grid->addWidget(portLabel, 0, 0);
    grid->addWidget(portEdit, 0, 1, Qt::AlignLeft);
    discoveryBox =
        Named(new QCheckBox(QStringLiteral("LAN auto-discovery (uPnP discovery)")), "discovery");
    worldwideBox = Named(new QCheckBox(QStringLiteral("WorldWide access")), "worldwide");
    grid->addWidget(discoveryBox, 1, 0, 1, 2);
    grid->addWidget(worldwideBox, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    return group;
}

QWidget* CGUIDlg::BuildAccessGroup() {
    auto* group = new QGroupBox(QStringLiteral("Remote availability"));
    auto* row = new QHBoxLayout(group);
    accessLabel = Named(new QLabel, "access");
    accessLabel->setTextFormat(Qt::RichText);
    accessLabel->setWordWrap(true);
    accessLabel->setMinimumWidth(260);
    accessLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                         Qt::LinksAccessibleByKeyboard);
    connect(accessLabel, &QLabel::linkActivated, this,
            [this](const QString& link) { openUrl(S(link)); });
    qrLabel = Named(new QLabel, "qr");
    qrLabel->setToolTip(QStringLiteral("Point a phone's camera here to open the address"));
    row->addWidget(accessLabel, 1);
    row->addWidget(qrLabel, 0, Qt::AlignRight | Qt::AlignVCenter);
    return group;
}

QWidget* CGUIDlg::BuildNameGroup() {
    auto* group = new QGroupBox(QStringLiteral("Permanent/Symbolic Name (optional)"));
    auto* grid = new QGridLayout(group);
    nameEdit = Named(new QLineEdit, "name");
    domainList = Named(new QComboBox, "domain");
    auto* row = new QHBoxLayout;
    row->addWidget(nameEdit, 1);
    row->addWidget(new QLabel(QStringLiteral(".")));
    row->addWidget(domainList, 1);
    grid->addLayout(row, 0, 0, 1, 3);
    userEdit = Named(new QLineEdit, "user");
    passEdit = Named(new QLineEdit, "pass");
    passEdit->setEchoMode(QLineEdit::Password);
    auto* userLabel = new QLabel(QStringLiteral("DynDns User"));
    userLabel->setBuddy(userEdit);
    auto* passLabel = new QLabel(QStringLiteral("Password"));
    passLabel->setBuddy(passEdit);
    grid->addWidget(userLabel, 1, 0);
    grid->addWidget(userEdit, 1, 1);
    grid->addWidget(passLabel, 2, 0);
    grid->addWidget(passEdit, 2, 1);
    registerButton = Named(new QPushButton(QStringLiteral("Register")), "register");
    registerButton->setAutoDefault(false);
    connect(registerButton, &QPushButton::clicked, this, &CGUIDlg::Register);
    grid->addWidget(registerButton, 1, 2, 2, 1, Qt::AlignVCenter);
    AddAcmeRows(grid, 3);
    grid->setColumnStretch(1, 1);
    return group;
}

// The certificate of the name comes from the ACME service below: its rows follow the
// name's in the same group.
void CGUIDlg::AddAcmeRows(QGridLayout* grid, int row) {
    acmeDirectoryEdit = Named(new QLineEdit, "acmeDirectory");
    acmeDirectoryEdit->setToolTip(Text(StringId::kAcmeDirectoryTip));
    acmeDirectoryEdit->setPlaceholderText(QLatin1String(setting::kAcmeDirectory.text));
    acmeTrustEdit = Named(new QLineEdit, "acmeTrust");
    acmeTrustEdit->setToolTip(Text(StringId::kAcmeTrustTip));
    acmeTrustButton = Named(new QPushButton(Text(StringId::kAcmeTrustChoose)), "acmeTrustChoose");
    acmeTrustButton->setAutoDefault(false);
    connect(acmeTrustButton, &QPushButton::clicked, this, &CGUIDlg::ChooseAcmeTrust);
    auto* directoryLabel = new QLabel(Text(StringId::kAcmeDirectoryLabel));
    directoryLabel->setBuddy(acmeDirectoryEdit);
    auto* trustLabel = new QLabel(Text(StringId::kAcmeTrustLabel));
    trustLabel->setBuddy(acmeTrustEdit);
    grid->addWidget(directoryLabel, row, 0);
    grid->addWidget(acmeDirectoryEdit, row, 1, 1, 2);
    grid->addWidget(trustLabel, row + 1, 0);
    grid->addWidget(acmeTrustEdit, row + 1, 1);
    grid->addWidget(acmeTrustButton, row + 1, 2);
}

QWidget* CGUIDlg::BuildRootGroup() {
    auto* group = new QGroupBox(QStringLiteral("Show files from"));
    auto* row = new QHBoxLayout(group);
    rootEdit = Named(new QLineEdit, "root");
    changeButton = Named(new QPushButton(QStringLiteral("Change")), "change");
    changeButton->setAutoDefault(false);
    connect(changeButton, &QPushButton::clicked, this, &CGUIDlg::ChooseRoot);
    row->addWidget(rootEdit, 1);
    row->addWidget(changeButton);
    return group;
}

void CGUIDlg::LoadControls() {
    loadedSettings = control.SettingsLoads();
    const MainSettings& settings = control.Settings();
    enableBox->setChecked(settings.enable);
    portEdit->SetValue(settings.port);
    discoveryBox->setChecked(settings.discovery);
    worldwideBox->setChecked(settings.worldwide);
    hideLogBox->setChecked(settings.hideLog);
    autostartBox->setChecked(CAutostartEntry().Starts(programFile));
    rootEdit->setText(Q(settings.root));
    nameEdit->setText(Q(settings.name));
    userEdit->setText(Q(settings.user));
    passEdit->setText(Q(settings.pass));
    acmeDirectoryEdit->setText(Q(settings.acmeDirectory));
    acmeTrustEdit->setText(Q(settings.acmeTrust));
    // The list is shown sorted; the control's choice is found again by its text. Another
    // service than the default one has domains of its own: then any domain may be typed.
    int selected = -1;
    std::string domain;
    std::vector<std::string> domains = control.DnsDomains(selected, domain);
    const std::string chosen =
        selected >= 0 && selected < static_cast<int>(domains.size()) ? domains[selected] : "";
    std::sort(domains.begin(), domains.end());
    const bool typed = CDynDns::OwnService();
    domainList->setEditable(typed);
    domainList->setInsertPolicy(QComboBox::NoInsert);
    domainList->clear();
    for (const std::string& entry : domains)
        domainList->addItem(Q(entry));
    if (!chosen.empty())
        domainList->setCurrentIndex(domainList->findText(Q(chosen)));
    else if (typed)
        domainList->setEditText(Q(domain));
    else
        domainList->setCurrentIndex(domains.empty() ? -1 : 0);
    EnableDependents(settings.enable);
}

void CGUIDlg::FollowLoadedSettings() {
    if (loadedSettings != control.SettingsLoads())
        LoadControls();
}

bool CGUIDlg::EnableTicked() {
    FollowLoadedSettings();
    return enableBox->isChecked();
}

MainSettings CGUIDlg::ChosenSettings() const {
    MainSettings chosen;
    chosen.enable = enableBox->isChecked();
    chosen.port = portEdit->Value();
    chosen.discovery = discoveryBox->isChecked();
    chosen.worldwide = worldwideBox->isChecked();
    chosen.hideLog = hideLogBox->isChecked();
    chosen.root = S(rootEdit->text().trimmed());
    chosen.name = S(nameEdit->text().trimmed());
    chosen.user = S(userEdit->text());
    chosen.pass = S(passEdit->text());
    chosen.acmeDirectory = S(acmeDirectoryEdit->text().trimmed());
    if (chosen.acmeDirectory.empty())
        chosen.acmeDirectory = setting::kAcmeDirectory.text;
    chosen.acmeTrust = S(acmeTrustEdit->text().trimmed());
    // Without a selection (or a typed domain) the stored domain stays.
    if (domainList->isEditable())
        chosen.domain = S(domainList->currentText().trimmed());
    else if (domainList->currentIndex() >= 0)
        chosen.domain = S(domainList->currentText());
    if (chosen.domain.empty())
        chosen.domain = control.Settings().domain;
    return chosen;
}

bool CGUIDlg::ChosenWithRoot(MainSettings& chosen) const {
    chosen = ChosenSettings();
    while (chosen.root.size() > 1 && chosen.root.back() == '/')
        chosen.root.pop_back();
    // An empty root would share the whole disk, and a relative one whatever folder the program
    // happens to be started from.
    return !chosen.root.empty() && chosen.root.front() == '/';
}

bool CGUIDlg::Save() {
    FollowLoadedSettings();
    MainSettings chosen;
    if (!ChosenWithRoot(chosen)) {
        tell("The folder to show files from must be a full path, beginning with /.\n"
             "The folder stays " +
             control.Settings().root + ".");
        rootEdit->setText(Q(control.Settings().root));
        return false;
    }
    if (!AcmeAcceptable(chosen))
        return false;
    const bool autostartApplied = ApplyAutostart();
    if (control.Save(chosen) != 0)
        return false; // the control has shown why; the controls keep the user's choice
    LoadControls();
    return autostartApplied;
}

// ACME speaks only over HTTPS; a relative CA file would depend on where the program starts.
bool CGUIDlg::AcmeAcceptable(const MainSettings& chosen) {
    const MainSettings& stored = control.Settings();
    if (!chosen.acmeDirectory.starts_with("https://")) {
        tell(WithValue(StringId::kAcmeDirectoryRefused, stored.acmeDirectory));
        acmeDirectoryEdit->setText(Q(stored.acmeDirectory));
        return false;
    }
    if (!chosen.acmeTrust.empty() && chosen.acmeTrust.front() != '/') {
        tell(LoadString(StringId::kAcmeTrustRefused));
        acmeTrustEdit->setText(Q(stored.acmeTrust));
        return false;
    }
    return true;
}

void CGUIDlg::ChooseAcmeTrust() {
    const QString chosen =
        QFileDialog::getOpenFileName(this, Text(StringId::kAcmeTrustLabel), acmeTrustEdit->text(),
                                     Text(StringId::kAcmeTrustFilter));
    if (!chosen.isEmpty())
        acmeTrustEdit->setText(chosen);
}

// The entry is written only when it does not start this copy yet, and removed only when it
// does: an entry that starts another copy (another drive) is left to that copy while the box
// stays unticked. A failure is told, and the box shows the entry as it is.
bool CGUIDlg::ApplyAutostart() {
    const CAutostartEntry entry;
    const bool wanted = autostartBox->isChecked();
    if (wanted == entry.Starts(programFile))
        return true;
    std::string error;
    if (wanted ? entry.Write(programFile, error) : entry.Remove(error))
        return true;
    tell(error);
    autostartBox->setChecked(entry.Starts(programFile));
    return false;
}

void CGUIDlg::OnEnableClicked(bool checked) {
    EnableDependents(checked);
    control.PreviewEnable(ChosenSettings());
}

void CGUIDlg::ToggleEnable() {
    FollowLoadedSettings();
    enableBox->setChecked(!enableBox->isChecked());
    EnableDependents(enableBox->isChecked());
    MainSettings chosen;
    if (!ChosenWithRoot(chosen))
        chosen.root = control.Settings().root; // Save tells the user about it
    control.ApplyEnable(chosen);
}

void CGUIDlg::EnableDependents(bool enabled) {
    for (QWidget* dependent : {static_cast<QWidget*>(portEdit), static_cast<QWidget*>(accessLabel),
                               static_cast<QWidget*>(qrLabel), static_cast<QWidget*>(discoveryBox),
                               static_cast<QWidget*>(worldwideBox)})
        dependent->setEnabled(enabled);
}

void CGUIDlg::SetAccessLine(const std::string& line) {
    accessLine = line;
    const std::string address = AccessAddress(line);
    accessLabel->setText(AccessHtml(line, address));
    const QImage code = QrCodeImage(address, kQrScale);
    qrLabel->setPixmap(code.isNull() ? QPixmap() : QPixmap::fromImage(code));
    qrLabel->setVisible(!code.isNull());
}

void CGUIDlg::SetCertificateLine(const std::string& line) {
    certificateLabel->setText(Q(line));
    certificateLabel->setVisible(!line.empty());
}

void CGUIDlg::ChooseRoot() {
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Tarvolin Root"), rootEdit->text(), QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        rootEdit->setText(chosen);
}

void CGUIDlg::Register() {
    if (!control.RegisterDns())
        openUrl(kDynDnsRegistrationUrl);
}

void CGUIDlg::ShowWindow() {
    if (!isVisible()) {
        // The window is made before the settings are loaded; afterwards only Save fills the
        // controls, so a hidden window comes back as it was left.
        FollowLoadedSettings();
        ensurePolished();
        adjustSize();
        // The slide moves the window's distance from the corner, not a position: the window
        // can still grow while it is first laid out, and must end in the corner all the same.
        slide->stop();
        slide->setStartValue(frameGeometry().width());
        slide->setEndValue(0);
        PlaceFromCorner(frameGeometry().width());
        show();
        slide->start();
    }
    raise();
    activateWindow();
    update();
}

void CGUIDlg::PlaceFromCorner(int offset) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QSize frame = frameGeometry().size();
    move(QPoint(area.right() + 1 - frame.width() + offset,
                std::max(area.top(), area.bottom() + 1 - frame.height())));
}

void CGUIDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    // Alt+F4 reaches the program as the window manager's close request, like the close box;
    // the Alt key still held down tells them apart.
    if (QGuiApplication::queryKeyboardModifiers() & Qt::AltModifier)
        return;
    hide();
}

void CGUIDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F4 && (event->modifiers() & Qt::AltModifier)) {
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_F1 && command) {
        event->accept();
        command(kCommandHelp);
        return;
    }
    QDialog::keyPressEvent(event);
}

void CGUIDlg::reject() { hide(); }

} // namespace tvn::ui
