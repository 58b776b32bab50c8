#pragma once

#include <QString>

#include <optional>

// The process's open descriptors: how many it may hold, and files held open by descriptor.
namespace Descriptors {

// Raises the soft limit on open descriptors to the hard limit, once at start: the common soft
// limit of 1,024 is soon reached by the connections of a busy local network.
void raiseLimit();

// The soft limit now in force; a very large number when there is none.
qint64 limit();

} // namespace Descriptors

// A regular file opened for reading; the descriptor is closed with the object. Opening neither
// follows a symbolic link nor waits: a link, a FIFO, a device or a folder is not opened at all,
// as if it were missing, and a FIFO without a writer cannot block the caller.
class RegularFile {
public:
    static std::optional<RegularFile> open(const QString& path);

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
