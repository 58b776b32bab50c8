#include "ui/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

const QByteArray showSettingsRequest = QByteArrayLiteral("show settings\n");
// A request is one short line; anything longer is not from another Tonewharf.
constexpr qint64 requestLimit = 64;

} // namespace

SingleInstance::SingleInstance(const QString& folder, QObject* parent)
    : QObject(parent)
    , m_socketPath(QDir(folder).filePath(QStringLiteral("tonewharf.socket")))
    , m_lock(QDir(folder).filePath(QStringLiteral("tonewharf.lock"))) {
    // The lock is stale only when its owner has died, however long it has been held.
    m_lock.setStaleLockTime(0);
    QDir().mkpath(folder);
    if (!m_lock.tryLock(0) && m_lock.error() == QLockFile::LockFailedError) {
        return;
    }
    // Also when the lock could not be written at all: running twice beats not running.
    m_primary = true;
    // A socket left by an instance that died is in the way; the lock says nobody serves it.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(m_socketPath);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            serve(socket);
        }
    });
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::runtimeFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

void SingleInstance::serve(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > requestLimit) {
                socket->abort();
            }
            return;
        }
        if (socket->readLine(requestLimit) == showSettingsRequest) {
            emit showSettingsRequested();
        }
        socket->disconnectFromServer();
    });
}

bool SingleInstance::askToShowSettings(std::chrono::milliseconds patience) {
    // The first instance may hold the lock a moment before it listens.
    const QDeadlineTimer deadline(patience);
    QLocalSocket socket;
    while (true) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
            break;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
    socket.write(showSettingsRequest);
    const bool sent = socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())));
    socket.disconnectFromServer();
    return sent;
}
