#include "config/stored_path.h"
#include "presence/dyn_dns.h"
#include "shell/autostart_entry.h"
#include "shell/instance_channel.h"
#include "support/file_bytes.h"
#include "ui/gui_dlg.h"
#include "ui/num_edit.h"
#include "ui_fixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvn::ui {
namespace {

using test::Find;
using test::SpinUntil;

class GuiDlgTest : public test::ControlTest {
  protected:
    // The autostart folder of the test's own: no test touches the user's session.
    void SetUp() override {
        ControlTest::SetUp();
        keptConfig = qgetenv("XDG_CONFIG_HOME");
        hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(folder + "/config"));
        autostartFile = folder + "/config/autostart/tarvolin.desktop";
    }
    // The dialog over a started control; its lines reach the dialog as in the program.
    CGUIDlg& MakeDialog() {
        CServerControl& started = StartControl();
        dialog = std::make_unique<CGUIDlg>(started,
                                           [this](int command) { commands.push_back(command); });
        dialog->openUrl = [this](const std::string& url) { opened.push_back(url); };
        dialog->tell = [this](const std::string& text) { told.push_back(text); };
        onLine = [this](const std::string& line) { dialog->SetAccessLine(line); };
        return *dialog;
    }
    void TearDown() override {
        onLine = nullptr;
        dialog.reset();
        hadConfig ? qputenv("XDG_CONFIG_HOME", keptConfig) : qunsetenv("XDG_CONFIG_HOME");
        ControlTest::TearDown();
    }
    QString AccessText() { return Find<QLabel>(*dialog, "access")->text(); }

    std::unique_ptr<CGUIDlg> dialog;
    std::vector<int> commands;
    std::vector<std::string> opened;
    std::vector<std::string> told;
    std::string autostartFile;
    QByteArray keptConfig;
    bool hadConfig = false;
};

TEST_F(GuiDlgTest, ShowsEverySetting) {
    Set("Enable", "1");
    Set("uPnPDiscovery", "1");
    Set("HideLog", "1");
    Set("Name", "myhome");
    Set("User", "alice");
    Set("Pass", "secret");
    Set("Domain", "homeip.net");
    CGUIDlg& dlg = MakeDialog();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Tarvolin"));
    EXPECT_TRUE(Find<QCheckBox>(dlg, "enable")->isChecked());
    EXPECT_EQ(Find<CNumEdit>(dlg, "port")->Value(), port);
    EXPECT_EQ(Find<QLineEdit>(dlg, "port")->text(), QString::number(port));
    EXPECT_TRUE(Find<QCheckBox>(dlg, "discovery")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>(dlg, "worldwide")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>(dlg, "hideLog")->isChecked());
    EXPECT_EQ(Find<QLineEdit>(dlg, "root")->text().toStdString(), root);
    EXPECT_EQ(Find<QLineEdit>(dlg, "name")->text(), QStringLiteral("myhome"));
    EXPECT_EQ(Find<QLineEdit>(dlg, "user")->text(), QStringLiteral("alice"));
    EXPECT_EQ(Find<QLineEdit>(dlg, "pass")->text(), QStringLiteral("secret"));
    EXPECT_EQ(Find<QLineEdit>(dlg, "pass")->echoMode(), QLineEdit::Password);
    auto* domains = Find<QComboBox>(dlg, "domain");
    EXPECT_EQ(domains->currentText(), QStringLiteral("homeip.net"));
    // The list is sorted, and holds the service's domains.
    ASSERT_GT(domains->count(), 10);
    for (int i = 1; i < domains->count(); ++i)
        EXPECT_LE(domains->itemText(i - 1), domains->itemText(i)) << i;
}

// The program makes the window before it loads the settings: shown later, the window shows
// the loaded ones, not the defaults it was made with.
TEST_F(GuiDlgTest, ShowsTheSettingsLoadedAfterItWasMade) {
    Set("uPnPDiscovery", "0");
    Set("HideLog", "1");
    control = std::make_unique<CServerControl>(ui, nullptr);
    dialog = std::make_unique<CGUIDlg>(*control, [](int) {});
    control->LoadSettingsAndStart();
    dialog->ShowWindow();
    EXPECT_EQ(Find<QLineEdit>(*dialog, "root")->text().toStdString(), root);
    EXPECT_EQ(Find<CNumEdit>(*dialog, "port")->Value(), port);
    EXPECT_FALSE(Find<QCheckBox>(*dialog, "discovery")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>(*dialog, "hideLog")->isChecked());
}

