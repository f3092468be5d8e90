#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QVariantAnimation;

namespace tvn {
class CServerControl;
struct MainSettings;
} // namespace tvn

namespace tvn::ui {

class CNumEdit;

// The settings window, the program's only window: every setting of the server and its
// network presence, applied on Save, and the access-information line with its address as a
// link and a QR code. Close and the close box only hide it; Alt+F4 is ignored. Each control
// carries an object name after its role ("enable", "port", "root", ...).
class CGUIDlg : public QDialog {
    Q_OBJECT
  public:
    // The dialog shows `control`'s settings; `command` runs the main window's commands
    // (used for the help key). Created hidden.
    CGUIDlg(CServerControl& control, std::function<void(int command)> command,
            QWidget* parent = nullptr);
    ~CGUIDlg() override;

    // kCommandShowWindow: when hidden, slides in at the bottom-right corner of the work area,
    // showing the controls as they were left (unsaved edits too); then raised and activated.
    // A window made before the settings were loaded fills its controls from them first.
    void ShowWindow();
    // Shows a new access-information line; its address becomes a link and a QR code.
    void SetAccessLine(const std::string& line);
    // The HTTPS certificate's fingerprint line, read-only; hidden when empty.
    void SetCertificateLine(const std::string& line);
    // Fills every control from the control's settings; the autostart box from whether the
    // autostart entry starts `programFile`.
    void LoadControls();
    // kCommandToggleEnable (the tray's Enable): inverts the Enable box and acts as a click on it;
    // then the server starts on the port and root of the controls, or stops, and Port and
    // Enable are stored when it did. A root that is not a full path gives way to the stored
    // one. The other controls stay as the user left them.
    void ToggleEnable();
    // Whether the Enable box is ticked, once the controls show the loaded settings.
    bool EnableTicked();
    // Save (button 1): a root that is empty or not a full path, an ACME directory that is not
    // an https:// address or an extra-CA file that is not a full path is refused with a
    // message and nothing is stored (an empty directory is Let's Encrypt's again); else the
    // autostart entry follows its box and the control stores and applies the settings. True when
    // the control took them, the server is in the chosen state and the entry could be changed.
    bool Save();
    // The settings as the controls show them now.
    MainSettings ChosenSettings() const;

    // How links and messages leave the dialog; tests replace them. openUrl defaults to the
    // desktop's default browser, tell to a warning box.
    std::function<void(const std::string& url)> openUrl;
    std::function<void(const std::string& text)> tell;
    // The program the autostart entry starts: the running one; tests replace it.
    std::string programFile;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  public slots:
    void reject() override;

  private:
    // Fills the controls from the settings when they were loaded since the controls were.
    void FollowLoadedSettings();
    // The controls' settings with the root as Save would take it; false when the root is not
    // a full path.
    bool ChosenWithRoot(MainSettings& chosen) const;
    void BuildControls();
    QWidget* BuildServerGroup();
    QWidget* BuildAccessGroup();
    QWidget* BuildNameGroup();
    void AddAcmeRows(QGridLayout* grid, int row);
    // False, with the user told and the stored values back in the controls, when the ACME
    // settings of `chosen` cannot be used.
    bool AcmeAcceptable(const MainSettings& chosen);
    void ChooseAcmeTrust();
    QWidget* BuildRootGroup();
    void OnEnableClicked(bool checked);
    void EnableDependents(bool enabled);
    void ChooseRoot();
    bool ApplyAutostart();
    // Puts the window `offset` pixels right of the work area's bottom-right corner.
    void PlaceFromCorner(int offset);
    void Register();

    CServerControl& control;
    std::function<void(int)> command;

    QCheckBox* enableBox = nullptr;         // 1013
    CNumEdit* portEdit = nullptr;           // 1014
    QCheckBox* discoveryBox = nullptr;      // 1044
    QCheckBox* worldwideBox = nullptr;      // 1049
    QLabel* accessLabel = nullptr;          // 1008
    QLabel* qrLabel = nullptr;              // the access address as a QR code
    QLabel* certificateLabel = nullptr;     // the HTTPS certificate's fingerprint
    QLineEdit* nameEdit = nullptr;          // 2004
    QComboBox* domainList = nullptr;        // 1045
    QLineEdit* userEdit = nullptr;          // 1048
    QLineEdit* passEdit = nullptr;          // 1047
    QPushButton* registerButton = nullptr;  // 1046
    QLineEdit* acmeDirectoryEdit = nullptr; // AcmeDirectory
    QLineEdit* acmeTrustEdit = nullptr;     // AcmeTrust
    QPushButton* acmeTrustButton = nullptr; // chooses the AcmeTrust file
    QCheckBox* hideLogBox = nullptr;        // 1037
    QCheckBox* autostartBox = nullptr;      // start with the desktop session
    QLineEdit* rootEdit = nullptr;          // 1038
    QPushButton* changeButton = nullptr;    // 1039
    QPushButton* saveButton = nullptr;      // 1
    QPushButton* closeButton = nullptr;     // 2
    QVariantAnimation* slide = nullptr;
    std::string accessLine;
    int loadedSettings = -1; // the control's SettingsLoads() the controls were filled from
};

} // namespace tvn::ui
