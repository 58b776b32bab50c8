#include "platform/Resources.h"

#include <QDir>
#include <QFileInfo>

Resources Resources::besideExecutable(const QString& applicationDir) {
    const QDir dir(applicationDir);
    // An installed program first: a build folder never holds ../share/tonewharf by accident,
    // while bin/ of an installation could hold anything.
    const QString installed = QDir::cleanPath(dir.filePath(QStringLiteral(TONEWHARF_RESOURCES_INSTALLED)));
    const QString buildTree = QDir::cleanPath(dir.filePath(QStringLiteral(TONEWHARF_RESOURCES_BUILD_TREE)));
    for (const QString& folder : {installed, buildTree}) {
        if (QFileInfo(folder).isDir()) {
            return Resources(folder);
        }
    }
    return Resources(installed);
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
