#include "support/RunningProgram.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {

// The inode numbers of the sockets the process holds open, from its descriptors' links.
QSet<QByteArray> socketInodes(qint64 pid) {
    QSet<QByteArray> inodes;
    const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& name : QDir(folder).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[128];
        const ssize_t length = ::readlink(QFile::encodeName(folder + QLatin1Char('/') + name).constData(),
                                          target, sizeof target);
        const QByteArray link(target, length > 0 ? int(length) : 0);
        if (link.startsWith("socket:[") && link.endsWith(']')) {
            inodes.insert(link.mid(8, link.size() - 9));
        }
    }
    return inodes;
}

// The tables list every socket of the network namespace; the process's own are found by inode,
// so that two programs running at once are told apart.
std::optional<quint16> listeningPort(qint64 pid) {
    const QSet<QByteArray> inodes = socketInodes(pid);
    for (const char* table : {"tcp", "tcp6"}) {
        QFile file(QStringLiteral("/proc/%1/net/%2").arg(pid).arg(QLatin1String(table)));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        file.readLine(); // the column names
        while (!file.atEnd()) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() > 9 && fields[3] == "0A" && inodes.contains(fields[9])) {
                bool ok = false;
                const uint port = fields[1].mid(fields[1].lastIndexOf(':') + 1).toUInt(&ok, 16);
                if (ok) {
                    return quint16(port);
                }
            }
        }
    }
    return std::nullopt;
}

} // namespace

RunningProgram::RunningProgram(const QString& program, const QStringList& arguments,
                               const QProcessEnvironment& environment) {
    QProcessEnvironment world = QProcessEnvironment::systemEnvironment();
    const QDir root(m_root.path());
    const QString home = root.filePath(QStringLiteral("home"));
    const QString runtime = root.filePath(QStringLiteral("runtime"));
    root.mkpath(home);
    root.mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    world.insert(QStringLiteral("HOME"), home);
    world.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    world.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    world.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    world.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    world.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    world.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    world.insert(QStringLiteral("TONEWHARF_CLOUD_URL"), QStringLiteral("http://127.0.0.1:9"));
    world.insert(QStringLiteral("TONEWHARF_RESOLVE_DIR"), root.filePath(QStringLiteral("resolve")));
    // Neither bus answers: no announcement over DNS-SD, and no keyring but a test's own.
    const QString nowhere = QStringLiteral("unix:path=") + runtime + QStringLiteral("/no-bus");
    world.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), nowhere);
    world.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), nowhere);
    world.insert(environment);
    m_process.setProcessEnvironment(world);
    m_process.setProgram(program);
    m_process.setArguments(arguments);
}

RunningProgram::~RunningProgram() {
    stop();
}

QString RunningProgram::path(const QString& relative) const {
    return relative.isEmpty() ? m_root.path() : QDir(m_root.path()).filePath(relative);
}

bool RunningProgram::start() {
    m_process.start();
    return m_process.waitForStarted(10000);
}

std::optional<quint16> RunningProgram::waitForListeningPort(int timeoutMs) const {
    std::optional<quint16> port;
    [[maybe_unused]] const bool ended = QTest::qWaitFor(
        [&] {
            port =
                m_process.state() == QProcess::Running ? listeningPort(m_process.processId()) : std::nullopt;
            return port.has_value() || m_process.state() != QProcess::Running;
        },
        timeoutMs);
    return port;
}

std::optional<int> RunningProgram::waitForExit(int timeoutMs) {
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs)) {
        return std::nullopt;
    }
    if (m_process.exitStatus() != QProcess::NormalExit || m_process.error() == QProcess::FailedToStart) {
        return std::nullopt;
    }
    return m_process.exitCode();
}

std::optional<int> RunningProgram::stop(int timeoutMs) {
    if (m_process.state() == QProcess::NotRunning) {
        return waitForExit(0);
    }
    ::kill(pid_t(m_process.processId()), SIGTERM);
    const std::optional<int> status = waitForExit(timeoutMs);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    return status;
}
