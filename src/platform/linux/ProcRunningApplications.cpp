#include "platform/linux/ProcRunningApplications.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <climits>
#include <optional>

namespace {

bool isProcessId(const QString& name) {
    if (name.isEmpty()) {
        return false;
    }
    for (const QChar c : name) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

// The executable of one process, or nothing when the entry cannot be read (another user's
// process without the right to look, a kernel thread, a process that just ended).
std::optional<QByteArray> executableOf(const QByteArray& exeLink) {
    char buffer[PATH_MAX + 32];
    const ssize_t length = ::readlink(exeLink.constData(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) {
        return std::nullopt;
    }
    QByteArray target(buffer, static_cast<qsizetype>(length));
    // An executable replaced or removed while it runs (Resolve updated under a running
    // instance) is still that executable.
    static const QByteArray deleted = " (deleted)";
    if (target.endsWith(deleted)) {
        target.chop(deleted.size());
    }
    return target;
}

} // namespace

ProcRunningApplications::ProcRunningApplications(QString procRoot)
    : m_procRoot(std::move(procRoot)) {}

bool ProcRunningApplications::isResolveRunning(const ResolveProfile& profile) const {
    if (profile.runningCheck != ResolveProfile::RunningCheck::Executable) {
        // Bundle identifiers do not exist here; nothing can match them.
        return false;
    }
    return isExecutableRunning(profile.runningIdentity);
}

bool ProcRunningApplications::isExecutableRunning(const QString& executable) const {
    if (executable.isEmpty()) {
        return false;
    }
    // The kernel reports the resolved path; the profile may name it through a symbolic link.
    QList<QByteArray> wanted{QFile::encodeName(QDir::cleanPath(executable))};
    const QString canonical = QFileInfo(executable).canonicalFilePath();
    if (!canonical.isEmpty() && QFile::encodeName(canonical) != wanted.first()) {
        wanted.append(QFile::encodeName(canonical));
    }

    const QDir proc(m_procRoot);
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& entry : entries) {
        if (!isProcessId(entry)) {
            continue;
        }
        const auto target = executableOf(QFile::encodeName(proc.filePath(entry + QStringLiteral("/exe"))));
        if (target && wanted.contains(*target)) {
            return true;
        }
    }
    return false;
}
