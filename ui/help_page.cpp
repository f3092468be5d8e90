#include "ui/help_page.h"

#include "platform/system_paths.h"

#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>
#include <fstream>
#include <sys/stat.h>

namespace tvn::ui {

extern const char kHelpPageHtml[]; // generated from resources/ui/help.html

const std::string& HelpPageText() {
    static const std::string text(kHelpPageHtml);
    return text;
}

std::string WriteHelpPage(const std::string& folder) {
    if (!QDir().mkpath(QString::fromLocal8Bit(folder.c_str())))
        return {};
    ::chmod(folder.c_str(), 0700);
    const std::string path = JoinPath(folder, "tarvolin-help.html");
    QSaveFile file(QString::fromLocal8Bit(path.c_str()));
    if (!file.open(QIODevice::WriteOnly))
        return {};
    const std::string& text = HelpPageText();
    file.write(text.data(), static_cast<qint64>(text.size()));
    if (!file.commit())
        return {};
    return QUrl::fromLocalFile(QString::fromLocal8Bit(path.c_str())).toString().toStdString();
}

std::string HelpPageUrl() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (base.isEmpty())
        base = QDir::tempPath();
    return WriteHelpPage(base.toLocal8Bit().toStdString() + "/tarvolin");
}

std::string MoreLink(const std::string& folder) {
    std::ifstream in(JoinPath(folder, "More.url"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // An internet shortcut is a small INI file: [InternetShortcut] then URL=...
        if (line.size() > 4 && (line.compare(0, 4, "URL=") == 0 || line.compare(0, 4, "url=") == 0))
            return line.substr(4);
    }
    return {};
}

} // namespace tvn::ui
