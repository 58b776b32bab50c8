#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace FileSystem {

WriteResult writeAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // QSaveFile falls back to writing in place when it cannot create its temporary file;
    // that would defeat the point, so refuse instead.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        return {false, file.errorString()};
    }
    if (file.write(bytes) != bytes.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return {false, error};
    }
    if (!file.commit()) {
        return {false, file.errorString()};
    }
    return {true, {}};
}

WriteResult makeFolder(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) {
        return {true, {}};
    }
    if (QDir().mkpath(path) && QFileInfo(path).isDir()) {
        return {true, {}};
    }
    // QDir::mkpath gives no reason; find the first ancestor that is in the way.
    QString ancestor = QFileInfo(path).absoluteFilePath();
    while (!ancestor.isEmpty() && ancestor != QStringLiteral("/")) {
        const QFileInfo step(ancestor);
        if (step.exists() && !step.isDir()) {
            return {false, QStringLiteral("%1 is not a folder").arg(ancestor)};
        }
        ancestor = step.absolutePath() == ancestor ? QString() : step.absolutePath();
    }
    return {false, QStringLiteral("You don't have permission to create %1").arg(path)};
}

std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    if (maxBytes >= 0 && file.size() > maxBytes) {
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace FileSystem
