#include "support/PrivateSessionBus.h"

#include "platform/FileSystem.h"

PrivateSessionBus::PrivateSessionBus() {
    // No service folders: a program asking for the keyring hears at once that there is none,
    // instead of waiting for the bus to start one.
    const QString config = m_folder.filePath(QStringLiteral("bus.conf"));
    FileSystem::writeAtomically(
        config, "<busconfig><type>session</type><listen>unix:path=" +
                    m_folder.filePath(QStringLiteral("socket")).toUtf8() +
                    "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {"--config-file=" + config, "--nofork", "--print-address=1"});
    while (m_daemon.waitForReadyRead(10000) && !m_daemon.canReadLine()) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
}

PrivateSessionBus::~PrivateSessionBus() {
    QDBusConnection::disconnectFromBus(m_address);
    m_daemon.terminate();
    m_daemon.waitForFinished();
}

QProcessEnvironment PrivateSessionBus::environment() const {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    return environment;
}

QDBusConnection PrivateSessionBus::connection() const {
    return QDBusConnection::connectToBus(m_address, m_address);
}
