#include "platform/Resources.h"

#include <QDir>
#include <QFileInfo>

Resources Resources::besideExecutable(const QString& applicationDir) {
    const QDir dir(applicationDir);
    for (const QString& candidate :
         {QStringLiteral("share/tonewharf"), QStringLiteral("../share/tonewharf")}) {
        const QString folder = QDir::cleanPath(dir.filePath(candidate));
        if (QFileInfo(folder).isDir()) {
            return Resources(folder);
        }
    }
    return Resources(QDir::cleanPath(dir.filePath(QStringLiteral("share/tonewharf"))));
}

std::optional<QString> Resources::path(const QString& name, const QString& extension) const {
    if (m_folder.isEmpty()) {
        return std::nullopt;
    }
    const QString file = QDir(m_folder).filePath(name + QLatin1Char('.') + extension);
    if (!QFileInfo(file).isFile()) {
        return std::nullopt;
    }
    return file;
}
