#include "platform/SupportFolder.h"

#include <QDir>
#include <QStandardPaths>

namespace SupportFolder {

QString path() {
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    const QString base =
        locations.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : locations.first();
    return QDir(base).filePath(QStringLiteral("Tonewharf"));
}

} // namespace SupportFolder