// Unticking Enable greys exactly the four dependent controls and the access line follows at
// once, though nothing is stored until Save.
TEST_F(GuiDlgTest, EnableGreysTheDependentControls) {
    Set("Enable", "1");
    CGUIDlg& dlg = MakeDialog();
    const char* dependents[] = {"port", "access", "discovery", "worldwide"};
    const char* others[] = {"name",      "domain", "user",   "pass", "register", "hideLog",
                            "autostart", "root",   "change", "save", "close"};
    auto* enable = Find<QCheckBox>(dlg, "enable");
    for (const bool on : {false, true, false}) {
        SCOPED_TRACE(on);
        QTest::mouseClick(enable, Qt::LeftButton, {}, QPoint(4, enable->height() / 2));
        ASSERT_EQ(enable->isChecked(), on);
        for (const char* name : dependents)
            EXPECT_EQ(Find<QWidget>(dlg, name)->isEnabled(), on) << name;
        for (const char* name : others)
            EXPECT_TRUE(Find<QWidget>(dlg, name)->isEnabled()) << name;
    }
    EXPECT_TRUE(SpinUntil([&] { return AccessText() == QStringLiteral("The Server is stopped"); }))
        << AccessText().toStdString();
    EXPECT_EQ(Stored("Enable"), "1");
    EXPECT_TRUE(Find<QLabel>(dlg, "qr")->isHidden());
}

TEST_F(GuiDlgTest, SaveStoresEveryKey) {
    Set("Enable", "1");
    CGUIDlg& dlg = MakeDialog();
    const int newPort = test::FreeLoopbackPort();
    const std::string newRoot = folder + "/other";
    std::filesystem::create_directories(newRoot);
    Find<CNumEdit>(dlg, "port")->SetValue(newPort);
    Find<QCheckBox>(dlg, "discovery")->setChecked(true);
    Find<QCheckBox>(dlg, "worldwide")->setChecked(true);
    Find<QCheckBox>(dlg, "hideLog")->setChecked(true);
    Find<QLineEdit>(dlg, "root")->setText(QString::fromStdString(newRoot + "/"));
    Find<QLineEdit>(dlg, "name")->setText(QStringLiteral("myhome"));
    Find<QLineEdit>(dlg, "user")->setText(QStringLiteral("bob"));
    Find<QLineEdit>(dlg, "pass")->setText(QStringLiteral("pw"));
    auto* domains = Find<QComboBox>(dlg, "domain");
    const int index = domains->findText(QStringLiteral("homeip.net"));
    ASSERT_GE(index, 0);
    domains->setCurrentIndex(index);

    QTest::mouseClick(Find<QPushButton>(dlg, "save"), Qt::LeftButton);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_TRUE(told.empty());
    EXPECT_EQ(Stored("Port"), std::to_string(newPort));
    EXPECT_EQ(Stored("Enable"), "1");
    EXPECT_EQ(Stored("uPnPDiscovery"), "1");
    EXPECT_EQ(Stored("uPnPRouter"), "1");
    EXPECT_EQ(Stored("HideLog"), "1");
    EXPECT_EQ(Stored("Root"), ToStoredPath(newRoot)); // without the trailing '/'
    EXPECT_EQ(Stored("Name"), "myhome");
    EXPECT_EQ(Stored("User"), "bob");
    EXPECT_EQ(Stored("Pass"), "pw");
    EXPECT_EQ(Stored("Domain"), "homeip.net");
    EXPECT_EQ(ServingPort({port, newPort}), newPort);
    // The controls show what was stored, and the window stays open.
    EXPECT_EQ(Find<QLineEdit>(dlg, "root")->text().toStdString(), newRoot);

    // Unticked and saved: the server stops and Enable=0 is stored with the port.
    Find<QCheckBox>(dlg, "enable")->click();
    ASSERT_TRUE(dlg.Save());
    EXPECT_EQ(Stored("Enable"), "0");
    EXPECT_EQ(ServingPort({port, newPort}), 0);
    EXPECT_FALSE(Find<QWidget>(dlg, "port")->isEnabled());
}

