#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Every file the program writes goes through writeAtomically: readers see the old
// bytes or the new bytes, never a half-written file.
struct WriteResult {
    bool ok = false;
    QString error; // the platform's description when ok is false

    explicit operator bool() const { return ok; }
};

namespace FileSystem {

WriteResult writeAtomically(const QString& path, const QByteArray& bytes);

// Creates the folder with all intermediate folders; an existing folder is fine.
WriteResult makeFolder(const QString& path);

// Reads a whole regular file; nothing when it is missing, unreadable, not a file or larger than maxBytes.
std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes = -1);

} // namespace FileSystem
