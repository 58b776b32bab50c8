#include "platform/Descriptors.h"

#include <QFile>

#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Descriptors {

void raiseLimit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0 || limits.rlim_cur == limits.rlim_max) {
        return;
    }
    limits.rlim_cur = limits.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limits);
}

qint64 limit() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0 || limits.rlim_cur == RLIM_INFINITY ||
        limits.rlim_cur > rlim_t(std::numeric_limits<qint64>::max())) {
        return std::numeric_limits<qint64>::max();
    }
    return qint64(limits.rlim_cur);
}

} // namespace Descriptors

std::optional<RegularFile> RegularFile::open(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // The look first, so that opening a device (which may act on being opened) is never tried;
    // then the opened file itself, in case the entry was swapped in between.
    struct stat entry {};
    if (::lstat(name.constData(), &entry) != 0 || !S_ISREG(entry.st_mode)) {
        return std::nullopt;
    }
    const int descriptor =
        ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return std::nullopt;
    }
    struct stat opened {};
    if (::fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(descriptor);
        return std::nullopt;
    }
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
