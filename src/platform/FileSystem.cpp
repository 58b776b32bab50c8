#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool WriteResult::outOfDescriptors() const {
    return errorCode == EMFILE || errorCode == ENFILE;
}

namespace FileSystem {

namespace {

WriteResult failure(int error) {
    return {false, qt_error_string(error), error};
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* next = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written < 0 && errno != EINTR) {
            return false;
        }
        next += std::max<ssize_t>(written, 0);
        left -= std::max<ssize_t>(written, 0);
    }
    return true;
}

// Failures that say nothing is there for us to read, as opposed to failures worth trying again.
bool meansAbsent(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:  // a symbolic link, refused by O_NOFOLLOW
    case ENXIO:  // a socket or a device without its driver
    case EACCES: // there, but not ours: trying again changes nothing
    case EPERM:
        return true;
    default:
        return false;
    }
}

// Reads what is left of an open regular file of `size` bytes, up to `limit`.
Read readOpened(int fd, qint64 size, qint64 maxBytes) {
    const qint64 limit = maxBytes >= 0 ? maxBytes : std::numeric_limits<qint64>::max();
    if (size > limit) {
        return {Outcome::absent, {}};
    }
    // One byte more than the size, so that the end is found without growing the buffer.
    QByteArray bytes(qsizetype(size) + 1, Qt::Uninitialized);
    qint64 done = 0;
    Read read{Outcome::ok, {}};
    while (read.outcome == Outcome::ok) {
        if (done == bytes.size()) {
            bytes.resize(bytes.size() * 2); // the file grew while we read it
        }
        const ssize_t count = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
        if (count == 0) {
            break;
        }
        if (count < 0) {
            read.outcome = errno == EINTR ? Outcome::ok : Outcome::failed;
            continue;
        }
        done += count;
        if (done > limit) {
            read.outcome = Outcome::absent;
        }
    }
    if (read.outcome == Outcome::ok) {
        bytes.truncate(done);
        read.bytes = std::move(bytes);
    }
    return read;
}

} // namespace

WriteResult writeAtomically(const QString& path, const QByteArray& bytes) {
    const QByteArray target = QFile::encodeName(path);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    // A regular file keeps its permissions; anything else there, a link included, is simply replaced.
    struct stat existing {};
    const bool keepMode = ::lstat(target.constData(), &existing) == 0 && S_ISREG(existing.st_mode);

    // A short name of our own: the destination's name may already be as long as names can be.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        temporary =
            folder + "/.tonewharf-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        return failure(errno);
    }
    bool ok = (!keepMode || ::fchmod(fd, existing.st_mode & 07777) == 0) && writeAll(fd, bytes) &&
              ::fdatasync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    // rename() replaces the directory entry itself, so a link there is never followed.
    if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        return failure(error);
    }
    return {true, {}, 0};
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
    // O_NONBLOCK: opening a FIFO must not wait for a writer that may never come.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat status {};
    Read read;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        read = readOpened(fd, status.st_size, maxBytes);
    }
    ::close(fd);
    return read.outcome == Outcome::ok ? std::optional<QByteArray>(std::move(read.bytes)) : std::nullopt;
}

std::optional<RegularFile> RegularFile::open(const QString& path, Outcome* outcome) {
    Outcome ignored;
    Outcome& why = outcome ? *outcome : ignored;
    const QByteArray name = QFile::encodeName(path);
    // The look first, so that opening a device (which may act on being opened) is never tried;
    // then the opened file itself, in case the entry was swapped in between.
    struct stat entry {};
    if (::lstat(name.constData(), &entry) != 0) {
        why = meansAbsent(errno) ? Outcome::absent : Outcome::failed;
        return std::nullopt;
    }
    why = Outcome::absent;
    if (!S_ISREG(entry.st_mode)) {
        return std::nullopt;
    }
    const int descriptor =
        ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        why = meansAbsent(errno) ? Outcome::absent : Outcome::failed;
        return std::nullopt;
    }
    struct stat opened {};
    if (::fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(descriptor);
        return std::nullopt;
    }
    why = Outcome::ok;
    return RegularFile(descriptor, qint64(opened.st_size));
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : m_descriptor(std::exchange(other.m_descriptor, -1))
    , m_size(other.m_size) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        if (m_descriptor >= 0) {
            ::close(m_descriptor);
        }
        m_descriptor = std::exchange(other.m_descriptor, -1);
        m_size = other.m_size;
    }
    return *this;
}

RegularFile::~RegularFile() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

Read readRegularFile(const QString& path, qint64 maxBytes) {
    Outcome outcome = Outcome::failed;
    const std::optional<RegularFile> file = RegularFile::open(path, &outcome);
    return file ? readOpened(file->descriptor(), file->size(), maxBytes) : Read{outcome, {}};
}

bool holds(const QString& path, const QByteArray& bytes) {
    const std::optional<RegularFile> file = RegularFile::open(path);
    if (!file || file->size() != bytes.size()) {
        return false;
    }
    // Compared piece by piece, so that a large look sent again costs no second copy of itself.
    QByteArray piece(qsizetype(std::min<qint64>(bytes.size(), 1024 * 1024)), Qt::Uninitialized);
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::read(file->descriptor(), piece.data(),
                                     size_t(std::min<qint64>(piece.size(), bytes.size() - done)));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 || std::memcmp(piece.constData(), bytes.constData() + done, size_t(count)) != 0) {
            return false;
        }
        done += count;
    }
    char past = 0;
    return ::read(file->descriptor(), &past, 1) == 0; // and it did not grow meanwhile
}

Listing regularFiles(const QString& folder) {
    DIR* directory = ::opendir(QFile::encodeName(folder).constData());
    if (!directory) {
        return {errno == ENOENT || errno == ENOTDIR ? Outcome::absent : Outcome::failed, {}};
    }
    Listing listing{Outcome::ok, {}};
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (!entry) {
            listing.outcome = errno == 0 ? Outcome::ok : Outcome::failed;
            break;
        }
        if (entry->d_name[0] == '.') {
            continue;
        }
        bool regular = entry->d_type == DT_REG;
        struct stat status {};
        if (entry->d_type == DT_UNKNOWN &&
            ::fstatat(::dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            regular = S_ISREG(status.st_mode);
        }
        if (regular) {
            listing.names.append(QFile::decodeName(entry->d_name));
        }
    }
    ::closedir(directory);
    if (listing.outcome != Outcome::ok) {
        listing.names.clear();
    }
    return listing;
}

bool isGone(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) != 0 && errno == ENOENT;
}

std::optional<QString> folderIdentity(const QString& path) {
    struct statx status {};
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), 0, STATX_TYPE | STATX_INO | STATX_BTIME,
                &status) != 0 ||
        !S_ISDIR(status.stx_mode)) {
        return std::nullopt;
    }
    QString identity = QString::number(status.stx_ino);
    if (status.stx_mask & STATX_BTIME) {
        identity += QStringLiteral("@%1.%2").arg(status.stx_btime.tv_sec).arg(status.stx_btime.tv_nsec);
    }
    return identity;
}

} // namespace FileSystem
