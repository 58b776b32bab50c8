#include "support/PrivateSessionBus.h"

#include "platform/FileSystem.h"

PrivateSessionBus::PrivateSessionBus() {
    // No service folders: a program asking for the keyring hears at once that there is none,
    // instead of waiting for the daemon to start one.
    const QString config = m_folder.filePath(QStringLiteral("bus.conf"));
    FileSystem::writeAtomically(config, QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                                            .arg(m_folder.filePath(QStringLiteral("socket")))
                                            .toUtf8());
    m_daemon.start(QStringLiteral("dbus-daemon"), {"--config-file=" + config, QStringLiteral("--nofork"),
                                                   QStringLiteral("--print-address=1")});
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