// An empty root would share the whole disk, a relative one whatever folder the program was
// started from: both are refused with a message, and nothing at all is stored.
TEST_F(GuiDlgTest, SaveRefusesARootThatIsNotAFullPath) {
    CGUIDlg& dlg = MakeDialog();
    const std::string nameBefore = Stored("Name");
    for (const char* refused : {"", "   ", "site", "./site", "~/Public"}) {
        SCOPED_TRACE(refused);
        told.clear();
        Find<QLineEdit>(dlg, "root")->setText(QString::fromLatin1(refused));
        Find<QLineEdit>(dlg, "name")->setText(QStringLiteral("changed"));
        EXPECT_FALSE(dlg.Save());
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(Stored("Root"), root);
        EXPECT_EQ(Stored("Name"), nameBefore);
        EXPECT_EQ(control->Settings().root, root);
        EXPECT_EQ(Find<QLineEdit>(dlg, "root")->text().toStdString(), root); // the old one back
    }
}

// The ACME service and its extra certificate authorities are shown and saved like the other
// settings; an empty directory is Let's Encrypt's again.
TEST_F(GuiDlgTest, ShowsAndSavesTheAcmeService) {
    Set("AcmeDirectory", "https://acme.test/dir");
    Set("AcmeTrust", folder + "/ca.pem");
    CGUIDlg& dlg = MakeDialog();
    auto* directory = Find<QLineEdit>(dlg, "acmeDirectory");
    auto* trust = Find<QLineEdit>(dlg, "acmeTrust");
    EXPECT_EQ(directory->text(), QStringLiteral("https://acme.test/dir"));
    EXPECT_EQ(trust->text().toStdString(), folder + "/ca.pem");
    EXPECT_NE(Find<QPushButton>(dlg, "acmeTrustChoose"), nullptr);
    EXPECT_FALSE(directory->toolTip().isEmpty());

    const struct {
        const char* directory;
        std::string trust;
        const char* storedDirectory;
        std::string storedTrust;
    } cases[] = {
        {" https://pebble.test:14000/dir ", folder + "/other.pem", "https://pebble.test:14000/dir",
         folder + "/other.pem"},
        {"", "", "https://acme-v02.api.letsencrypt.org/directory", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.directory);
        directory->setText(QString::fromLatin1(c.directory));
        trust->setText(QString::fromStdString(c.trust));
        QTest::mouseClick(Find<QPushButton>(dlg, "save"), Qt::LeftButton);
        EXPECT_TRUE(told.empty()) << told.front();
        EXPECT_EQ(Stored("AcmeDirectory"), c.storedDirectory);
        EXPECT_EQ(Stored("AcmeTrust"), c.storedTrust);
        EXPECT_EQ(control->Settings().acmeDirectory, c.storedDirectory);
        EXPECT_EQ(directory->text().toStdString(), c.storedDirectory);
    }
}

