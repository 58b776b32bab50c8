#include "platform/linux/XdgAutostartLoginItem.h"

#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

XdgAutostartLoginItem::XdgAutostartLoginItem(QString autostartFolder, QString executable)
    : m_folder(std::move(autostartFolder))
    , m_executable(std::move(executable)) {}

QString XdgAutostartLoginItem::entryPath() const {
    return QDir(m_folder).filePath(QStringLiteral("tonewharf.desktop"));
}

bool XdgAutostartLoginItem::isEnabled() const {
    const auto bytes = FileSystem::readAll(entryPath(), 64 * 1024);
    // An entry the user switched off in their desktop's settings is not enabled.
    return bytes && !bytes->contains("\nHidden=true") &&
           !bytes->contains("\nX-GNOME-Autostart-enabled=false");
}

QString XdgAutostartLoginItem::setEnabled(bool enabled) {
    if (!enabled) {
        QFile entry(entryPath());
        if (entry.exists() && !entry.remove()) {
            return entry.errorString();
        }
        return {};
    }
    const WriteResult folder = FileSystem::makeFolder(m_folder);
    if (!folder) {
        return folder.error;
    }
    // Exec quoting of desktop entries: the path in double quotes, with \ " ` $ escaped.
    QString quoted = m_executable;
    for (const QString& special :
         {QStringLiteral("\\"), QStringLiteral("\""), QStringLiteral("`"), QStringLiteral("$")}) {
        quoted.replace(special, QStringLiteral("\\") + special);
    }
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Tonewharf\n"
                             "Comment=Carries colour looks between TINTARA and DaVinci Resolve\n"
                             "Exec=\"" +
                             quoted.toUtf8() +
                             "\"\n"
                             "Terminal=false\n"
                             "X-GNOME-Autostart-enabled=true\n";
    return FileSystem::writeAtomically(entryPath(), entry).error;
}
