#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// Every file the program writes goes through writeAtomically: readers see the old
// bytes or the new bytes, never a half-written file.
struct WriteResult {
    bool ok = false;
    QString error;     // the platform's description when ok is false
    int errorCode = 0; // its errno, where there is one

    explicit operator bool() const { return ok; }
    // The process ran out of descriptors: nothing is wrong with the folder itself.
    bool outOfDescriptors() const;
};

namespace FileSystem {

// Writes a temporary file beside `path` and renames it over `path`. Whatever was at `path` is
// replaced, a symbolic link included: a link is never followed to write its target. A regular
// file that was there keeps its permissions.
WriteResult writeAtomically(const QString& path, const QByteArray& bytes);

// Creates the folder with all intermediate folders; an existing folder is fine.
WriteResult makeFolder(const QString& path);

// Reads a whole regular file, following symbolic links; nothing when it is missing, unreadable,
// not a regular file or larger than maxBytes. Never waits on a FIFO.
std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes = -1);

// What became of a look at a file or folder that others may change at any moment.
enum class Outcome {
    ok,
    absent, // gone, not a regular file (a link, a FIFO, a device), too large, or not ours to read
    failed, // anything else (no descriptor left, an I/O error): worth trying again
};

struct Read {
    Outcome outcome = Outcome::failed;
    QByteArray bytes;
};

// A regular file opened for reading; the descriptor is closed with the object. Opening neither
// follows a symbolic link nor waits: a link, a FIFO, a device or a folder is not opened at all,
// as if it were absent, and a FIFO without a writer cannot block the caller.
class RegularFile {
public:
    // Nothing, with why in `outcome` when asked, where there is no regular file to read.
    static std::optional<RegularFile> open(const QString& path, Outcome* outcome = nullptr);

    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    int descriptor() const { return m_descriptor; }
    // The length when it was opened; a reader sends no more than this.
    qint64 size() const { return m_size; }

private:
    RegularFile(int descriptor, qint64 size)
        : m_descriptor(descriptor)
        , m_size(size) {}

    int m_descriptor = -1;
    qint64 m_size = 0;
};

// A regular file, read as RegularFile opens it.
Read readRegularFile(const QString& path, qint64 maxBytes = -1);

// Whether `path` is a regular file, not a link, holding exactly `bytes`.
bool holds(const QString& path, const QByteArray& bytes);

struct Listing {
    Outcome outcome = Outcome::failed;
    QStringList names;
};

// The non-hidden regular files directly in `folder` (links, FIFOs, devices and folders are left
// out), in no particular order; absent when the folder itself is gone.
Listing regularFiles(const QString& folder);

// Whether nothing is at `path`, known for certain: a lookup that fails for another reason (a folder
// that may not be searched, a drive that errs) says nothing either way.
bool isGone(const QString& path);

// What tells one folder from another made later at the same path (its inode and, where the file
// system records it, its birth time); nothing when `path` is not a folder.
std::optional<QString> folderIdentity(const QString& path);

} // namespace FileSystem

using FileSystem::RegularFile;