// ACME speaks HTTPS only, and a relative file of CAs would depend on where the program was
// started: both are refused with a message, nothing at all is stored, the stored ones return.
TEST_F(GuiDlgTest, SaveRefusesAnAcmeServiceItCannotUse) {
    Set("AcmeDirectory", "https://acme.test/dir");
    Set("AcmeTrust", "");
    CGUIDlg& dlg = MakeDialog();
    const std::string nameBefore = Stored("Name");
    const struct {
        const char* directory;
        const char* trust;
    } refused[] = {
        {"http://acme.test/dir", ""},
        {"acme.test/dir", ""},
        {"HTTPS", ""},
        {"https://acme.test/other", "ca.pem"},
        {"https://acme.test/other", "~/ca.pem"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(std::string(c.directory) + " " + c.trust);
        told.clear();
        Find<QLineEdit>(dlg, "acmeDirectory")->setText(QString::fromLatin1(c.directory));
        Find<QLineEdit>(dlg, "acmeTrust")->setText(QString::fromLatin1(c.trust));
        Find<QLineEdit>(dlg, "name")->setText(QStringLiteral("changed"));
        EXPECT_FALSE(dlg.Save());
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(Stored("AcmeDirectory"), "https://acme.test/dir");
        EXPECT_EQ(Stored("AcmeTrust"), "");
        EXPECT_EQ(Stored("Name"), nameBefore);
        const bool directoryRefused = std::string_view(c.trust).empty();
        EXPECT_EQ(Find<QLineEdit>(dlg, directoryRefused ? "acmeDirectory" : "acmeTrust")
                      ->text()
                      .toStdString(),
                  directoryRefused ? "https://acme.test/dir" : "");
    }
}

// A port another program holds: the control shows its error, Port keeps its stored value,
// and the edit keeps the user's choice to correct.
TEST_F(GuiDlgTest, SaveWithAPortInUseKeepsTheStoredPort) {
    CGUIDlg& dlg = MakeDialog();
    const int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    ::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length);
    const int busyPort = ntohs(address.sin_port);

    Find<CNumEdit>(dlg, "port")->SetValue(busyPort);
    EXPECT_FALSE(dlg.Save());
    ::close(busy);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(Stored("Port"), std::to_string(port));
    EXPECT_EQ(Find<CNumEdit>(dlg, "port")->Value(), busyPort);
}

TEST_F(GuiDlgTest, AccessLineIsALinkAndAQrCode) {
    CGUIDlg& dlg = MakeDialog();
    auto* label = Find<QLabel>(dlg, "access");
    auto* qr = Find<QLabel>(dlg, "qr");
    struct Case {
        const char* line;
        const char* html;
        bool code;
    };
    const Case cases[] = {
        {"http://192.168.1.5:8080 (LAN only)",
         "<a href=\"http://192.168.1.5:8080\">http://192.168.1.5:8080</a> (LAN only)", true},
        {"http://localhost/Blog/a.html?x=1&y=<2> Last blog post",
         "<a href=\"http://localhost/Blog/a.html?x=1&amp;y=&lt;2&gt;\">"
         "http://localhost/Blog/a.html?x=1&amp;y=&lt;2&gt;</a> Last blog post",
         true},
        {"The Server is stopped", "The Server is stopped", false},
        {"<b>not bold</b>", "&lt;b&gt;not bold&lt;/b&gt;", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        dlg.SetAccessLine(c.line);
        EXPECT_EQ(label->text().toStdString(), c.html);
        EXPECT_EQ(!qr->isHidden(), c.code);
        EXPECT_EQ(!qr->pixmap().isNull(), c.code);
    }
    // The link opens the address, in full.
    dlg.SetAccessLine("http://10.0.0.7:81 (Worldwide)");
    emit label->linkActivated(QStringLiteral("http://10.0.0.7:81"));
    EXPECT_EQ(opened, std::vector<std::string>{"http://10.0.0.7:81"});
}

// Close, the close box and Escape only hide the window; Alt+F4 leaves it where it is.
TEST_F(GuiDlgTest, ClosingHidesAndAltF4IsIgnored) {
    CGUIDlg& dlg = MakeDialog();
    dlg.ShowWindow();
    ASSERT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.close()); // the close box
    EXPECT_FALSE(dlg.isVisible());
    dlg.ShowWindow();
    QTest::mouseClick(Find<QPushButton>(dlg, "close"), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    dlg.ShowWindow();
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(ServingPort({port}), port); // the server runs on
    // Last: Qt keeps the Alt key's state after the event.
    dlg.ShowWindow();
    QKeyEvent altF4(QEvent::KeyPress, Qt::Key_F4, Qt::AltModifier);
    QApplication::sendEvent(&dlg, &altF4);
    EXPECT_TRUE(altF4.isAccepted());
    EXPECT_TRUE(dlg.isVisible());
}

// The window must fit the work area of a small laptop screen.
TEST_F(GuiDlgTest, FitsASmallScreen) {
    CGUIDlg& dlg = MakeDialog();
    dlg.SetAccessLine("http://a-rather-long-host-name.homeip.net:65535 (Worldwide) Update ok");
    dlg.adjustSize();
    std::string sizes;
    for (QWidget* child : dlg.findChildren<QWidget*>())
        sizes += child->objectName().toStdString() + "/" + child->metaObject()->className() + " " +
                 std::to_string(child->sizeHint().width()) + "x" +
                 std::to_string(child->sizeHint().height()) + "\n";
    EXPECT_LE(dlg.width(), 640) << sizes;
    EXPECT_LE(dlg.height(), 700) << sizes;
}

TEST_F(GuiDlgTest, ShowWindowSlidesIntoTheBottomRightCorner) {
    CGUIDlg& dlg = MakeDialog();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    dlg.ShowWindow();
    ASSERT_TRUE(dlg.isVisible());
    // It starts beyond the right edge and arrives within the 200 ms of the slide.
    EXPECT_GT(dlg.frameGeometry().right(), area.right());
    EXPECT_TRUE(SpinUntil([&] { return dlg.frameGeometry().right() == area.right(); }, 1000))
        << dlg.frameGeometry().x() << "," << dlg.frameGeometry().y() << " "
        << dlg.frameGeometry().width() << "x" << dlg.frameGeometry().height() << " geometry "
        << dlg.geometry().x() << "," << dlg.geometry().y() << " " << dlg.width() << "x"
        << dlg.height() << " area " << area.width() << "x" << area.height();
    EXPECT_EQ(dlg.frameGeometry().bottom(), area.bottom());
    // Shown again while visible: it stays where the user may have moved it.
    dlg.move(area.topLeft());
    dlg.ShowWindow();
    test::Spin(300);
    EXPECT_EQ(dlg.pos(), area.topLeft());
}

TEST_F(GuiDlgTest, RegisterWithoutAPluginOpensTheServicePage) {
    CGUIDlg& dlg = MakeDialog();
    QTest::mouseClick(Find<QPushButton>(dlg, "register"), Qt::LeftButton);
    EXPECT_EQ(opened, std::vector<std::string>{kDynDnsRegistrationUrl});
}

TEST_F(GuiDlgTest, HelpKeyRunsTheHelpCommand) {
    CGUIDlg& dlg = MakeDialog();
    QTest::keyClick(&dlg, Qt::Key_F1);
    EXPECT_EQ(commands, std::vector<int>{kCommandHelp});
}

// The tray's Enable toggles the window's box; what the user typed elsewhere stays.
TEST_F(GuiDlgTest, EnableCommandKeepsOtherEdits) {
    Set("Enable", "1");
    CGUIDlg& dlg = MakeDialog();
    Find<QLineEdit>(dlg, "name")->setText(QStringLiteral("typing"));
    dlg.ToggleEnable();
    EXPECT_FALSE(Find<QCheckBox>(dlg, "enable")->isChecked());
    EXPECT_FALSE(Find<QWidget>(dlg, "port")->isEnabled());
    EXPECT_EQ(Find<QLineEdit>(dlg, "name")->text(), QStringLiteral("typing"));
    EXPECT_EQ(ServingPort({port}), 0);
    EXPECT_EQ(Stored("Enable"), "0");
    EXPECT_EQ(Stored("Name"), "");
}

// Showing the hidden window filled its controls from the settings again: unsaved edits were
// lost, and an unticked Enable came back ticked beside "The Server is stopped".
TEST_F(GuiDlgTest, ShowingTheHiddenWindowShowsItAsItWasLeft) {
    Set("Enable", "1");
    CGUIDlg& dlg = MakeDialog();
    dlg.ShowWindow();
    const int otherPort = port == 65535 ? 65534 : port + 1;
    Find<CNumEdit>(dlg, "port")->SetValue(otherPort);
    Find<QLineEdit>(dlg, "name")->setText(QStringLiteral("unsaved"));
    Find<QLineEdit>(dlg, "root")->setText(QStringLiteral("/not/saved"));
    Find<QCheckBox>(dlg, "hideLog")->setChecked(true);
    auto* domains = Find<QComboBox>(dlg, "domain");
    domains->setCurrentIndex(domains->findText(QStringLiteral("selfip.net")));
    Find<QCheckBox>(dlg, "enable")->click();
    ASSERT_TRUE(SpinUntil([&] { return AccessText() == QStringLiteral("The Server is stopped"); }));
    for (const char* hide : {"close button", "close box", "escape"}) {
        SCOPED_TRACE(hide);
        if (std::string(hide) == "close button")
            QTest::mouseClick(Find<QPushButton>(dlg, "close"), Qt::LeftButton);
        else if (std::string(hide) == "close box")
            dlg.close();
        else
            QTest::keyClick(&dlg, Qt::Key_Escape);
        ASSERT_FALSE(dlg.isVisible());
        dlg.ShowWindow();
        EXPECT_FALSE(Find<QCheckBox>(dlg, "enable")->isChecked());
        EXPECT_FALSE(Find<QWidget>(dlg, "port")->isEnabled());
        EXPECT_EQ(Find<CNumEdit>(dlg, "port")->Value(), otherPort);
        EXPECT_EQ(Find<QLineEdit>(dlg, "name")->text(), QStringLiteral("unsaved"));
        EXPECT_EQ(Find<QLineEdit>(dlg, "root")->text(), QStringLiteral("/not/saved"));
        EXPECT_TRUE(Find<QCheckBox>(dlg, "hideLog")->isChecked());
        EXPECT_EQ(domains->currentText(), QStringLiteral("selfip.net"));
        EXPECT_EQ(AccessText(), QStringLiteral("The Server is stopped"));
    }
    EXPECT_EQ(Stored("Enable"), "1");
    EXPECT_EQ(ServingPort({port, otherPort}), port);
}

// An Enable click refreshed the access information from the stored settings: the line
// follows the controls, though the server changes only at Save.
TEST_F(GuiDlgTest, EnableClickRefreshesFromTheControls) {
    Set("Enable", "1");
    CGUIDlg& dlg = MakeDialog();
    const auto shows = [&](int shownPort) {
        return control->AccessLine().find(":" + std::to_string(shownPort) + " ") !=
               std::string::npos;
    };
    ASSERT_TRUE(SpinUntil([&] { return shows(port); })) << control->AccessLine();
    const int otherPort = port == 65535 ? 65534 : port + 1;
    Find<CNumEdit>(dlg, "port")->SetValue(otherPort);
    auto* enable = Find<QCheckBox>(dlg, "enable");
    enable->click();
    ASSERT_TRUE(SpinUntil([&] { return AccessText() == QStringLiteral("The Server is stopped"); }));
    enable->click();
    EXPECT_TRUE(SpinUntil([&] { return shows(otherPort); })) << control->AccessLine();
    EXPECT_EQ(ServingPort({port, otherPort}), port);
    EXPECT_EQ(Stored("Port"), std::to_string(port));
}

// With DNS_UpdateURL at another service a domain outside the default service's list was
// replaced by its first entry. Such a domain is kept and can be typed, and the list is
// still offered; the default service keeps to its list.
TEST_F(GuiDlgTest, AnotherServicesDomainIsKeptAndCanBeTyped) {
    struct Case {
        const char* url; // nothing is sent: there is no account
        bool typed;
        const char* shown;
    };
    const Case cases[] = {{"http://127.0.0.1:1", true, "own.example"},
                          {"", false, "dyndns.org"}}; // the service's first
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        Set("DNS_UpdateURL", c.url);
        Set("Domain", "own.example");
        CGUIDlg& dlg = MakeDialog();
        auto* domains = Find<QComboBox>(dlg, "domain");
        ASSERT_EQ(domains->isEditable(), c.typed);
        EXPECT_EQ(domains->currentText().toStdString(), c.shown);
        EXPECT_EQ(control->Settings().domain, c.shown);
        EXPECT_GT(domains->count(), 10);
        if (c.typed) {
            domains->lineEdit()->clear();
            QTest::keyClicks(domains->lineEdit(), QStringLiteral(" my.example.net"));
            ASSERT_TRUE(dlg.Save());
            EXPECT_EQ(Stored("Domain"), "my.example.net");
            EXPECT_EQ(domains->currentText(), QStringLiteral("my.example.net"));
            EXPECT_EQ(domains->findText(QStringLiteral("my.example.net")), -1);
        }
        // An entry of the list is chosen as before.
        domains->setCurrentIndex(domains->findText(QStringLiteral("homeip.net")));
        ASSERT_TRUE(dlg.Save());
        EXPECT_EQ(Stored("Domain"), "homeip.net");
        EXPECT_EQ(domains->currentText(), QStringLiteral("homeip.net"));
        onLine = nullptr;
        dialog.reset();
        control.reset();
    }
}

// The box writes the entry on Save and removes it again; a new window finds it. The program
// lies on a drive whose name has blanks, quotes and a percent sign, as a portable copy may.
TEST_F(GuiDlgTest, AutostartBoxWritesAndRemovesTheEntry) {
    CGUIDlg& dlg = MakeDialog();
    EXPECT_FALSE(dlg.programFile.empty());
    EXPECT_EQ(dlg.programFile.front(), '/') << "the running program, by its full path";
    dlg.programFile = folder + "/My \"Stick\" 100%/Tarvolin/tarvolin";
    dlg.LoadControls();
    auto* box = Find<QCheckBox>(dlg, "autostart");
    EXPECT_FALSE(box->isChecked()) << "off until the user ticks it";

    box->setChecked(true);
    QTest::mouseClick(Find<QPushButton>(dlg, "save"), Qt::LeftButton);
    EXPECT_TRUE(told.empty()) << told.front();
    const std::string text = test::ReadFileBytes(autostartFile).value_or("");
    const auto exec = text.find("\nExec=");
    ASSERT_NE(exec, std::string::npos) << text;
    const auto end = text.find('\n', exec + 1);
    EXPECT_EQ(ExecProgram(std::string_view(text).substr(exec + 6, end - exec - 6)),
              dlg.programFile);
    EXPECT_TRUE(box->isChecked());

    // Another window of the same program shows the entry.
    CGUIDlg again(*control, [](int) {});
    again.programFile = dlg.programFile;
    again.LoadControls();
    EXPECT_TRUE(Find<QCheckBox>(again, "autostart")->isChecked());

    box->setChecked(false);
    EXPECT_TRUE(dlg.Save());
    EXPECT_FALSE(std::filesystem::exists(autostartFile));
    EXPECT_FALSE(box->isChecked());
}

// An entry of another copy of the program (another drive) is not this copy's: the box shows
// it unticked, and Save with the box unticked leaves it to that copy.
TEST_F(GuiDlgTest, AutostartOfAnotherCopyIsLeftAlone) {
    std::string error;
    ASSERT_TRUE(CAutostartEntry(autostartFile).Write("/media/other/tarvolin", error)) << error;
    const std::string before = test::ReadFileBytes(autostartFile).value_or("");
    CGUIDlg& dlg = MakeDialog();
    dlg.programFile = folder + "/tarvolin";
    dlg.LoadControls();
    EXPECT_FALSE(Find<QCheckBox>(dlg, "autostart")->isChecked());
    EXPECT_TRUE(dlg.Save());
    EXPECT_EQ(test::ReadFileBytes(autostartFile), before);
}

// The autostart folder cannot be made: the user is told why, the box is unticked again, and
// the server's settings are stored all the same.
TEST_F(GuiDlgTest, AutostartThatCannotBeWrittenIsTold) {
    test::WriteFileBytes(folder + "/config/autostart", "a file where the folder belongs");
    CGUIDlg& dlg = MakeDialog();
    dlg.programFile = folder + "/tarvolin";
    auto* box = Find<QCheckBox>(dlg, "autostart");
    box->setChecked(true);
    Find<QLineEdit>(dlg, "name")->setText(QStringLiteral("stored"));
    EXPECT_FALSE(dlg.Save());
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("start with the session"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find(folder + "/config/autostart"), std::string::npos) << told[0];
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(Stored("Name"), "stored");
}

} // namespace
} // namespace tvn::ui
